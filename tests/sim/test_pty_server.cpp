// The lab on pseudo-terminals: in process, and as the kelvora-sim program.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "sim/lab.h"
#include "sim/pty_server.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLab =
    "[Device KLV0001]\nType=1\nVersion=KLV/USB V1.4.1\nCell1=active tact=10 rate=2\n"
    "[Device KLV0002]\nType=2\nTemp=22\nDrift=0\n";

int openRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Reads until `until` appears or a second passes. Real time: this talks to another thread
// or process through the kernel.
std::string readUntil(int fd, const std::string& until, int timeoutMs = 2000) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end && got.find(until) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// Writes a command one character at a time, as the link layer paces it.
std::string request(int fd, const std::string& command, const std::string& until) {
    for (char c : command) {
        if (::write(fd, &c, 1) != 1) return "(write failed)";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return readUntil(fd, until);
}

template <class Pred>
bool waitFor(Pred pred, int timeoutMs = 2000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// A hung-up pty reads as EOF or EIO.
bool hungUp(int fd) {
    return waitFor([&] {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        return n == 0 || (n < 0 && errno == EIO);
    });
}

TEST(PtyServer, ServesDevicesUnplugAndReplug) {
    kvtest::TempDir dir;
    std::string error;
    auto lab = kv::sim::Lab::fromText(kLab, &error);
    ASSERT_TRUE(lab) << error;
    kv::sim::PtyServer server(*lab, dir.path() + "/by-id");
    ASSERT_TRUE(server.start(&error)) << error;

    const std::string link = server.linkPath("KLV0001");
    EXPECT_EQ(link, dir.path() + "/by-id/usb-FTDI_FT232R_USB_UART_KLV0001-if00-port0");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), server.slavePath("KLV0001"));
    EXPECT_EQ(kvtest::readFile(dir.path() +
                               "/by-id/.sysfs/usb-FTDI_FT232R_USB_UART_KLV0001-if00-port0/serial"),
              "KLV0001\n");

    int fd = openRaw(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(request(fd, "Z#", "#"), "Z=KLV/USB V1.4.1#");
    EXPECT_EQ(request(fd, "t2=7#T2#", "#"), "T2=7#");
    const std::string rec = request(fd, "V1#", ";nCC;\r\n");
    EXPECT_EQ(rec.rfind("cv=", 0), 0u) << rec;
    const int caseFd = openRaw(server.linkPath("KLV0002"));
    EXPECT_EQ(request(caseFd, "T2#", "#"), "T2=220#");
    ::close(caseFd);

    // Unplug: the link goes and the open terminal hangs up.
    EXPECT_EQ(lab->command("unplug KLV0001"), "ok");
    EXPECT_TRUE(waitFor([&] { return !fs::exists(fs::symlink_status(link)); }));
    EXPECT_TRUE(hungUp(fd));
    ::close(fd);
    // Replug: a new terminal under the same name.
    EXPECT_EQ(lab->command("replug KLV0001"), "ok");
    EXPECT_TRUE(waitFor([&] { return fs::is_symlink(link); }));
    fd = openRaw(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(request(fd, "Z#", "#"), "Z=KLV/USB V1.4.1#");
    ::close(fd);

    server.stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

// kelvora-sim itself: links, a request, a fault from standard input, clean end on SIGTERM.
TEST(KelvoraSim, RunsLabFromConfigUntilSigterm) {
    // The suite's own build makes the program: missing, it is a failure, never a skip.
    const std::string exe = kvtest::simProgram();
    ASSERT_TRUE(fs::exists(exe)) << "kelvora-sim missing: " << exe;
    kvtest::TempDir dir;
    kvtest::writeFile(dir.file("lab.ini"), kLab);
    const std::string byId = dir.path() + "/by-id";

    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        ::close(in[1]);
        ::close(out[0]);
        execl(exe.c_str(), exe.c_str(), "--config", dir.file("lab.ini").c_str(), "--dir",
              byId.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    const std::string banner = readUntil(out[0], "ready\n", 5000);
    EXPECT_NE(banner.find("KLV0001 type=1"), std::string::npos) << banner;

    const std::string link = byId + "/usb-FTDI_FT232R_USB_UART_KLV0001-if00-port0";
    int fd = openRaw(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(request(fd, "Z#", "#"), "Z=KLV/USB V1.4.1#");
    EXPECT_EQ(request(fd, "S#", "#"), "S=0#");

    const std::string cmd = "unplug KLV0001\n";
    ASSERT_EQ(::write(in[1], cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    EXPECT_EQ(readUntil(out[0], "\n"), "ok\n");
    EXPECT_TRUE(hungUp(fd));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    ::close(fd);

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(
        fs::exists(fs::symlink_status(byId + "/usb-FTDI_FT232R_USB_UART_KLV0002-if00-port0")));
    ::close(in[1]);
    ::close(out[0]);
}

}  // namespace
