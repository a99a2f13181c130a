#include "common/fileio.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace kv {

namespace {

std::atomic<int> gFailWith{0};
std::atomic<long long> gFailAfter{0};

}  // namespace

void setWriteFailureForTests(int err, long long bytesBeforeFailure) {
    gFailAfter.store(bytesBeforeFailure);
    gFailWith.store(err);
}

int writeAllTo(int fd, std::string_view content) {
    size_t done = 0;
    const int failWith = gFailWith.load();
    while (done < content.size()) {
        size_t chunk = content.size() - done;
        if (failWith != 0) {
            const long long left = gFailAfter.load() - static_cast<long long>(done);
            if (left <= 0) return failWith;
            chunk = std::min(chunk, static_cast<size_t>(left));
        }
        const ssize_t n = ::write(fd, content.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

int writeAllAndClose(int fd, std::string_view content) {
    int err = writeAllTo(fd, content);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

}  // namespace kv
