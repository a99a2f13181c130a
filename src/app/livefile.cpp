#include "app/livefile.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

std::string liveFileName(std::string_view liveFN, std::string_view basePath) {
    if (liveFN.empty()) return {};
    // Stored paths may still carry the original's backslashes.
    std::string name(liveFN);
    bool hasSeparator = false;
    for (char& c : name) {
        if (c == '\\') {
            c = '/';
            hasSeparator = true;
        } else if (c == '/') {
            hasSeparator = true;
        }
    }
    if (!hasSeparator) return std::string(basePath) + "Live";
    return name;
}

void LiveFile::configure(std::string fileName) {
    std::lock_guard lock(mutex_);
    fileName_ = std::move(fileName);
}

std::string LiveFile::fileName() const {
    std::lock_guard lock(mutex_);
    return fileName_;
}

bool LiveFile::configured() const {
    std::lock_guard lock(mutex_);
    return !fileName_.empty();
}

void LiveFile::touch() {
    std::lock_guard lock(mutex_);
    if (fileName_.empty()) return;
    // The real clock, not the program's: the monitor compares with the system's time.
    if (::utimensat(AT_FDCWD, fileName_.c_str(), nullptr, 0) == 0) return;
    const int fd = ::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

void LiveFile::remove() {
    std::lock_guard lock(mutex_);
    if (!fileName_.empty()) ::unlink(fileName_.c_str());
}

LiveFile& liveFile() {
    static LiveFile f;
    return f;
}

void TouchLiveFile() { liveFile().touch(); }

}  // namespace kv
