// The kernel's termios2 record: line settings of a serial device, with rates that have no
// Bnnn constant (14400, 56000, 128000, 256000, 1024000) carried as BOTHER + c_ospeed.
//
// <asm/termbits.h> declares its own `struct termios` and cannot share a translation unit
// with <termios.h>: whoever includes this header must not include <termios.h>.
//
// Two halves:
//   pure functions that change or read a termios2 record (no device, testable as they are);
//   thin device calls (TCGETS2/TCSETS2, flush, exclusivity, modem lines) that return 0 or
//   the errno of the failing call.
#pragma once

#include <asm/termbits.h>

#include <chrono>
#include <cstdint>

namespace tarvik::serial {

// The line settings as the port reports them: rate in baud, 5..8 data bits, parity code
// 0 none / 1 odd / 2 even / 3 mark / 4 space, stop-bits code 0 one / 1 one and a half / 2 two.
struct LineSettings {
    uint32_t baudRate = 0;
    int dataBits = 0;
    int parity = 0;
    int stopBits = 0;
};

// Raw mode, as a serial port is on other systems: no echo, no line editing, no CR/LF or
// other translation, no signals, receiver on, modem-status lines ignored, VMIN 0 / VTIME 0
// (the port times its own reads). Flow control is left to ApplyHandshaking.
void ApplyRawMode(termios2& t);

// Sets rate, data bits, parity and stop bits and nothing else. Stop-bits codes 1 and 2 both
// set CSTOPB: the UART sends one and a half stop bits with 5 data bits and two otherwise.
// Input parity checking (INPCK) follows parity on/off. Returns 0, or EINVAL with the record
// untouched for a rate of 0 (that would hang the line up), data bits outside 5..8, a parity
// code above 4 or a stop-bits code above 2.
int ApplyLineSettings(termios2& t, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                      uint8_t stopBits);
LineSettings ReadLineSettings(const termios2& t);
// How long one character lasts on the line with these settings: a start bit, the data bits,
// a parity bit if any and the stop bits (two for codes 1 and 2, as CSTOPB sends them); zero
// for a rate of 0.
std::chrono::nanoseconds ByteTime(const LineSettings& line);

// Flow-control presets: 0 off, 1 hardware (RTS/CTS), 2 software (XON/XOFF in both
// directions). Returns false, record untouched, for any other mode.
bool ApplyHandshaking(termios2& t, uint32_t mode);
// 1 if RTS/CTS is on, else 2 if XON/XOFF is on in both directions, else 0.
int HandshakingOf(const termios2& t);

// Device calls. Each returns 0 or the errno of the failing call.
int GetDeviceTermios(int fd, termios2& t);
int SetDeviceTermios(int fd, const termios2& t);
// Discards what has been received and not read, and what is queued and not yet sent.
int FlushDevice(int fd);
// Refuses further opens of the tty (TIOCEXCL) / allows them again (TIOCNXCL).
int SetExclusive(int fd, bool exclusive);
// Raises (true) or drops (false) DTR and RTS. Devices without modem lines (a pseudo-terminal)
// refuse; callers treat that as "as far as the device allows".
int SetDtrRts(int fd, bool active);

}  // namespace tarvik::serial
