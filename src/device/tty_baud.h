#pragma once
// Baud rate of an open terminal. Kept apart because arbitrary rates need the kernel's
// termios2 interface, whose header cannot share a translation unit with <termios.h>.

namespace kv {

// Standard rates through termios, any other rate through termios2. False if refused.
bool setTtyBaudRate(int fd, int baud);

}  // namespace kv
