// The program under a service manager, played by the test: NOTIFY_SOCKET names a datagram
// socket the test reads. READY=1 comes after the start-up, WATCHDOG=1 while the acquisition
// ticks run, and none while a tick is held up: the count journal's temporary file is made a
// named pipe, so the tick that writes it waits in open() until the test reads the pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "support/temp_dir.h"

namespace e2e {
namespace {

using Steady = std::chrono::steady_clock;

// Collects what arrives on the socket, with the time it came.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (bound_) reader_ = std::thread([this] { read(); });
    }
    ~NotifySocket() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool bound() const { return bound_; }

    struct Message {
        Steady::time_point at;
        std::string text;
    };
    std::vector<Message> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    // Messages holding `what` (a line of the datagram) that came after `since`.
    int countSince(const std::string& what, Steady::time_point since) {
        int n = 0;
        for (const auto& m : messages())
            if (m.at > since &&
                ("\n" + m.text + "\n").find("\n" + what + "\n") != std::string::npos)
                ++n;
        return n;
    }
    Steady::time_point last(const std::string& what) {
        Steady::time_point t{};
        for (const auto& m : messages())
            if (("\n" + m.text + "\n").find("\n" + what + "\n") != std::string::npos) t = m.at;
        return t;
    }

  private:
    void read() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            std::lock_guard lock(mutex_);
            messages_.push_back({Steady::now(), std::string(buf, static_cast<size_t>(n))});
        }
    }

    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::mutex mutex_;
    std::vector<Message> messages_;
};

TEST(Service, ReadyAfterStartUpWatchdogOnlyWhileTicksRun) {
#ifndef KELVORA_HAVE_SYSTEMD
    GTEST_SKIP() << "built without libsystemd: the program tells no service manager anything";
#endif
    kvtest::TempDir dir;
    const std::string home = dir.file("home");
    std::filesystem::create_directories(home + "/Dbg");
    // Ticks every 500 ms; with a 4 s watchdog the ticks ping at most once a second.
    writeFile(home + "/Kelvora.Ini",
              "[Kelvora]\nCells=6\nDataRoot=Data\nmmTimerInt=500\nbDebug=1\n"
              "[General]\nConfirmQuit=0\n"
              "[USB]\nDevices=1\n[USBDevice-1]\nSerialNr=SVC0001\nType=1\nCase=1\n"
              "physCells=1, 6\n");
    NotifySocket socket(dir.file("notify"));
    ASSERT_TRUE(socket.bound());
    ::setenv("NOTIFY_SOCKET", dir.file("notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "4000000", 1);
    Program program(home, {"--simulate"});
    std::string error;
    const bool started = program.start(1, error);
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(started) << error;

    ASSERT_TRUE(waitUntil(Seconds(60), [&] { return socket.countSince("READY=1", {}) == 1; }));
    const auto ready = socket.last("READY=1");
    ASSERT_TRUE(waitUntil(Seconds(60), [&] { return socket.countSince("WATCHDOG=1", ready) >= 3; }))
        << "no pings from the ticks";

    // A series, so that the ticks keep the count journal.
    ASSERT_TRUE(program
                    .ctl({"row", "new", "S", "cells=1-6", "tact=3", "interval=1min", "duration=1d",
                          "mode=0"})
                    .ok());
    ASSERT_TRUE(program.ctl({"row", "start", "S"}).ok());
    const std::string journal = home + "/CellCounts.Txt";
    ASSERT_TRUE(
        waitUntil(Seconds(60), [&] { return readFile(journal).find("C1=") != std::string::npos; }));

    // The next tick whose counts changed waits in the journal's open().
    const std::string pipe = journal + ".tmp";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    ASSERT_TRUE(program.ctl({"cell", "counter", "1", "5000"}).ok());
    // Pings stop: four seconds without one, where the ticks would give one a second.
    Steady::time_point heldSince{};
    ASSERT_TRUE(waitUntil(Seconds(60), [&] {
        heldSince = socket.last("WATCHDOG=1");
        return Steady::now() - heldSince > std::chrono::seconds(4);
    })) << "the watchdog is fed although no tick runs";
    EXPECT_EQ(socket.countSince("WATCHDOG=1", heldSince), 0);

    // Reading the pipe lets the tick go on; what it wrote shows where it was held.
    const auto release = Steady::now();
    const int fd = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string written;
    waitUntil(Seconds(30), [&] {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) written.append(buf, static_cast<size_t>(n));
        return n == 0 && !written.empty();  // the writer has closed its end
    });
    ::close(fd);
    EXPECT_EQ(written.rfind("Time=", 0), 0u) << written;
    EXPECT_EQ(socket.countSince("WATCHDOG=1", heldSince), socket.countSince("WATCHDOG=1", release))
        << "a ping came while the tick was held";
    ASSERT_TRUE(waitUntil(Seconds(60), [&] {
        return socket.countSince("WATCHDOG=1", release) >= 2;
    })) << "the pings did not come back with the ticks";

    ASSERT_TRUE(program.ctl({"quit"}).ok());
    EXPECT_EQ(program.process().waitExit(Seconds(60)), 0);
    EXPECT_EQ(socket.countSince("STOPPING=1", ready), 1);
}

}  // namespace
}  // namespace e2e
