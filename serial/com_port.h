// CComPort: the tool's only access to the serial line.
//
// Interface summary
//   Open/Close            open a device by COM name (\\.\COMn) or by plain path, exclusively
//   Setup                 baud, data bits, parity code, stop-bits code (read-modify-write)
//   SetupHandshaking      flow-control presets 0 off, 1 hardware, 2 software
//   SetupReadTimeouts     read time-out presets 0 non-blocking, 1 timed
//   Read/Write/WriteString blocking transfers bounded by the caller's time-out (ms)
//   SetMask/GetMask/WaitEvent/SetEventChar/GetEventChar  communications events
//   Get*                  read the device's current settings back
//
// Every operation returns an error code and records it (LastError): 0 success, 6 port not
// open, 1247 already open, 1460 the caller's time-out ran out, 0x80070057 unsupported mode,
// anything else the platform's errno of the failing call.
//
// Threads: one thread may Read (and WaitEvent) while another Writes, Setups and reads the
// settings; Close may come from either thread and is safe against Write and Setup on the
// other (a lock in the object serialises them). Open runs before a reader thread exists.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tarvik {

inline constexpr uint32_t kErrSuccess = 0;
inline constexpr uint32_t kErrInvalidHandle = 6;         // the port is not open
inline constexpr uint32_t kErrAlreadyInitialized = 1247; // Open on an open port
inline constexpr uint32_t kErrTimeout = 1460;            // the caller's wait ran out
inline constexpr uint32_t kErrInvalidArg = 0x80070057;   // unsupported preset mode

// Flow-control modes.
inline constexpr uint32_t kHandshakeOff = 0;
inline constexpr uint32_t kHandshakeHardware = 1;
inline constexpr uint32_t kHandshakeSoftware = 2;

// Read time-out modes.
inline constexpr uint32_t kReadNonBlocking = 0;
inline constexpr uint32_t kReadTimed = 1;

// Parity codes and stop-bits codes of Setup.
inline constexpr uint8_t kParityNone = 0;
inline constexpr uint8_t kParityOdd = 1;
inline constexpr uint8_t kParityEven = 2;
inline constexpr uint8_t kParityMark = 3;
inline constexpr uint8_t kParitySpace = 4;
inline constexpr uint8_t kStopBitsOne = 0;
inline constexpr uint8_t kStopBitsOneHalf = 1;
inline constexpr uint8_t kStopBitsTwo = 2;

// Communications events (SetMask/GetMask/WaitEvent).
inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr uint32_t kEvRxFlag = 0x0002;
inline constexpr uint32_t kEvBreak = 0x0040;
inline constexpr uint32_t kEvErr = 0x0080;
inline constexpr uint32_t kDefaultEventMask = kEvRxChar | kEvBreak | kEvErr;  // 0xC1

// A caller-supplied record of an asynchronous transfer. When a caller passes one, the
// operation does not wait for a pending transfer: it returns 0 and the caller waits on
// `event` (a descriptor that becomes readable on completion) and reads `count`/`error`.
struct ComOverlapped {
    int event = -1;
    uint32_t count = 0;
    uint32_t error = 0;
};

class CComPort {
public:
    CComPort();
    virtual ~CComPort();  // closes the port if it is still open

    CComPort(const CComPort&) = delete;
    CComPort& operator=(const CComPort&) = delete;

    // Opens "\\.\COMn" (resolved as com_names.h says) or a plain device path, exclusively,
    // puts it into raw mode and applies the defaults: event mask 0xC1, 115200 8N1, read
    // mode 1, no flow control. Queue sizes are accepted and checked but Linux keeps its own.
    virtual uint32_t Open(const char* deviceName, uint32_t inQueueSize, uint32_t outQueueSize);
    virtual uint32_t Close();
    virtual uint32_t Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits);
    virtual uint32_t SetEventChar(uint8_t eventChar, bool addRxFlagEvent);
    virtual uint32_t SetMask(uint32_t mask);
    virtual uint32_t WaitEvent(ComOverlapped* overlapped, uint32_t timeoutMs);
    virtual uint32_t SetupHandshaking(uint32_t mode);
    virtual uint32_t SetupReadTimeouts(uint32_t mode, uint32_t ignored);
    virtual int32_t GetBaudRate();
    virtual int32_t GetDataBits();
    virtual int32_t GetParity();
    virtual int32_t GetStopBits();
    virtual int32_t GetHandshaking();
    virtual uint32_t GetMask();
    virtual uint8_t GetEventChar();
    virtual uint32_t WriteString(const char* text, uint32_t* countOut, ComOverlapped* overlapped,
                                 uint32_t timeoutMs);
    // Purges both directions (and wakes a Read blocked on another thread), then writes.
    virtual uint32_t Write(const void* bytes, uint32_t length, uint32_t* countOut,
                           ComOverlapped* overlapped, uint32_t timeoutMs);
    // In mode 1 a read ends 2 ms after the last byte of a burst; if the caller's time-out
    // runs out first it returns 1460 with a count of 0, and the bytes it had taken in are
    // kept for the next Read.
    virtual uint32_t Read(void* buffer, uint32_t length, uint32_t* countOut,
                          ComOverlapped* overlapped, uint32_t timeoutMs);

    // "Open" means the port holds a device. Any thread.
    virtual bool IsOpen() const;
    uint32_t LastError() const { return m_lastError.load(); }

protected:
    std::atomic<uint32_t> m_lastError{0};

private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace tarvik
