#pragma once
// Line set-up of an open terminal, shared by the device links' tty backend and the CO2
// meters' serial ports. Declared without <termios.h>: arbitrary rates need the kernel's
// termios2 interface, whose header cannot share a translation unit with it (tty_baud.cpp);
// the rest lives in tty_termios.cpp.

namespace kv {

// Raw bytes both ways, no flow control of either kind, one stop bit, no parity; reads never
// wait. The devices speak binary protocols, and a Linux terminal starts in line mode with
// echo, which would garble all of them. False if the terminal refused.
bool makeTtyRaw(int fd);

// The termios speed constant (B9600 …) of a standard rate from 300 to 921600 baud; 0 (B0)
// for any other rate.
unsigned standardTtySpeed(int baud);

// Standard rates through termios, any other rate through termios2. False if refused.
bool setTtyBaudRate(int fd, int baud);

}  // namespace kv
