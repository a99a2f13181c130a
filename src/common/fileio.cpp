#include "common/fileio.h"

#include <unistd.h>

#include <cerrno>

namespace kv {

int writeAllAndClose(int fd, std::string_view content) {
    int err = 0;
    size_t done = 0;
    while (done < content.size() && err == 0) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno != EINTR) err = errno;
            continue;
        }
        done += static_cast<size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

}  // namespace kv
