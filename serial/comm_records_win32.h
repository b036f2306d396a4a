// The records the Windows port hands to the system: how a device is opened, the line
// settings and flow control in a DCB, the time-out presets in COMMTIMEOUTS. Pure functions,
// no device: the tests check the values handed over even where Wine on a pseudo-terminal
// cannot show their effect (custom rates, parity, exclusive open). Windows only.
#pragma once

#include <windows.h>

#include <cstdint>

namespace tarvik::serial {

// CreateFileW's arguments for a port: read and write, shared with nobody (a port that
// another program holds fails to open), only an existing device, overlapped transfers.
struct OpenParameters {
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
};
inline constexpr OpenParameters kPortOpenParameters{GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                                    FILE_FLAG_OVERLAPPED};

// What a Write purges first: pending transfers aborted, both buffers discarded.
inline constexpr DWORD kPurgeEverything =
    PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Rate (any value: the driver takes custom rates as they are), data bits, parity code and
// stop-bits code, and fParity with the parity; no other field changes.
void ApplyLineSettings(DCB& dcb, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                       uint8_t stopBits);
// Parity code as the port reports it: the DCB's parity while fParity is set, else 0.
int ParityOf(const DCB& dcb);

// Flow-control presets 0 off, 1 hardware, 2 software; false, record untouched, for any
// other mode. Only the six flow-control fields change.
bool ApplyHandshaking(DCB& dcb, uint32_t mode);
// 1 if DTR and RTS are both in handshake mode, else 2 if XON/XOFF is on both ways, else 0.
int HandshakingOf(const DCB& dcb);

// Read time-out presets 0 non-blocking, 1 timed (which also bounds a write at 300 ms);
// false, record untouched, for any other mode.
bool ApplyReadTimeouts(COMMTIMEOUTS& timeouts, uint32_t mode);

}  // namespace tarvik::serial
