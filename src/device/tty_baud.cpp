#include "device/tty_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kv {

// termios2 sets any rate with BOTHER, the standard ones included, so one path serves all.
bool setTtyBaudRate(int fd, int baud) {
    if (baud <= 0) return false;
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_cflag &= ~(CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER << IBSHIFT;
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace kv
