#include "serial/comm_records_win32.h"

#include "serial/com_port.h"

namespace tarvik::serial {
namespace {

// COMMTIMEOUTS of the read time-out presets, in ms.
constexpr DWORD kNonBlockingInterval = MAXDWORD;  // with both totals 0: return at once
constexpr DWORD kTimedInterval = static_cast<DWORD>(kBurstGap.count());
constexpr DWORD kTimedPerByte = static_cast<DWORD>(kReadTotalPerByte.count());
constexpr DWORD kTimedConstant = static_cast<DWORD>(kReadTotalConstant.count());
constexpr DWORD kTimedWriteConstant = static_cast<DWORD>(kWriteTotalTimed.count());

}  // namespace

void ApplyLineSettings(DCB& dcb, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                       uint8_t stopBits) {
    dcb.BaudRate = baudRate;
    dcb.ByteSize = dataBits;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fParity = parity != kParityNone ? 1 : 0;
}

int ParityOf(const DCB& dcb) {
    return dcb.fParity != 0 ? dcb.Parity : kParityNone;
}

bool ApplyHandshaking(DCB& dcb, uint32_t mode) {
    if (mode != kHandshakeOff && mode != kHandshakeHardware && mode != kHandshakeSoftware) {
        return false;
    }
    const bool hardware = mode == kHandshakeHardware;
    const bool software = mode == kHandshakeSoftware;
    dcb.fOutxCtsFlow = hardware ? 1 : 0;
    dcb.fOutxDsrFlow = hardware ? 1 : 0;
    // Held inactive unless they carry the handshake.
    dcb.fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    dcb.fOutX = software ? 1 : 0;
    dcb.fInX = software ? 1 : 0;
    return true;
}

int HandshakingOf(const DCB& dcb) {
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        return static_cast<int>(kHandshakeHardware);
    }
    if (dcb.fOutX != 0 && dcb.fInX != 0) {
        return static_cast<int>(kHandshakeSoftware);
    }
    return static_cast<int>(kHandshakeOff);
}

bool ApplyReadTimeouts(COMMTIMEOUTS& timeouts, uint32_t mode) {
    if (mode == kReadNonBlocking) {
        timeouts.ReadIntervalTimeout = kNonBlockingInterval;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        return true;
    }
    if (mode == kReadTimed) {
        timeouts.ReadIntervalTimeout = kTimedInterval;
        timeouts.ReadTotalTimeoutMultiplier = kTimedPerByte;
        timeouts.ReadTotalTimeoutConstant = kTimedConstant;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = kTimedWriteConstant;
        return true;
    }
    return false;
}

}  // namespace tarvik::serial
