#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace kv::sim {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxPending = 65536;
constexpr int kPollMs = 5;

std::string sanitize(const std::string& s) {
    std::string out;
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out += ok ? c : '_';
    }
    return out;
}

void setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void writeText(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text << '\n';
}

}  // namespace

PtyServer::PtyServer(Lab& lab, std::string dir) : lab_(lab), dir_(std::move(dir)) {}

PtyServer::~PtyServer() {
    stop();
}

std::string PtyServer::linkName(const std::string& description, const std::string& serial) {
    return "usb-FTDI_" + sanitize(description) + "_" + sanitize(serial) + "-if00-port0";
}

bool PtyServer::start(std::string* error) {
    if (started_) return true;
    std::error_code ec;
    fs::create_directories(dir_, ec);
    if (ec || !fs::is_directory(dir_)) {
        if (error) *error = "cannot create folder " + dir_;
        return false;
    }
    if (pipe(wakePipe_) != 0) {
        if (error) *error = "cannot create a pipe";
        return false;
    }
    setNonBlocking(wakePipe_[0]);
    setNonBlocking(wakePipe_[1]);
    for (const auto& d : lab_.devices()) {
        Served s;
        s.device = d.get();
        s.serial = d->serialNr();
        served_.push_back(std::move(s));
    }
    for (Served& s : served_) {
        if (s.device->plugged() && !openPty(s, error)) {
            for (Served& o : served_) closePty(o);
            served_.clear();
            close(wakePipe_[0]);
            close(wakePipe_[1]);
            wakePipe_[0] = wakePipe_[1] = -1;
            return false;
        }
    }
    stop_ = false;
    started_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void PtyServer::stop() {
    if (!started_) return;
    stop_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    for (Served& s : served_) closePty(s);
    std::error_code ec;
    fs::remove(fs::path(dir_) / ".sysfs", ec);  // only when empty
    close(wakePipe_[0]);
    close(wakePipe_[1]);
    wakePipe_[0] = wakePipe_[1] = -1;
    started_ = false;
}

void PtyServer::wake() {
    if (wakePipe_[1] >= 0) {
        const char c = 1;
        [[maybe_unused]] const auto n = ::write(wakePipe_[1], &c, 1);
    }
}

std::string PtyServer::linkPath(const std::string& serial) const {
    std::lock_guard lock(mutex_);
    for (const Served& s : served_)
        if (s.serial == serial) return s.link;
    return {};
}

std::string PtyServer::slavePath(const std::string& serial) const {
    std::lock_guard lock(mutex_);
    for (const Served& s : served_)
        if (s.serial == serial) return s.slave;
    return {};
}

bool PtyServer::openPty(Served& s, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what + " for " + s.serial + ": " + std::strerror(errno);
        closePty(s);
        return false;
    };
    s.generation = s.device->plugGeneration();
    s.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (s.master < 0) return fail("posix_openpt");
    if (grantpt(s.master) != 0 || unlockpt(s.master) != 0) return fail("grantpt/unlockpt");
    char name[128] = {};
    if (ptsname_r(s.master, name, sizeof name) != 0) return fail("ptsname");
    setNonBlocking(s.master);
    s.slaveKeep = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (s.slaveKeep < 0) return fail("open slave");
    // Raw mode from the start: no echo of the host's commands, no line editing.
    termios tio{};
    if (tcgetattr(s.slaveKeep, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(s.slaveKeep, TCSANOW, &tio);
    }
    const std::string nameOfLink = linkName(s.device->description(), s.serial);
    const fs::path link = fs::path(dir_) / nameOfLink;
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(name, link, ec);
    if (ec) {
        errno = ec.value();
        return fail("symlink " + link.string());
    }
    const fs::path sys = fs::path(dir_) / ".sysfs" / nameOfLink;
    fs::create_directories(sys, ec);
    if (!ec) {
        writeText(sys / "manufacturer", "FTDI");
        writeText(sys / "product", s.device->description());
        writeText(sys / "serial", s.serial);
        writeText(sys / "location", std::to_string(s.device->locId()));
    }
    std::lock_guard lock(mutex_);
    s.link = link.string();
    s.slave = name;
    s.pending.clear();
    return true;
}

void PtyServer::closePty(Served& s) {
    // The master goes first: the host's open slave sees the hang-up of an unplugged cable.
    if (s.master >= 0) close(s.master);
    if (s.slaveKeep >= 0) close(s.slaveKeep);
    s.master = s.slaveKeep = -1;
    std::error_code ec;
    std::string link;
    {
        std::lock_guard lock(mutex_);
        link.swap(s.link);
        s.slave.clear();
    }
    if (!link.empty()) {
        fs::remove(link, ec);
        fs::remove_all(fs::path(dir_) / ".sysfs" / fs::path(link).filename(), ec);
    }
    s.pending.clear();
}

void PtyServer::syncPlugState(Served& s) {
    const bool plugged = s.device->plugged();
    if (s.master >= 0 && (!plugged || s.generation != s.device->plugGeneration())) closePty(s);
    if (plugged && s.master < 0) openPty(s, nullptr);
}

void PtyServer::pumpInput(Served& s) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(s.master, buf, sizeof buf);
        if (n <= 0) return;
        s.device->write(std::string_view(buf, static_cast<size_t>(n)));
    }
}

void PtyServer::pumpOutput(Served& s) {
    const size_t n = s.device->queued();
    if (n > 0) s.pending += s.device->read(n);
    if (s.pending.size() > kMaxPending) s.pending.erase(0, s.pending.size() - kMaxPending);
    while (!s.pending.empty()) {
        const ssize_t w = ::write(s.master, s.pending.data(), s.pending.size());
        if (w <= 0) return;
        s.pending.erase(0, static_cast<size_t>(w));
    }
}

void PtyServer::run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        for (Served& s : served_) syncPlugState(s);
        fds.clear();
        fds.push_back({wakePipe_[0], POLLIN, 0});
        for (const Served& s : served_) {
            if (s.master < 0) continue;
            short ev = POLLIN;
            if (!s.pending.empty()) ev |= POLLOUT;
            fds.push_back({s.master, ev, 0});
        }
        // Short timeout: delayed answers and plug changes are noticed within a few ms.
        poll(fds.data(), fds.size(), kPollMs);
        char drain[64];
        while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
        }
        for (Served& s : served_) {
            if (s.master < 0) continue;
            pumpInput(s);
            pumpOutput(s);
        }
    }
}

}  // namespace kv::sim
