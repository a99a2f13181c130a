// The tty backend on pseudo-terminals: the by-id folder, raw I/O, and a device that goes
// away and comes back.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/debuglog.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "device/ftlink.h"
#include "support/temp_dir.h"

using namespace kv;
using kvtest::TempDir;

namespace {

// One end of a pseudo-terminal plays the device; the other is what the link opens.
struct Pty {
    int master = -1, slave = -1;
    std::string slaveName;
    Pty() {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) slaveName = name;
    }
    ~Pty() { unplug(); }
    void unplug() {
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
        master = slave = -1;
    }
    void send(const std::string& s) const {
        EXPECT_EQ(::write(master, s.data(), s.size()), (ssize_t)s.size());
    }
    // What the device has received, waiting up to two seconds for n bytes.
    std::string receivedSoon(size_t n) const {
        std::string got;
        for (int i = 0; i < 400 && got.size() < n; ++i) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 5) == 1) got += received();
        }
        return got;
    }
    std::string received() const {
        char buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};

// Pseudo-terminals pass bytes on through a kernel work queue: wait briefly for them.
std::string readSoon(FTLink& link, LinkHandle h) {
    for (int i = 0; i < 200; ++i) {
        std::string s = link.FTReadAll(h);
        if (!s.empty()) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

TEST(TtyBackend, FindsDevicesBySerialAndSurvivesReplug) {
    TempDir dir;
    debugLog().open(dir.file("t.Dbg"));
    ManualClock mc(encodeDateTime(2026, 3, 1));
    ScopedClock sc(mc);
    namespace fs = std::filesystem;
    auto dev = std::make_unique<Pty>();
    Pty other;
    ASSERT_FALSE(dev->slaveName.empty());
    const std::string link1 = dir.file("usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0");
    fs::create_symlink(dev->slaveName, link1);
    fs::create_symlink(other.slaveName, dir.file("usb-Other_Modem_77-if00-port0"));
    fs::create_symlink("/nonexistent/tty", dir.file("usb-FTDI_Gone_DEAD0001-if00-port0"));
    kvtest::writeFile(dir.file("README"), "not a device");

    TtyBackendOptions opt;
    opt.byIdDir = dir.path();
    opt.sysfsRoot = dir.file("nosys");
    FTLink link(makeTtyBackend(opt));
    ASSERT_EQ(link.get_FTDeviceCount(), 1);
    EXPECT_EQ(link.get_FTSerialNr(1), "A1B2C3D4");
    EXPECT_EQ(link.get_FTDescription(1), "FT232R_USB_UART");
    EXPECT_EQ(link.get_FTLocID(1), -1);
    EXPECT_EQ(link.get_FTSerialNr(2), "n/a");

    const LinkHandle h = link.FTOpenByIndex(1);
    ASSERT_NE(h, kInvalidHandle);
    link.FTSetLine(h, 115200);
    EXPECT_EQ(link.FTWriteChars(h, "Z#"), 2);
    EXPECT_EQ(dev->receivedSoon(2), "Z#");
    dev->send(std::string("Z=KLV/USB V1.4.1#\0rest", 22));
    EXPECT_EQ(readSoon(link, h), "Z=KLV/USB V1.4.1#");

    // Unplugged: the handle is dropped at once and stays dead.
    dev->unplug();
    fs::remove(link1);
    EXPECT_EQ(link.FTReadAll(h), "");
    EXPECT_EQ(link.FTWriteChars(h, "S#"), -1);
    EXPECT_EQ(link.get_FTDeviceCount(), 0);

    // Plugged in again (on another terminal): found by its serial, opened anew.
    dev = std::make_unique<Pty>();
    fs::create_symlink(dev->slaveName, link1);
    ASSERT_EQ(link.get_FTDeviceCount(), 1);
    EXPECT_EQ(link.get_FTSerialNr(1), "A1B2C3D4");
    const LinkHandle h2 = link.FTOpenByIndex(1);
    ASSERT_NE(h2, kInvalidHandle);
    EXPECT_NE(h2, h);
    dev->send("S=5#");
    EXPECT_EQ(readSoon(link, h2), "S=5#");
    EXPECT_FALSE(link.FTClose(h2));
    EXPECT_TRUE(link.FTClose(h2));
    debugLog().close();
}

// Raw mode reads return 0 when nothing is waiting, and a second thread may take the bytes
// between the byte count and the read: that is no hang-up. A real one is.
TEST(TtyBackend, EmptyReadIsNotAHangUp) {
    TempDir dir;
    debugLog().open(dir.file("t.Dbg"));
    Pty dev;
    ASSERT_FALSE(dev.slaveName.empty());
    std::filesystem::create_symlink(dev.slaveName,
                                    dir.file("usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0"));
    TtyBackendOptions opt;
    opt.byIdDir = dir.path();
    opt.sysfsRoot = dir.file("nosys");
    auto backend = makeTtyBackend(opt);
    int count = 0;
    ASSERT_EQ(backend->deviceCount(count), FT_OK);
    ASSERT_EQ(count, 1);
    LinkHandle h = kInvalidHandle;
    ASSERT_EQ(backend->open(0, h), FT_OK);

    std::string got = "x";
    EXPECT_EQ(backend->read(h, 64, got), FT_OK);
    EXPECT_EQ(got, "");
    EXPECT_EQ(backend->read(h, 64, got), FT_OK);  // still open
    dev.send("S=5#");
    for (int i = 0; i < 200 && got.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(backend->read(h, 64, got), FT_OK);
    }
    EXPECT_EQ(got, "S=5#");

    dev.unplug();
    EXPECT_EQ(backend->read(h, 64, got), FT_IO_ERROR);
    EXPECT_EQ(got, "");
    size_t written = 0;
    EXPECT_NE(backend->write(h, "S#", written), FT_OK);  // the descriptor is gone
    EXPECT_NE(kvtest::readFile(dir.file("t.Dbg")).find("device removed - handle closed"),
              std::string::npos);
    EXPECT_EQ(backend->close(h), FT_OK);
    debugLog().close();
}

// Opening a device turns its FTDI latency timer down to 1 ms through sysfs, when allowed.
TEST(TtyBackend, OpenSetsTheLatencyTimerToOneMs) {
    TempDir dir;
    debugLog().open(dir.file("t.Dbg"));
    Pty dev;
    ASSERT_FALSE(dev.slaveName.empty());
    std::filesystem::create_symlink(dev.slaveName,
                                    dir.file("usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0"));
    // The kernel names the attribute folder after the tty ("ttyUSB0"; here the pty's name).
    const std::string tty = std::filesystem::path(dev.slaveName).filename().string();
    const std::string attrDir = dir.file("sys/bus/usb-serial/devices/" + tty);
    std::filesystem::create_directories(attrDir);
    const std::string latency = attrDir + "/latency_timer";
    kvtest::writeFile(latency, "16\n");

    TtyBackendOptions opt;
    opt.byIdDir = dir.path();
    opt.sysfsRoot = dir.file("sys");
    opt.lowLatency = false;
    {
        FTLink link(makeTtyBackend(opt));
        ASSERT_EQ(link.get_FTDeviceCount(), 1);
        const LinkHandle h = link.FTOpenByIndex(1);
        ASSERT_NE(h, kInvalidHandle);
        EXPECT_EQ(kvtest::readFile(latency), "16\n");  // switched off: left alone
        link.FTClose(h);
    }
    opt.lowLatency = true;
    FTLink link(makeTtyBackend(opt));
    ASSERT_EQ(link.get_FTDeviceCount(), 1);
    const LinkHandle h = link.FTOpenByIndex(1);
    ASSERT_NE(h, kInvalidHandle);
    EXPECT_EQ(kvtest::readFile(latency), "1\n");
    link.FTClose(h);
    debugLog().close();
}

}  // namespace
