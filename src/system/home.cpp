#include "system/home.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

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
    std::error_code ec;
    auto abs = std::filesystem::absolute(home, ec);
    if (!ec) home = abs.lexically_normal().string();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return HomePaths{home, home + "/Kelvora."};
}

bool InstanceLock::acquire(const std::string& path) {
    release();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

void InstanceLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace kv
