// The termios2 records the port builds. A pseudo-terminal forces 8 data bits and no parity,
// so data bits, parity and stop bits are checked here, on the record itself.
// (This file must not include <termios.h>: see serial/termios2.h.)
#include "serial/termios2.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace tarvik::serial {
namespace {

// A record as a freshly opened tty has it: cooked, echoing, 38400 baud, 8N1.
termios2 CookedRecord() {
    termios2 t{};
    t.c_iflag = ICRNL | IXON | BRKINT | IMAXBEL;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | ISIG | IEXTEN;
    t.c_cflag = B38400 | CS8 | CREAD | HUPCL;
    t.c_ispeed = t.c_ospeed = 38400;
    t.c_cc[VINTR] = 3;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    return t;
}

bool SameRecord(const termios2& a, const termios2& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(Termios2Record, RawModeLeavesNothingCookedAndKeepsTheRest) {
    termios2 t = CookedRecord();
    ApplyRawMode(t);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | IMAXBEL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    // Not raw mode's business: line speed and size, hang-up on close, control characters,
    // and flow control (the handshaking preset sets it).
    EXPECT_EQ(t.c_cflag & (CBAUD | CSIZE | HUPCL), static_cast<tcflag_t>(B38400 | CS8 | HUPCL));
    EXPECT_EQ(t.c_cc[VINTR], 3);
    EXPECT_NE(t.c_iflag & IXON, 0u);
}

struct LineCase {
    uint32_t baud;
    uint8_t dataBits;
    uint8_t parity;
    uint8_t stopBits;
    tcflag_t expectedFlags;  // CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    int readBackStopBits;
};

TEST(Termios2Record, LineSettingsSetOnlyTheirFieldsAndReadBack) {
    constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    const LineCase cases[] = {
        {115200, 8, 0, 0, CS8, 0},
        {9600, 7, 2, 0, CS7 | PARENB, 0},                              // even
        {1200, 5, 1, 1, CS5 | PARENB | PARODD | CSTOPB, 1},            // odd, 1.5 stop bits
        {14400, 6, 3, 2, CS6 | PARENB | CMSPAR | PARODD | CSTOPB, 2},  // mark
        {256000, 7, 4, 0, CS7 | PARENB | CMSPAR, 0},                   // space
        // One and a half stop bits exist only at 5 data bits; at 8 the UART sends two.
        {1024000, 8, 0, 1, CS8 | CSTOPB, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.baud << " " << int(c.dataBits) << " parity "
                                          << int(c.parity) << " stop " << int(c.stopBits));
        termios2 t = CookedRecord();
        t.c_cflag |= CRTSCTS | PARENB | PARODD | CMSPAR | CSTOPB;  // left over from before
        t.c_iflag |= IXOFF;
        const termios2 before = t;
        ASSERT_EQ(ApplyLineSettings(t, c.baud, c.dataBits, c.parity, c.stopBits), 0);
        EXPECT_EQ(t.c_cflag & kLineFlags, c.expectedFlags);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.parity != 0);
        // Read-modify-write: flow control, hang-up, local modes and control characters stay.
        EXPECT_EQ(t.c_cflag & (CRTSCTS | HUPCL | CREAD),
                  before.c_cflag & (CRTSCTS | HUPCL | CREAD));
        EXPECT_EQ(t.c_iflag & ~INPCK, before.c_iflag & ~INPCK);
        EXPECT_EQ(t.c_lflag, before.c_lflag);
        EXPECT_EQ(t.c_oflag, before.c_oflag);
        EXPECT_EQ(0, std::memcmp(t.c_cc, before.c_cc, sizeof t.c_cc));

        const LineSettings back = ReadLineSettings(t);
        EXPECT_EQ(back.baudRate, c.baud);
        EXPECT_EQ(back.dataBits, c.dataBits);
        EXPECT_EQ(back.parity, c.parity);
        EXPECT_EQ(back.stopBits, c.readBackStopBits);
    }
}

TEST(Termios2Record, RatesWithoutAConstantGoAsBother) {
    const struct {
        uint32_t baud;
        tcflag_t speed;
    } cases[] = {
        {1200, B1200},   {9600, B9600},    {115200, B115200}, {921600, B921600}, {14400, BOTHER},
        {56000, BOTHER}, {128000, BOTHER}, {256000, BOTHER},  {1024000, BOTHER},
    };
    for (const auto& c : cases) {
        termios2 t = CookedRecord();
        t.c_cflag |= B9600 << IBSHIFT;  // a separate input speed from before
        ASSERT_EQ(ApplyLineSettings(t, c.baud, 8, 0, 0), 0) << c.baud;
        EXPECT_EQ(t.c_cflag & CBAUD, c.speed) << c.baud;
        EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << c.baud << ": input follows output";
        EXPECT_EQ(t.c_ospeed, c.baud);
        EXPECT_EQ(t.c_ispeed, c.baud);
        EXPECT_EQ(ReadLineSettings(t).baudRate, c.baud);
    }
}

TEST(Termios2Record, OutOfRangeSettingsAreRefusedUntouched) {
    const struct {
        uint32_t baud;
        uint8_t dataBits, parity, stopBits;
    } cases[] = {
        {0, 8, 0, 0},  // B0 would drop DTR and hang the line up
        {9600, 4, 0, 0}, {9600, 9, 0, 0}, {9600, 8, 5, 0}, {9600, 8, 0, 3},
    };
    for (const auto& c : cases) {
        termios2 t = CookedRecord();
        const termios2 before = t;
        EXPECT_EQ(ApplyLineSettings(t, c.baud, c.dataBits, c.parity, c.stopBits), EINVAL);
        EXPECT_TRUE(SameRecord(t, before));
    }
}

TEST(Termios2Record, HandshakingPresetsAndReadBack) {
    const struct {
        uint32_t mode;
        bool rtsCts;
        bool xonXoff;
    } cases[] = {{0, false, false}, {1, true, false}, {2, false, true}};
    for (const auto& c : cases) {
        termios2 t = CookedRecord();
        t.c_cflag |= CRTSCTS | CS7 | PARENB;
        t.c_iflag |= IXON | IXOFF | IXANY;
        const termios2 before = t;
        ASSERT_TRUE(ApplyHandshaking(t, c.mode));
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtsCts) << c.mode;
        EXPECT_EQ((t.c_iflag & IXON) != 0, c.xonXoff) << c.mode;
        EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.xonXoff) << c.mode;
        EXPECT_EQ(t.c_cflag & ~CRTSCTS, before.c_cflag & ~CRTSCTS);
        EXPECT_EQ(t.c_iflag & ~(IXON | IXOFF), before.c_iflag & ~(IXON | IXOFF));
        EXPECT_EQ(HandshakingOf(t), static_cast<int>(c.mode));
    }
    termios2 t = CookedRecord();
    const termios2 before = t;
    EXPECT_FALSE(ApplyHandshaking(t, 3));
    EXPECT_TRUE(SameRecord(t, before));
    // XON/XOFF in one direction only is not the software preset.
    t.c_iflag = IXON;
    EXPECT_EQ(HandshakingOf(t), 0);
}

}  // namespace
}  // namespace tarvik::serial
