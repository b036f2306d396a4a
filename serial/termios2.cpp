// Kept apart from every file that includes <termios.h>: see termios2.h.
#include "serial/termios2.h"

#include <asm/ioctls.h>
#include <sys/ioctl.h>

#include <array>
#include <cerrno>
#include <ratio>
#include <utility>

namespace tarvik::serial {

namespace {
// Bits of a character on the line besides its data bits.
constexpr int kStartBits = 1;
constexpr int kOneStopBit = 1;
constexpr int kTwoStopBits = 2;
constexpr int kParityBit = 1;
}  // namespace
namespace {

// Rates the kernel knows by a Bnnn constant. Any other rate goes as BOTHER + c_ospeed.
constexpr std::array<std::pair<uint32_t, tcflag_t>, 30> kBaudConstants{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

constexpr uint8_t kMinDataBits = 5;
constexpr uint8_t kMaxDataBits = 8;
constexpr uint8_t kMaxParityCode = 4;    // space
constexpr uint8_t kMaxStopBitsCode = 2;  // two stop bits
constexpr int kStopBitsOneHalfCode = 1;
constexpr int kStopBitsTwoCode = 2;

enum ParityCode : uint8_t { kNone = 0, kOdd = 1, kEven = 2, kMark = 3, kSpace = 4 };

constexpr uint32_t kHandshakeOffMode = 0;
constexpr uint32_t kHandshakeHardwareMode = 1;
constexpr uint32_t kHandshakeSoftwareMode = 2;

tcflag_t CharacterSize(uint8_t dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

int DataBitsOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

int ErrnoOf(int result) {
    return result == 0 ? 0 : errno;
}

}  // namespace

void ApplyRawMode(termios2& t) {
    t.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ICANON | ISIG | IEXTEN);
    // A serial port reads whatever the carrier line says: without CLOCAL a dropped DCD
    // would hang the line up under the reader.
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

int ApplyLineSettings(termios2& t, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                      uint8_t stopBits) {
    if (baudRate == 0 || dataBits < kMinDataBits || dataBits > kMaxDataBits ||
        parity > kMaxParityCode || stopBits > kMaxStopBitsCode) {
        return EINVAL;
    }
    tcflag_t speed = BOTHER;
    for (const auto& [rate, constant] : kBaudConstants) {
        if (rate == baudRate) {
            speed = constant;
        }
    }
    // Output speed in CBAUD; CIBAUD zero means "input at the output speed".
    t.c_cflag &= ~(CBAUD | CIBAUD);
    t.c_cflag |= speed;
    t.c_ispeed = baudRate;
    t.c_ospeed = baudRate;

    t.c_cflag = (t.c_cflag & ~CSIZE) | CharacterSize(dataBits);

    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (parity) {
        case kOdd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case kEven:
            t.c_cflag |= PARENB;
            break;
        case kMark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case kSpace:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (parity == kNone) {
        t.c_iflag &= ~INPCK;
    } else {
        t.c_iflag |= INPCK;
    }

    if (stopBits == 0) {
        t.c_cflag &= ~CSTOPB;
    } else {
        t.c_cflag |= CSTOPB;
    }
    return 0;
}

LineSettings ReadLineSettings(const termios2& t) {
    LineSettings s;
    const tcflag_t speed = t.c_cflag & CBAUD;
    s.baudRate = t.c_ospeed;
    for (const auto& [rate, constant] : kBaudConstants) {
        if (speed == constant) {
            s.baudRate = rate;
        }
    }
    s.dataBits = DataBitsOf(t.c_cflag);
    if ((t.c_cflag & PARENB) == 0) {
        s.parity = kNone;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        s.parity = (t.c_cflag & PARODD) != 0 ? kMark : kSpace;
    } else {
        s.parity = (t.c_cflag & PARODD) != 0 ? kOdd : kEven;
    }
    if ((t.c_cflag & CSTOPB) == 0) {
        s.stopBits = 0;
    } else {
        s.stopBits = s.dataBits == kMinDataBits ? kStopBitsOneHalfCode : kStopBitsTwoCode;
    }
    return s;
}

std::chrono::nanoseconds ByteTime(const LineSettings& line) {
    if (line.baudRate == 0) {
        return std::chrono::nanoseconds::zero();
    }
    const int bits = kStartBits + line.dataBits + (line.parity != 0 ? kParityBit : 0) +
                     (line.stopBits == 0 ? kOneStopBit : kTwoStopBits);
    return std::chrono::nanoseconds(static_cast<int64_t>(bits) * std::nano::den / line.baudRate);
}

bool ApplyHandshaking(termios2& t, uint32_t mode) {
    switch (mode) {
        case kHandshakeOffMode:
            t.c_cflag &= ~CRTSCTS;
            t.c_iflag &= ~(IXON | IXOFF);
            return true;
        case kHandshakeHardwareMode:
            t.c_cflag |= CRTSCTS;
            t.c_iflag &= ~(IXON | IXOFF);
            return true;
        case kHandshakeSoftwareMode:
            t.c_cflag &= ~CRTSCTS;
            t.c_iflag |= IXON | IXOFF;
            return true;
        default:
            return false;
    }
}

int HandshakingOf(const termios2& t) {
    if ((t.c_cflag & CRTSCTS) != 0) {
        return static_cast<int>(kHandshakeHardwareMode);
    }
    if ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF)) {
        return static_cast<int>(kHandshakeSoftwareMode);
    }
    return static_cast<int>(kHandshakeOffMode);
}

int GetDeviceTermios(int fd, termios2& t) {
    return ErrnoOf(ioctl(fd, TCGETS2, &t));
}

int SetDeviceTermios(int fd, const termios2& t) {
    return ErrnoOf(ioctl(fd, TCSETS2, &t));
}

int FlushDevice(int fd) {
    return ErrnoOf(ioctl(fd, TCFLSH, TCIOFLUSH));
}

int SetExclusive(int fd, bool exclusive) {
    return ErrnoOf(ioctl(fd, exclusive ? TIOCEXCL : TIOCNXCL));
}

int SetDtrRts(int fd, bool active) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    return ErrnoOf(ioctl(fd, active ? TIOCMBIS : TIOCMBIC, &lines));
}

}  // namespace tarvik::serial
