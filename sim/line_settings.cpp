// Kept apart from every file that includes <termios.h>: <asm/termbits.h> declares a
// different struct termios of the same name.
#include "line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <array>
#include <utility>

namespace tarvik::sim {

namespace {

constexpr std::array<std::pair<tcflag_t, std::uint32_t>, 31> kCodes = {{
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B3500000, 3500000},
    {B4000000, 4000000},
    {B0, 0},
}};

// Rate of an old-style speed code, for kernels that leave c_ospeed empty.
std::uint32_t rateOfCode(tcflag_t code) {
    for (const auto& [c, rate] : kCodes) {
        if (c == code) {
            return rate;
        }
    }
    return 0;
}

// The old-style code of a rate, or BOTHER when it has none.
tcflag_t codeOfRate(std::uint32_t baud) {
    for (const auto& [c, rate] : kCodes) {
        if (rate == baud && c != B0) {
            return c;
        }
    }
    return BOTHER;
}

}  // namespace

std::optional<std::uint32_t> readLineSpeed(int fd) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return std::nullopt;
    }
    if (tio.c_ospeed != 0 || (tio.c_cflag & CBAUD) == BOTHER) {
        return tio.c_ospeed;
    }
    return rateOfCode(tio.c_cflag & CBAUD);
}

bool setLineSpeed(int fd, std::uint32_t baud) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    // A standard rate keeps its standard code, so that programs reading the settings with
    // plain termios see it; any other goes by number.
    const tcflag_t code = codeOfRate(baud);
    tio.c_cflag |= code | (code << IBSHIFT);
    tio.c_ospeed = baud;
    tio.c_ispeed = baud;
    return ioctl(fd, TCSETSW2, &tio) == 0;
}

bool makeRaw(int fd) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    // One byte satisfies a read; with O_NONBLOCK an empty queue reads as EAGAIN, while a
    // read of 0 bytes means the terminal hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace tarvik::sim
