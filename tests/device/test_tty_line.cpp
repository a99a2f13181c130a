// The line set-up that the device links and the CO2 serial ports share.

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "device/tty_baud.h"

using namespace kv;

namespace {

TEST(TtyLine, RawModeAndStandardSpeeds) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    // Start from what a careless earlier user may have left: line mode, echo, XON/XOFF.
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    t.c_lflag |= ICANON | ECHO;
    t.c_iflag |= IXON | IXOFF | IXANY;
    t.c_cflag |= CSTOPB | PARENB;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);

    ASSERT_TRUE(makeTtyRaw(slave));
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    ::close(slave);
    ::close(master);
    EXPECT_FALSE(makeTtyRaw(slave)) << "a closed descriptor";

    EXPECT_EQ(standardTtySpeed(300), static_cast<unsigned>(B300));
    EXPECT_EQ(standardTtySpeed(9600), static_cast<unsigned>(B9600));
    EXPECT_EQ(standardTtySpeed(921600), static_cast<unsigned>(B921600));
    for (int odd : {0, -9600, 250, 14400, 1000000})
        EXPECT_EQ(standardTtySpeed(odd), static_cast<unsigned>(B0)) << odd;
}

}  // namespace
