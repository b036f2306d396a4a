// What the port does the same way on every platform: the defaults an opening starts with and
// the text form of a write. The platform files hold everything that touches the device.
#include <cstring>

#include "serial/com_port.h"

namespace tarvik {
namespace {

// What every opening starts with: 115200 8N1, timed reads, no flow control.
constexpr uint32_t kDefaultBaudRate = 115200;
constexpr uint8_t kDefaultDataBits = 8;
// The second word of the read-time-out preset, which the timed preset does not use.
constexpr uint32_t kReadTimeoutsIgnored = 10000;

}  // namespace

uint32_t CComPort::ApplyOpenDefaults() {
    // Only the last result counts, as the port's callers test only the result of opening.
    SetMask(kDefaultEventMask);
    Setup(kDefaultBaudRate, kDefaultDataBits, kParityNone, kStopBitsOne);
    SetupReadTimeouts(kReadTimed, kReadTimeoutsIgnored);
    const uint32_t result = SetupHandshaking(kHandshakeOff);
    if (result != kErrSuccess) {
        // A failed Open must not leave the device held: the caller shows a failure and would
        // otherwise get 1247 on every later attempt while the port stays open unseen.
        Close();
        m_lastError = result;
    }
    return result;
}

uint32_t CComPort::WriteString(const char* text, uint32_t* countOut, ComOverlapped* overlapped,
                               uint32_t timeoutMs) {
    const char* bytes = text != nullptr ? text : "";
    return Write(bytes, static_cast<uint32_t>(std::strlen(bytes)), countOut, overlapped, timeoutMs);
}

}  // namespace tarvik
