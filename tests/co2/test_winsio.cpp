#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "co2/winsio.h"
#include "co2_test_util.h"
#include "support/temp_dir.h"

using namespace kv;
using kvtest::readFile;
using kvtest::TempDir;
using kvtest::waitUntil;

namespace {

// A pty pair: the test plays the device on the master side, the layer opens the slave.
class PtyPair {
  public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char name[128] = {};
        if (ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        if (master_ >= 0) close(master_);
    }
    const std::string& slave() const { return slave_; }
    void send(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Everything the layer wrote, collected for up to timeoutMs.
    std::string received(size_t expect, int timeoutMs = 1000) {
        std::string got;
        waitUntil(
            [&] {
                char buf[1024];
                const ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0) got.append(buf, size_t(n));
                return got.size() >= expect;
            },
            timeoutMs);
        return got;
    }

  private:
    int master_ = -1;
    std::string slave_;
};

// Debug log into a temporary file with the RS232 switch as given.
class LogCapture {
  public:
    explicit LogCapture(bool rs232) {
        debugLog().open(dir_.file("t.Dbg"));
        dbg().rs232 = rs232;
    }
    ~LogCapture() {
        dbg().rs232 = false;
        debugLog().close();
    }
    std::string text() const { return readFile(dir_.file("t.Dbg")); }

  private:
    TempDir dir_;
};

}  // namespace

TEST(SerialLayer, TextsAndPortNames) {
    EXPECT_EQ(comSettingsText(9600, 8, 1, 1), "baud=9600 parity=O data=8 stop=1");
    EXPECT_EQ(comSettingsText(19200, 7, 2, 2), "baud=19200 parity=E data=7 stop=2");
    EXPECT_EQ(printableText(std::string("\x06\x02"
                                        "A\x03\x15\r\x01 \xE6",
                                        9)),
              "[ACK][STX]A[ETX][NACK]\\013\\001 \xE6");
    EXPECT_EQ(okText(true), "OK");
    EXPECT_EQ(okText(false), "NotOK");

    EXPECT_EQ(comPortPath("COM3"), "/dev/ttyS2");
    EXPECT_EQ(comPortPath("com12"), "/dev/ttyS11");
    EXPECT_EQ(comPortPath("LPT1"), "");
    EXPECT_EQ(comPortPath("COM"), "");
    TempDir dir;
    kvtest::writeFile(dir.file("k.Ini"), "[Ports]\r\nCOM3=\\dev\\pts\\9\r\nCOMX=/x\r\n");
    IniFile ini(dir.file("k.Ini"));
    loadComPortMap(ini);
    EXPECT_EQ(comPortPath("COM3"), "/dev/pts/9");
    setComPortPath(3, "");
    EXPECT_EQ(comPortPath("COM3"), "/dev/ttyS2");
}

TEST(SerialLayer, MissingPortAndInvalidHandle) {
    LogCapture log(false);
    setComPortPath(90, "/nonexistent/tty");
    EXPECT_EQ(com_Open("COM90"), kInvalidHCOM);
    com_Close(kInvalidHCOM);  // harmless
    bool ok = true;
    EXPECT_EQ(com_Read(kInvalidHCOM, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_NE(com_Write(kInvalidHCOM, "x"), 0);
    EXPECT_EQ(com_InQueue(0), 0);
    EXPECT_EQ(log.text(), "") << "nothing is logged with the RS232 switch off";
    setComPortPath(90, "");
}

TEST(SerialLayer, PtyLimitsNulRuleAndDebugLines) {
    PtyPair pty;
    ASSERT_FALSE(pty.slave().empty());
    LogCapture log(true);
    const HCOM h = com_Open(pty.slave());
    ASSERT_GT(h, 0);
    EXPECT_EQ(com_Open(pty.slave()), kInvalidHCOM) << "a port is not shared";
    TempDir links;
    ASSERT_EQ(symlink(pty.slave().c_str(), links.file("COM5").c_str()), 0);
    setComPortPath(5, links.file("COM5"));
    EXPECT_EQ(com_Open("COM5"), kInvalidHCOM) << "nor reached twice under another name";
    setComPortPath(5, "");
    com_Set(h, 9600, 8, 1, 1);

    // Nothing waiting: empty at once, and no read is made.
    const size_t before = log.text().size();
    EXPECT_EQ(com_Read_n(h, 1), "");
    EXPECT_EQ(log.text().find("ReadFile", before), std::string::npos);

    // 600 bytes arrive: 490 per read, the rest stays queued.
    pty.send(std::string(600, 'a'));
    ASSERT_TRUE(waitUntil([&] { return com_InQueue(h) == 600; }));
    EXPECT_EQ(com_Read_n(h, 600).size(), 490u) << "n is limited to the buffer";
    EXPECT_EQ(com_Read(h).size(), 110u);
    EXPECT_EQ(com_Read(h), "");

    pty.send(std::string("\x02x\x03\r", 4));
    ASSERT_TRUE(waitUntil([&] { return com_InQueue(h) == 4; }));
    EXPECT_EQ(com_Read_n(h, 5), "") << "fewer than n waiting";
    EXPECT_EQ(com_Read_n(h, 4), std::string("\x02x\x03\r"));

    // Texts go out up to their first NUL and at most 490 bytes.
    EXPECT_EQ(com_Write(h, std::string("AB\0CD", 5)), 0);
    EXPECT_EQ(pty.received(2), "AB");
    EXPECT_EQ(com_Write(h, std::string(600, 'z')), 0);
    EXPECT_EQ(pty.received(600, 300).size(), 490u);

    com_Close(h);
    const HCOM again = com_Open(pty.slave());
    EXPECT_GT(again, h) << "reopened after a close, with a new handle";
    com_Close(again);
    EXPECT_EQ(com_InQueue(h), 0) << "a stale handle reaches nothing";

    const std::string t = log.text();
    for (const char* line :
         {"com_Open(COMx:=/dev/pts/", "com_Open: hCOM:=", "com_Set(hCOM:=",
          ", Baud:=9600, Parity:=O, DataBits:=8, StopBits:=1)",
          "com_Set: SetCommState returns OK, GetLastError=0",
          "com_Read_n: ReadFile: rc=490, returns OK", "com_Read: ReadFile: rc=110, returns OK",
          "com_Read: ReadFile: rc=0, returns OK", "com_Read_n: data read =*[STX]x[ETX]\\013*",
          "com_Write: data written=*AB*, rc/GetLastError=2/0", "com_Close(hCOM:="})
        EXPECT_NE(t.find(line), std::string::npos) << line;
}

TEST(SerialLayer, OnePortFromTwoThreads) {
    PtyPair pty;
    ASSERT_FALSE(pty.slave().empty());
    const HCOM h = com_Open(pty.slave());
    ASSERT_GT(h, 0);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            com_InQueue(h);
            com_Read(h);
        }
    });
    for (int i = 0; i < 200; ++i) {
        pty.send("0123456789");
        EXPECT_EQ(com_Write(h, "ping"), 0);
    }
    stop = true;
    reader.join();
    com_Close(h);
    EXPECT_FALSE(com_IsOpen(h));
}
