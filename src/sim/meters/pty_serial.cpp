#include "sim/meters/pty_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kv::sim {
namespace {

// Meters release answers over time; the pump looks for them at least this often.
constexpr int kPollMs = 2;
constexpr size_t kMaxPending = 65536;

void setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

PtySerialPort::PtySerialPort(SerialMeter& meter) : meter_(meter) {}

PtySerialPort::~PtySerialPort() {
    stop();
}

bool PtySerialPort::start(const std::string& linkPath, std::string* error) {
    if (thread_.joinable()) return true;
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        closeFd(slaveKeep_);
        closeFd(master_);
        closeFd(wake_[0]);
        closeFd(wake_[1]);
        slave_.clear();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return fail("grantpt/unlockpt");
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname");
    slave_ = name;
    setNonBlocking(master_);
    slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slaveKeep_ < 0) return fail("open " + slave_);
    // Raw from the start: a terminal in line mode would echo the program's commands back.
    termios t{};
    if (tcgetattr(slaveKeep_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slaveKeep_, TCSANOW, &t);
    }
    if (pipe(wake_) != 0) return fail("pipe");
    setNonBlocking(wake_[0]);
    if (!linkPath.empty()) {
        ::unlink(linkPath.c_str());
        if (::symlink(name, linkPath.c_str()) != 0) return fail("symlink " + linkPath);
        link_ = linkPath;
    }
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void PtySerialPort::stop() {
    if (thread_.joinable()) {
        stop_ = true;
        const char c = 1;
        [[maybe_unused]] const auto n = ::write(wake_[1], &c, 1);
        thread_.join();
    }
    if (!link_.empty()) ::unlink(link_.c_str());
    link_.clear();
    closeFd(slaveKeep_);
    closeFd(master_);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
    slave_.clear();
}

void PtySerialPort::run() {
    std::string pending;  // answer bytes the pty could not take yet
    char buf[4096];
    while (!stop_) {
        pollfd fds[2] = {{master_, short(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
                         {wake_[0], POLLIN, 0}};
        ::poll(fds, 2, kPollMs);
        if (fds[1].revents & POLLIN) {
            while (::read(wake_[0], buf, sizeof buf) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) meter_.write(std::string_view(buf, size_t(n)));
        }
        if (pending.size() < kMaxPending && meter_.queued() > 0)
            pending += meter_.read(kMaxPending - pending.size());
        if (!pending.empty()) {
            const ssize_t n = ::write(master_, pending.data(), pending.size());
            if (n > 0) pending.erase(0, size_t(n));
        }
    }
}

}  // namespace kv::sim
