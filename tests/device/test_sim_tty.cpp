// The whole device link through the tty backend against kelvora-sim on pseudo-terminals,
// in real time: enumeration by serial, identity, tact counter, a tact set with read-back,
// a value record, and an unplugged device found again.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/numtext.h"
#include "device/device_list.h"
#include "support/temp_dir.h"

using namespace kv;
using kvtest::TempDir;

namespace {

std::string simProgram() {
    namespace fs = std::filesystem;
    if (const char* dir = std::getenv("KELVORA_BIN_DIR")) return std::string(dir) + "/kelvora-sim";
    // Run by hand from the build tree: tests/device/test_device -> src/main/kelvora-sim.
    const fs::path self = fs::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path().parent_path() / "src/main/kelvora-sim").string();
}

// kelvora-sim as a child process with its standard input and output on pipes.
class SimProcess {
  public:
    bool start(const std::string& program, const std::string& lab, const std::string& dir) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(in[1]);
            ::close(out[0]);
            ::execl(program.c_str(), program.c_str(), "--config", lab.c_str(), "--dir", dir.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toSim_ = in[1];
        fromSim_ = out[0];
        return pid_ > 0 && waitFor("ready");
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (toSim_ >= 0) ::close(toSim_);
        if (fromSim_ >= 0) ::close(fromSim_);
    }
    // Sends a fault command and returns its answer line.
    std::string command(const std::string& line) {
        const std::string l = line + "\n";
        if (::write(toSim_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return {};
        return nextLine();
    }

  private:
    std::string nextLine() {
        for (int waited = 0; waited < 10000;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{fromSim_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                waited += 100;
                continue;
            }
            char buf[512];
            const ssize_t n = ::read(fromSim_, buf, sizeof buf);
            if (n <= 0) return {};
            buffer_.append(buf, static_cast<size_t>(n));
        }
        return {};
    }
    bool waitFor(const std::string& line) {
        for (std::string l = nextLine(); !l.empty(); l = nextLine())
            if (l == line) return true;
        return false;
    }

    pid_t pid_ = -1;
    int toSim_ = -1, fromSim_ = -1;
    std::string buffer_;
};

bool waitUntil(const std::function<bool()>& ok) {
    for (int i = 0; i < 100; ++i) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(SimOverTty, EnumerateOpenExchangeAndReplug) {
    const std::string program = simProgram();
    // Under ctest (which names the folder) the program must be there; run by hand without
    // it, the test is skipped.
    if (!std::filesystem::exists(program)) {
        if (std::getenv("KELVORA_BIN_DIR")) FAIL() << "kelvora-sim missing: " << program;
        GTEST_SKIP() << "kelvora-sim not built: " << program;
    }
    TempDir dir;
    debugLog().open(dir.file("t.Dbg"));
    kvtest::writeFile(dir.file("lab.ini"),
                      "[Device KLV0001]\nSerial=KLV0001\nType=1\nVersion=KLV/USB V1.4.1\n"
                      "Cell1=active tact=1 rate=2\n\n"
                      "[Device CASE001]\nSerial=CASE001\nType=2\nTemp=21.5\n");
    SimProcess sim;
    ASSERT_TRUE(sim.start(program, dir.file("lab.ini"), dir.file("byid")));

    IniFile ini(dir.file("Kelvora.Ini"));
    ini.writeString("FT232R", "Backend", "tty");
    ini.writeString("FT232R", "ByIdDir", dir.file("byid"));
    FTLink link(makeBackendFromConfig(ini));
    EXPECT_EQ(link.backend().name(), "tty");
    DeviceProtocol proto(link);
    DeviceList list(link, proto);

    list.USB_Init(0);
    ASSERT_EQ(list.nUSBDevices(), 2);
    EXPECT_EQ(list.usbDevice(1).SerialNr, "CASE001");  // sorted by link name
    EXPECT_EQ(list.usbDevice(2).SerialNr, "KLV0001");
    EXPECT_EQ(list.usbDevice(2).Description, "FT232R USB UART");
    EXPECT_GT(list.usbDevice(2).LocID, 0);

    Config cfg;
    UsbDeviceSettings data;
    data.SerialNr = "KLV0001";
    data.Type = kDevTypeData;
    data.Case = 1;
    data.physCellNr_From = 1;
    data.physCellNr_To = 6;
    data.DelayInFT_Read = 10;  // generous: the machine may be busy
    UsbDeviceSettings caseDev;
    caseDev.SerialNr = "CASE001";
    caseDev.Type = kDevTypeCase;
    caseDev.Case = 1;
    caseDev.DelayInFT_Read = 10;
    cfg.devices = {data, caseDev};
    list.mapDevices(cfg);

    const LinkHandle h = list.handleOf(1);
    EXPECT_EQ(list.device(1).AppName, "KLV/USB V1.4.1");
    EXPECT_EQ(list.device(1).ErrorCode, 0);
    EXPECT_GE(textToInt(proto.tactCounter(h)), 0);
    const int temp = textToInt(proto.caseTemperature(list.handleOf(2)));
    EXPECT_GT(temp, 150);  // tenths of a degree
    EXPECT_LT(temp, 300);

    proto.setCellTact(h, 2, 10);
    EXPECT_EQ(list.device(1).ErrorCode, 0);
    EXPECT_EQ(proto.getAnswer(h, "T2#", "T2="), "10");

    proto.sendValueRequest(h, "V1#");
    std::string record;
    waitUntil([&] {
        record += link.FTReadAll(h);
        return record.find(";nCC") != std::string::npos;
    });
    EXPECT_NE(record.find("cv="), std::string::npos) << record;
    proto.acknowledgeRecord(h);

    // Unplugged: the link drops the handle; replugged: re-opened by serial number.
    EXPECT_EQ(sim.command("unplug KLV0001").substr(0, 2), "ok");
    EXPECT_EQ(proto.identity(h), "");
    EXPECT_EQ(list.device(1).ErrorCode, 4);
    EXPECT_EQ(sim.command("replug KLV0001").substr(0, 2), "ok");
    ASSERT_TRUE(waitUntil([&] { return link.get_FTDeviceCount() == 2; }));
    list.USB_ReOpen(list.device(1).iUSBDeviceList, "KLV0001");
    list.update(1, [](TKLVDeviceListEntry& e) { e.ErrorCode = 0; });
    EXPECT_NE(list.handleOf(1), h);
    EXPECT_EQ(proto.identity(list.handleOf(1)), "KLV/USB V1.4.1");

    list.Close_HW();
    debugLog().close();
}

}  // namespace
