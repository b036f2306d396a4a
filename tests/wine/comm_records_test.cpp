// What the Windows port hands to the system, where Wine on a pseudo-terminal cannot show the
// effect: custom rates, parity, the flow-control flags, the time-out presets, exclusive
// opening; and where COM names lead on Windows.
#include "serial/comm_records_win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/com_names.h"
#include "serial/com_port.h"

namespace tarvik {
namespace {

// The DCB's flags word (fBinary is bit 0), where the flow-control presets are defined.
uint32_t FlagsOf(const DCB& dcb) {
    uint32_t flags = 0;
    std::memcpy(
        &flags,
        reinterpret_cast<const uint8_t*>(&dcb) + offsetof(DCB, BaudRate) + sizeof dcb.BaudRate,
        sizeof flags);
    return flags;
}

void SetFlags(DCB& dcb, uint32_t flags) {
    std::memcpy(reinterpret_cast<uint8_t*>(&dcb) + offsetof(DCB, BaudRate) + sizeof dcb.BaudRate,
                &flags, sizeof flags);
}

TEST(LineSettingsRecord, EveryRateOfTheListsAndTheLineCodesGoIntoTheDcbAsGiven) {
    // The rates without a standard constant are handed over as they are: the driver takes
    // custom rates.
    for (uint32_t rate : {300u, 1200u, 9600u, 14400u, 56000u, 115200u, 128000u, 256000u, 460800u,
                          921600u, 1024000u}) {
        SCOPED_TRACE(rate);
        DCB dcb{};
        dcb.XonLim = 123;  // a field no setting touches
        serial::ApplyLineSettings(dcb, rate, 7, kParityEven, kStopBitsTwo);
        EXPECT_EQ(dcb.BaudRate, rate);
        EXPECT_EQ(dcb.ByteSize, 7);
        EXPECT_EQ(dcb.Parity, kParityEven);
        EXPECT_EQ(dcb.StopBits, kStopBitsTwo);
        EXPECT_EQ(dcb.fParity, 1u);
        EXPECT_EQ(serial::ParityOf(dcb), kParityEven);
        EXPECT_EQ(dcb.XonLim, 123);
    }
    DCB dcb{};
    serial::ApplyLineSettings(dcb, 9600, 8, kParityOdd, kStopBitsOneHalf);
    serial::ApplyLineSettings(dcb, 9600, 8, kParityNone, kStopBitsOne);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(serial::ParityOf(dcb), kParityNone);
    // A parity in the record without fParity is no parity on the line.
    dcb.Parity = kParityMark;
    EXPECT_EQ(serial::ParityOf(dcb), kParityNone);
}

TEST(HandshakingRecord, PresetsChangeOnlyTheFlowControlBits) {
    struct Case {
        uint32_t mode;
        uint32_t cleared;  // bits the preset clears
        uint32_t set;      // then sets
    };
    const Case cases[] = {
        {kHandshakeOff, 0x0000333C, 0},
        {kHandshakeHardware, 0x00001310, 0x0000202C},
        {kHandshakeSoftware, 0x0000303C, 0x00000300},
    };
    for (uint32_t start : {0u, 0xFFFFFFFFu, 0x00004001u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "mode " << c.mode << " from " << std::hex << start);
            DCB dcb{};
            SetFlags(dcb, start);
            ASSERT_TRUE(serial::ApplyHandshaking(dcb, c.mode));
            EXPECT_EQ(FlagsOf(dcb), (start & ~c.cleared) | c.set);
            EXPECT_EQ(serial::HandshakingOf(dcb), static_cast<int>(c.mode));
        }
    }
    DCB dcb{};
    SetFlags(dcb, 0x12345678);
    EXPECT_FALSE(serial::ApplyHandshaking(dcb, 3));
    EXPECT_EQ(FlagsOf(dcb), 0x12345678u);
}

TEST(TimeoutRecord, PresetsAsThePortPromises) {
    COMMTIMEOUTS timeouts{7, 7, 7, 7, 7};
    ASSERT_TRUE(serial::ApplyReadTimeouts(timeouts, kReadTimed));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 2u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 300u);

    timeouts = COMMTIMEOUTS{7, 7, 7, 7, 7};
    ASSERT_TRUE(serial::ApplyReadTimeouts(timeouts, kReadNonBlocking));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 7u);  // unchanged
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 7u);

    timeouts = COMMTIMEOUTS{7, 7, 7, 7, 7};
    EXPECT_FALSE(serial::ApplyReadTimeouts(timeouts, 2));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 7u);
}

TEST(OpenRecord, PortsOpenExclusivelyForOverlappedTransfers) {
    // Shared with nobody: Windows refuses a second open of a held port (Wine on a
    // pseudo-terminal does not, so only the request can be checked here).
    EXPECT_EQ(serial::kPortOpenParameters.share, 0u);
    EXPECT_EQ(serial::kPortOpenParameters.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(serial::kPortOpenParameters.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(serial::kPortOpenParameters.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
    EXPECT_EQ(serial::kPurgeEverything, 0x0Fu);
}

TEST(WindowsComNames, ComNamesLeadToTheSystemsDevice) {
    struct Case {
        const char* name;
        const char* device;
    };
    const Case cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"com7", "\\\\.\\COM7"},
        {"\\\\.\\COM10", "\\\\.\\COM10"},
        {"\\\\.\\cOm256", "\\\\.\\COM256"},
        {"COM257", "COM257"},
        {"COM0", "COM0"},
        {"COM07", "COM07"},
        {"\\\\.\\PIPE\\x", "\\\\.\\PIPE\\x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ResolveDeviceName(c.name), std::optional<std::string>(c.device));
    }
}

TEST(WindowsErrorTexts, TheSystemsMessageWithoutLineEnd) {
    EXPECT_EQ(ComErrorText(kErrSuccess), "");
    for (uint32_t code : {kErrNoDevice, kErrAccessDenied, kErrCancelled, kErrTimeout}) {
        SCOPED_TRACE(code);
        const std::string text = ComErrorText(code);
        ASSERT_FALSE(text.empty());
        EXPECT_NE(text.back(), '\n');
        EXPECT_NE(text.back(), '\r');
        EXPECT_NE(text.back(), '.');
    }
    // Unknown to the system: still a text with the number.
    EXPECT_NE(ComErrorText(0x7FFFFF01).find(std::to_string(0x7FFFFF01)), std::string::npos);
}

}  // namespace
}  // namespace tarvik
