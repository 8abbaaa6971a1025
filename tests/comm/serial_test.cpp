// The line settings of a connection string as terminal settings. A pseudo-terminal ignores
// parity and data bits, so the mapping is checked on its own.
#include <gtest/gtest.h>

#include <cstring>

#include "comm/serial.h"

namespace {

termios made(const comm_serial_line &line, termios start = {}) {
    std::string reason;
    EXPECT_EQ(serial_make_termios(line, &start, &reason), 0) << reason;
    return start;
}

TEST(SerialTermios, ParityStopBitsDataBitsAndFlow) {
    termios odd = made({115200, 8, 1, 1, 0});
    EXPECT_TRUE(odd.c_cflag & PARENB);
    EXPECT_TRUE(odd.c_cflag & PARODD);
    EXPECT_TRUE(odd.c_iflag & INPCK);  // checking on
    termios even = made({115200, 8, 1, 2, 0});
    EXPECT_TRUE(even.c_cflag & PARENB);
    EXPECT_FALSE(even.c_cflag & PARODD);
    termios none = made({115200, 8, 1, 0, 0}, odd);
    EXPECT_FALSE(none.c_cflag & (PARENB | PARODD));
    EXPECT_FALSE(none.c_iflag & INPCK);
    // Any other value leaves the parity as the port had it.
    termios kept = made({115200, 8, 1, 3, 0}, odd);
    EXPECT_EQ(kept.c_cflag & (PARENB | PARODD), tcflag_t{PARENB | PARODD});
    EXPECT_TRUE(kept.c_iflag & INPCK);
    EXPECT_FALSE(made({115200, 8, 1, 3, 0}, none).c_cflag & PARENB);

    termios two = made({115200, 8, 2, 0, 0});
    EXPECT_TRUE(two.c_cflag & CSTOPB);
    EXPECT_FALSE(made({115200, 8, 1, 0, 0}, two).c_cflag & CSTOPB);
    EXPECT_FALSE(made({115200, 8, 0, 0, 0}, two).c_cflag & CSTOPB);

    const std::pair<int, tcflag_t> sizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
    for (auto [bits, size] : sizes)
        EXPECT_EQ(made({9600, bits, 1, 0, 0}).c_cflag & CSIZE, size) << bits;

    termios rtscts = made({9600, 8, 1, 0, 1});
    EXPECT_TRUE(rtscts.c_cflag & CRTSCTS);
    EXPECT_FALSE(made({9600, 8, 1, 0, 0}, rtscts).c_cflag & CRTSCTS);

    // Whatever the port was set to before, the line is raw binary and reads never block.
    termios cooked{};
    cooked.c_iflag = ICRNL | IXON | ISTRIP;
    cooked.c_oflag = OPOST;
    cooked.c_lflag = ECHO | ICANON | ISIG;
    cooked.c_cc[VMIN] = 1;
    termios raw = made({9600, 8, 1, 0, 0}, cooked);
    EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(raw.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
}

TEST(SerialTermios, EveryStandardRateAndNoOther) {
    const std::pair<int, speed_t> rates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000}};
    for (auto [baud, speed] : rates) {
        termios t = made({baud, 8, 1, 0, 0});
        EXPECT_EQ(cfgetospeed(&t), speed) << baud;
        EXPECT_EQ(cfgetispeed(&t), speed) << baud;
    }

    // Refused settings name themselves and leave the port's settings alone. Baud 0 would hang
    // the line up.
    const std::pair<comm_serial_line, const char *> refused[] = {
        {{12345, 8, 1, 0, 0}, "baud rate 12345 is not a standard rate"},
        {{0, 8, 1, 0, 0}, "baud rate 0 is not a standard rate"},
        {{-9600, 8, 1, 0, 0}, "baud rate -9600 is not a standard rate"},
        {{9600, 4, 1, 0, 0}, "data bits must be 5 to 8, not 4"},
        {{9600, 9, 1, 0, 0}, "data bits must be 5 to 8, not 9"},
        {{9600, 8, 3, 0, 0}, "stop bits must be 0, 1 or 2, not 3"},
    };
    termios before = made({19200, 7, 2, 1, 1});
    for (const auto &[line, why] : refused) {
        termios t = before;
        std::string reason;
        EXPECT_EQ(serial_make_termios(line, &t, &reason), -1);
        EXPECT_EQ(reason, why);
        EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0) << why;
    }
}

}  // namespace
