#include "console/control_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "app/debuglog.h"

namespace kv {

namespace {

constexpr size_t kMaxLine = 64 * 1024;
constexpr size_t kMaxConnections = 16;
constexpr int kSendTimeoutSec = 10;

// The socket's address. A home folder whose path does not fit into sun_path is reached
// through the process's handle of the folder.
bool socketAddress(const std::string& home, int dirFd, sockaddr_un& addr, socklen_t& len) {
    std::string p = home + "/" + kControlSocketName;
    if (p.size() >= sizeof(addr.sun_path)) {
        if (dirFd < 0) return false;
        p = "/proc/self/fd/" + std::to_string(dirFd) + "/" + kControlSocketName;
        if (p.size() >= sizeof(addr.sun_path)) return false;
    }
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, p.data(), p.size());
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + p.size() + 1);
    return true;
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Waits until fd is readable or the wake pipe fires; false for the wake-up.
bool waitReadable(int fd, int wakeFd) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

}  // namespace

ControlServer::ControlServer(std::string homeFolder, Handler handler)
    : home_(std::move(homeFolder)), handler_(std::move(handler)) {}

ControlServer::~ControlServer() {
    stop();
}

std::string ControlServer::path() const {
    return home_ + "/" + kControlSocketName;
}

bool ControlServer::start(std::string& error) {
    const std::string where = "[" + path() + "]";
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        error = "no pipe for the control socket: " + std::string(std::strerror(errno));
        return false;
    }
    dirFd_ = ::open(home_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) {
        error = "home folder [" + home_ + "]: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstatat(dirFd_, kControlSocketName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = where + " exists and is not a socket - the console socket is not served";
            return false;
        }
        // Left behind by a run that ended without its shutdown.
        ::unlinkat(dirFd_, kControlSocketName, 0);
    }
    sockaddr_un addr{};
    socklen_t len = 0;
    if (!socketAddress(home_, dirFd_, addr, len)) {
        error = where + ": path too long for a socket";
        return false;
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        error = where + ": " + std::strerror(errno);
        closeFd(listenFd_);
        return false;
    }
    if (::fstatat(dirFd_, kControlSocketName, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISSOCK(st.st_mode) || ::fchmodat(dirFd_, kControlSocketName, 0600, 0) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        error = where + ": " + std::strerror(errno ? errno : EINVAL);
        closeFd(listenFd_);
        return false;
    }
    inode_ = st.st_ino;
    device_ = st.st_dev;
    acceptor_ = std::thread([this] { acceptLoop(); });
    WriteDbg("Console", "... serving " + path());
    return true;
}

void ControlServer::acceptLoop() {
    while (waitReadable(listenFd_, wake_[0])) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: wait a little (or for the stop) instead of spinning.
            if (errno == EMFILE || errno == ENFILE) {
                pollfd w{wake_[0], POLLIN, 0};
                if (::poll(&w, 1, 100) > 0) return;
            }
            continue;
        }
        ucred peer{};
        socklen_t plen = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &plen) != 0 ||
            (peer.uid != ::geteuid() && peer.uid != 0)) {
            sendAll(fd, "error: not allowed\n");
            closeFd(fd);
            continue;
        }
        timeval tv{kSendTimeoutSec, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        reapFinished(false);
        std::lock_guard lock(connMutex_);
        if (connections_.size() >= kMaxConnections) {
            sendAll(fd, "error: too many connections\n");
            closeFd(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        Connection* raw = c.get();
        connections_.push_back(std::move(c));
        raw->thread = std::thread([this, fd, raw] {
            serve(fd);
            raw->done = true;
        });
    }
}

void ControlServer::serve(int fd) {
    std::string buffer;
    bool open = true;
    auto runLine = [&](std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) return true;
        return sendAll(fd, handler_(line));
    };
    while (open && waitReadable(fd, wake_[0])) {
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The client has sent everything: a last line without its line feed counts.
            if (!buffer.empty()) runLine(std::move(buffer));
            break;
        }
        buffer.append(chunk, static_cast<size_t>(n));
        size_t nl;
        while (open && (nl = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            open = runLine(std::move(line));
        }
        if (buffer.size() > kMaxLine) {
            sendAll(fd, "error: line too long\n");
            break;
        }
    }
    int f = fd;
    closeFd(f);
}

void ControlServer::reapFinished(bool all) {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(connMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->done.load()) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished)
        if (c->thread.joinable()) c->thread.join();
}

void ControlServer::stop() {
    if (wake_[1] >= 0) {
        const char x = 'x';
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &x, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    reapFinished(true);
    if (listenFd_ >= 0) {
        closeFd(listenFd_);
        struct stat st {};
        // Only our own socket goes; a new instance may already have made its own.
        if (::fstatat(dirFd_, kControlSocketName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISSOCK(st.st_mode) && st.st_ino == inode_ && st.st_dev == device_)
            ::unlinkat(dirFd_, kControlSocketName, 0);
    }
    closeFd(dirFd_);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
}

// ---------------------------------------------------------------------------------------

int sendControlCommand(const std::string& homeFolder, const std::string& line, std::string& answer,
                       std::string& error) {
    answer.clear();
    const std::string where = homeFolder + "/" + kControlSocketName;
    int dirFd = ::open(homeFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        error = "home folder [" + homeFolder + "]: " + std::strerror(errno);
        return kCtlNoInstance;
    }
    struct stat st {};
    if (::fstatat(dirFd, kControlSocketName, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISSOCK(st.st_mode)) {
        error = "no Kelvora runs in [" + homeFolder + "]";
        closeFd(dirFd);
        return kCtlNoInstance;
    }
    sockaddr_un addr{};
    socklen_t len = 0;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || !socketAddress(homeFolder, dirFd, addr, len) ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        error =
            "no Kelvora runs in [" + homeFolder + "] (" + where + ": " + std::strerror(errno) + ")";
        closeFd(fd);
        closeFd(dirFd);
        return kCtlNoInstance;
    }
    closeFd(dirFd);
    const bool sent = sendAll(fd, line + "\n");
    ::shutdown(fd, SHUT_WR);
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(chunk, static_cast<size_t>(n));
    }
    closeFd(fd);
    std::string text = answer;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t nl = text.rfind('\n');
    const std::string last = nl == std::string::npos ? text : text.substr(nl + 1);
    if (last == "ok") return kCtlOk;
    if (last.rfind("error:", 0) == 0) return kCtlError;
    error = sent ? "the answer ended early" : "the command could not be sent";
    return kCtlError;
}

}  // namespace kv
