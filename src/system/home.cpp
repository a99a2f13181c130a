#include "system/home.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace kv {

std::string executableDir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

HomePaths resolveHome(const std::string& argHome, const std::string& envHome,
                      const std::string& exeDir) {
    std::string home = !argHome.empty() ? argHome : !envHome.empty() ? envHome : exeDir;
    // An installed program lives in a system folder (/usr/bin), which is no place for data:
    // started from the desktop without a home folder, it keeps its files in ~/Kelvora.
    const bool systemFolder = exeDir.rfind("/usr/", 0) == 0 || exeDir == "/bin" ||
                              exeDir == "/sbin" || ::access(exeDir.c_str(), W_OK) != 0;
    if (argHome.empty() && envHome.empty() && systemFolder) {
        const char* user = std::getenv("HOME");
        if (user && *user == '/') {
            home = std::string(user) + "/Kelvora";
            ::mkdir(home.c_str(), 0755);
        }
    }
    std::error_code ec;
    auto abs = std::filesystem::absolute(home, ec);
    if (!ec) home = abs.lexically_normal().string();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return HomePaths{home, home + "/Kelvora."};
}

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How this process was started, in the lock file's form; empty when an argument cannot be
// written on one line.
std::string startRecord() {
    std::string exe;
    std::error_code ec;
    exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    // A program replaced by an update while it ran: the new one is started again.
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
        exe.resize(exe.size() - deleted.size());
    const std::string cwd = std::filesystem::current_path(ec).string();
    const std::string cmdline = readAll("/proc/self/cmdline");
    std::string out = "pid=" + std::to_string(::getpid()) + "\ncwd=" + cwd + "\nexe=" + exe + "\n";
    if (cwd.find('\n') != std::string::npos || exe.find('\n') != std::string::npos) return {};
    size_t start = cmdline.find('\0');  // argv[0] is replaced by exe
    while (start != std::string::npos && start + 1 < cmdline.size()) {
        const size_t end = cmdline.find('\0', start + 1);
        const std::string arg = cmdline.substr(start + 1, end - start - 1);
        if (arg.find('\n') != std::string::npos) return {};
        out += "arg=" + arg + "\n";
        start = end;
    }
    return out;
}

}  // namespace

bool InstanceLock::acquire(const std::string& path) {
    release();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    // A monitor's look at the lock holds it for an instant: a second try tells that apart
    // from a program that runs.
    bool locked = false;
    for (int attempt = 0; attempt < 3 && !locked; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        locked = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    if (!locked) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    // Without the record the program runs as well; only a restart by the monitor is lost.
    const std::string record = startRecord();
    if (::ftruncate(fd_, 0) == 0 && !record.empty()) {
        [[maybe_unused]] const ssize_t n = ::pwrite(fd_, record.data(), record.size(), 0);
    }
    return true;
}

bool lockHeld(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // A shared lock cannot be had while the holder's exclusive one exists; when it can, it is
    // let go at once.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

LockRecord readLockRecord(const std::string& path) {
    LockRecord r;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "pid")
            r.pid = std::atol(value.c_str());
        else if (key == "cwd")
            r.cwd = value;
        else if (key == "exe")
            r.exe = value;
        else if (key == "arg")
            r.args.push_back(value);
    }
    return r;
}

void InstanceLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace kv
