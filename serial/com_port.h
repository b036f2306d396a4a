// CComPort: the tool's only access to the serial line.
//
// Interface summary
//   Open/Close            open a device by COM name (\\.\COMn) or by plain path, exclusively
//   Setup                 baud, data bits, parity code, stop-bits code (read-modify-write)
//   SetupHandshaking      flow-control presets 0 off, 1 hardware, 2 software
//   SetupReadTimeouts     read time-out presets 0 non-blocking, 1 timed
//   Read/Write/WriteString blocking transfers bounded by the caller's time-out (ms)
//   ExpectBurst           how long a burst a reader expects, so a Read wakes once per burst
//   CancelRead            ends a Read blocked on another thread, nothing discarded
//   SetMask/GetMask/WaitEvent/SetEventChar/GetEventChar  communications events
//   Get*                  read the device's current settings back
//
// Every operation returns an error code and records it (LastError): 0 success, 6 port not
// open, 1247 already open, 1460 the caller's time-out ran out, 0x80070057 unsupported mode,
// anything else the platform's code of the failing call (errno on Linux: ENOENT missing
// device, EWOULDBLOCK a port another open holds, EINVAL a line setting out of range, EIO a
// vanished device, ECANCELED a transfer ended early by a Write's purge or by Close; the
// Win32 error code on Windows). The codes callers tell apart have names below (kErrCancelled,
// kErrNoDevice, ...) with each platform's value.
//
// Line settings and flow control live only in the device: every setting operation reads
// the device's termios2, changes its own fields and writes it back, and the getters read
// the device. The read time-out mode, the event mask and the event character have no
// device counterpart on Linux and live in the object.
//
// Threads: one thread may Read (and WaitEvent) while another Writes, Setups and reads the
// settings; Close may come from either thread and is safe against every other operation:
// it wakes a Read, Write, WaitEvent or Setup blocked on the other thread, waits until that
// call has left the device (promptly, it is woken) and only then closes the descriptor.
// IsOpen and LastError from any thread. Two concurrent Reads are not supported.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tarvik {

namespace net {
class NetLine;
}
namespace serial {
struct Outcome;
}

inline constexpr uint32_t kErrSuccess = 0;
inline constexpr uint32_t kErrInvalidHandle = 6;          // the port is not open
inline constexpr uint32_t kErrAlreadyInitialized = 1247;  // Open on an open port
inline constexpr uint32_t kErrTimeout = 1460;             // the caller's wait ran out
inline constexpr uint32_t kErrInvalidArg = 0x80070057;    // unsupported preset mode

// The platform's codes that callers tell apart, named once with each platform's value.
#if defined(_WIN32)
inline constexpr uint32_t kErrCancelled = 995;   // ERROR_OPERATION_ABORTED: cut short
inline constexpr uint32_t kErrNoDevice = 2;      // ERROR_FILE_NOT_FOUND: no such port
inline constexpr uint32_t kErrAccessDenied = 5;  // ERROR_ACCESS_DENIED: also a port in use
inline constexpr uint32_t kErrPortBusy = 5;      // Windows reports a held port as denied
inline constexpr uint32_t kErrPortLocked = 32;   // ERROR_SHARING_VIOLATION
inline constexpr uint32_t kErrBadArgument = 87;  // ERROR_INVALID_PARAMETER
// A network line (rfc2217:// or socket://): why it did not connect, and its connection
// ending, which is a device that has gone.
inline constexpr uint32_t kErrConnectRefused = 10061;   // WSAECONNREFUSED
inline constexpr uint32_t kErrUnreachable = 10065;      // WSAEHOSTUNREACH
inline constexpr uint32_t kErrNetUnreachable = 10051;   // WSAENETUNREACH
inline constexpr uint32_t kErrConnectTimedOut = 10060;  // WSAETIMEDOUT
inline constexpr uint32_t kErrNameUnknown = 11001;      // WSAHOST_NOT_FOUND
inline constexpr uint32_t kErrConnectionLost = 10054;   // WSAECONNRESET
inline constexpr uint32_t kErrServerHungUp = 10054;     // WSAECONNRESET
#else
inline constexpr uint32_t kErrCancelled = ECANCELED;   // a Write's purge, CancelRead or Close
inline constexpr uint32_t kErrNoDevice = ENOENT;       // no such device
inline constexpr uint32_t kErrAccessDenied = EACCES;   // not in the dialout group
inline constexpr uint32_t kErrPortBusy = EWOULDBLOCK;  // another program holds the port
inline constexpr uint32_t kErrPortLocked = EBUSY;      // ... and has made it exclusive
inline constexpr uint32_t kErrBadArgument = EINVAL;    // a null name or buffer
inline constexpr uint32_t kErrConnectRefused = ECONNREFUSED;
inline constexpr uint32_t kErrUnreachable = EHOSTUNREACH;
inline constexpr uint32_t kErrNetUnreachable = ENETUNREACH;
inline constexpr uint32_t kErrConnectTimedOut = ETIMEDOUT;
inline constexpr uint32_t kErrNameUnknown = 11001;   // beyond every errno: the resolver's own
inline constexpr uint32_t kErrConnectionLost = EIO;  // as a vanished device
// The server ended the connection while it was being opened (its port busy or missing).
inline constexpr uint32_t kErrServerHungUp = ECONNRESET;
#endif

// The operator's text for an error code of the port (the platform's own message), without a
// trailing newline; empty for 0.
std::string ComErrorText(uint32_t code);
// Whether a failed Write's code means the device itself has gone (pulled, powered off, its
// handle dead), so that nothing more can go out until the port is opened again. A time-out,
// a write cut short on purpose, or an argument the port refused is no such failure.
bool IsDeviceGoneCode(uint32_t code);

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

// Timing of the read time-out mode 1 (and the write limit it sets).
// A read ends kBurstGap after the last byte of a burst, or kReadTotalConstant +
// kReadTotalPerByte x the requested length after the read began (counted from the call, not
// from the first byte), whichever comes first, with what it has (possibly nothing, code 0).
inline constexpr std::chrono::milliseconds kBurstGap{2};
inline constexpr std::chrono::milliseconds kReadTotalConstant{1};
inline constexpr std::chrono::milliseconds kReadTotalPerByte{1};
// A write ends after this long in total whatever its length, code 0 and the bytes so far.
inline constexpr std::chrono::milliseconds kWriteTotalTimed{300};

// A caller-supplied record of a transfer. A transfer always ends (completes, fails or times
// out) within the call; the record then also receives `count` and `error`, and `event` is
// signalled on completion, so a caller written for asynchronous completion finds it already
// complete. `event` is an eventfd or a pipe's write end on Linux, an event handle on Windows
// (handles fit in 32 bits), or -1 for none.
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
    // mode 1, no flow control. Where the driver has one, its low-latency flag is set while
    // the port is open (Close gives it back as found). Queue sizes go to the Windows driver;
    // Linux keeps its own. The name is UTF-8. Returns the result of the last default; a
    // non-zero result always leaves the port closed, so the caller may simply try again.
    // A network address (rfc2217://HOST:PORT, socket://HOST:PORT; see net_line.h), given
    // directly or held by the COM name's ports-folder entry, opens a network line instead,
    // within net::kConnectLimit; why it did not connect is one of kErrConnectRefused,
    // kErrUnreachable, kErrNetUnreachable, kErrConnectTimedOut, kErrNameUnknown.
    // Call before a reader thread exists.
    virtual uint32_t Open(const char* deviceName, uint32_t inQueueSize, uint32_t outQueueSize);
    virtual uint32_t Close();
    // Applied once the bytes already written have left the line, never under them. The
    // wait for them is a write's: Close ends it (kErrCancelled), and a line that has not
    // sent them within kWriteTotalTimed (held by flow control) ends it with 1460, nothing
    // changed.
    virtual uint32_t Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits);
    virtual uint32_t SetEventChar(uint8_t eventChar, bool addRxFlagEvent);
    virtual uint32_t SetMask(uint32_t mask);
    // Waits up to the time-out (ms) for received data (kEvRxChar, when the mask holds it):
    // 0 when data is ready, 1460 when none came. Break and line-error events are not
    // reported on Linux. A vanished device waits out the time-out and reports the error.
    virtual uint32_t WaitEvent(ComOverlapped* overlapped, uint32_t timeoutMs);
    virtual uint32_t SetupHandshaking(uint32_t mode);
    virtual uint32_t SetupReadTimeouts(uint32_t mode, uint32_t ignored);
    virtual int32_t GetBaudRate();
    virtual int32_t GetDataBits();
    virtual int32_t GetParity();
    // 0 one stop bit; with CSTOPB set: 1 (one and a half) at 5 data bits, else 2.
    virtual int32_t GetStopBits();
    virtual int32_t GetHandshaking();
    virtual uint32_t GetMask();
    virtual uint8_t GetEventChar();
    virtual uint32_t WriteString(const char* text, uint32_t* countOut, ComOverlapped* overlapped,
                                 uint32_t timeoutMs);
    // Purges both directions (input not yet read, including bytes a timed-out Read kept;
    // output not yet sent) and ends a Read blocked on another thread, then writes. Ends when
    // all bytes have left the line, not merely been queued (0), when the caller's time-out
    // runs out first (1460, count 0) or when mode 1's kWriteTotalTimed runs out first (0,
    // count = bytes that have left so far).
    virtual uint32_t Write(const void* bytes, uint32_t length, uint32_t* countOut,
                           ComOverlapped* overlapped, uint32_t timeoutMs);
    // Mode 0 returns at once with what has arrived. Mode 1 ends as kBurstGap says; if the
    // caller's time-out runs out first it returns 1460 with a count of 0, and the bytes it
    // had taken in are kept and come first from the next Read. On Linux, bytes that came
    // while it waited are never reported as silence: then it returns them (code 0). A Write's
    // purge, CancelRead or Close on another thread ends it early: count = the bytes it had,
    // code 0 if any, else kErrCancelled. On a vanished device (hang-up, EIO) a Read that has
    // no bytes waits out the caller's time-out and then reports the error, so a reader loop
    // does not spin.
    // The first Read on a thread makes that thread's timers as exact as the system allows:
    // the end of a burst is a 2 ms wait, and the system's default slack (50 us) would be
    // added to every reply.
    virtual uint32_t Read(void* buffer, uint32_t length, uint32_t* countOut,
                          ComOverlapped* overlapped, uint32_t timeoutMs);

    // The length in bytes of the bursts the reading thread expects (for example the length
    // of the last reply it gathered); 0, the default after Open, expects nothing. It only
    // changes how often a timed Read (mode 1) looks at the line, never what it returns for
    // a burst of that length: once the first bytes of a burst have come, the Read does not
    // wake for each further byte but waits out the line time of the bytes still expected
    // (at the line's rate and framing) and the burst gap, then takes what has come. Exactly
    // the expected bytes: the read ends there, as it would kBurstGap after its last byte
    // (bytes that came later than the line's rate, from a driver that hands them on in
    // batches, end it that much sooner after the last of them). The rest is waited out only
    // where that ends within the caller's time-out, else the read goes on byte by byte from
    // the first bytes. Any other count: it goes on byte by byte from that moment, so a burst
    // of another length ends at most its own line time plus kBurstGap late, never early, and
    // a burst that follows within that time joins it. A line whose bytes last kBurstGap or
    // longer ends a read on every byte, as before: there the expectation changes nothing.
    // Any thread; applies to Reads that begin afterwards. A twin whose driver itself ends a
    // read on the gap and wakes its caller once may take this as a hint and do nothing.
    virtual uint32_t ExpectBurst(uint32_t bytes);
    // Any thread: ends the Read in progress on another thread at once, or, if none is in
    // progress, the next Read, which then returns at once. It returns the bytes it had
    // (code 0), or none with kErrCancelled. Unlike a Write, nothing received is discarded: bytes
    // still on their way come with the next Read. A reader asked to stop uses it so that the
    // port closes at once instead of after the reader's read time-out.
    virtual uint32_t CancelRead();

    // "Open" means the port holds a device. Any thread.
    virtual bool IsOpen() const;
    uint32_t LastError() const { return m_lastError.load(); }

    // The line is a network line whose rate is the server's (socket://, or an rfc2217://
    // server that refused the settings): Setup is remembered, not applied, and a baud scan
    // searches at the server's rate only. Any thread.
    bool RateFixed() const;

protected:
    std::atomic<uint32_t> m_lastError{0};

private:
    // The line settings, presets and event mask every Open starts with, each set through the
    // port's own operation; a failure closes the device again. Returns the last result.
    uint32_t ApplyOpenDefaults();

    // The settings the getters read, each -1 until read.
    struct LineState {
        int32_t baudRate = -1;
        int32_t dataBits = -1;
        int32_t parity = -1;
        int32_t stopBits = -1;
        int32_t handshaking = -1;
    };
    // One field of the settings in force, the read's result recorded; -1 when they cannot be
    // read.
    int32_t GetSetting(int32_t LineState::*field);

    // The device's side of each operation, one per desktop platform (com_port.cpp,
    // com_port_read.cpp and com_port_write.cpp on Linux, com_port_win32.cpp on Windows).
    // com_port_desktop.cpp hands each operation to the network line or to these and records
    // the result; each returns the operation's code.
    uint32_t DeviceOpen(const std::string& path, uint32_t inQueueSize, uint32_t outQueueSize);
    void DeviceClose();
    bool DeviceIsOpen() const;
    uint32_t DeviceSetup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits);
    uint32_t DeviceSetEventChar(uint8_t eventChar, bool addRxFlagEvent);
    uint32_t DeviceSetMask(uint32_t mask);
    uint32_t DeviceSetupHandshaking(uint32_t mode);
    uint32_t DeviceSetupReadTimeouts(uint32_t mode);
    uint32_t DeviceLineState(LineState& state);
    uint32_t DeviceGetMask(uint32_t& mask);
    uint32_t DeviceGetEventChar(uint8_t& eventChar);
    // Transfers, from `start` (when the call came) for the caller's `timeout`.
    serial::Outcome DeviceRead(uint8_t* bytes, uint32_t length,
                               std::chrono::steady_clock::time_point start,
                               std::chrono::milliseconds timeout);
    serial::Outcome DeviceWrite(const uint8_t* bytes, uint32_t length,
                                std::chrono::steady_clock::time_point start,
                                std::chrono::milliseconds timeout);
    serial::Outcome DeviceWaitEvent(std::chrono::steady_clock::time_point start,
                                    std::chrono::milliseconds timeout);
    uint32_t DeviceExpectBurst(uint32_t bytes);
    uint32_t DeviceCancelRead();

    // A network line in place of a device (net_line.h), from an Open of its address on until
    // an Open of anything else: every operation goes to it then. com_port_net.cpp.
    net::NetLine* Net() const { return m_onNet.load() ? m_net.get() : nullptr; }
    // Opens `name` as a network line when it is (or its ports-folder entry holds) a network
    // address; otherwise nothing, and the device path is the platform's to open.
    std::optional<uint32_t> OpenNet(const char* name);
    uint32_t NetClose();
    uint32_t NetSetup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits);
    uint32_t NetSetEventChar(uint8_t eventChar, bool addRxFlagEvent);
    uint32_t NetSetMask(uint32_t mask);
    uint32_t NetWaitEvent(ComOverlapped* overlapped, uint32_t timeoutMs);
    uint32_t NetSetupHandshaking(uint32_t mode);
    uint32_t NetSetupReadTimeouts(uint32_t mode);
    uint32_t NetLineState(LineState& state);
    uint32_t NetGetMask();
    uint8_t NetGetEventChar();
    uint32_t NetWrite(const void* bytes, uint32_t length, uint32_t* countOut,
                      ComOverlapped* overlapped);
    uint32_t NetRead(void* buffer, uint32_t length, uint32_t* countOut, ComOverlapped* overlapped,
                     uint32_t timeoutMs);
    uint32_t NetExpectBurst();
    uint32_t NetCancelRead();
    // The settings a network line keeps itself (no device to hold them); under m_netMutex.
    struct NetPresets {
        uint32_t readMode = kReadTimed;
        uint32_t handshaking = kHandshakeOff;
        uint32_t commMask = 0;
        uint8_t eventChar = 0;
    };
    struct NetLineDeleter {
        void operator()(net::NetLine* line) const;
    };
    std::unique_ptr<net::NetLine, NetLineDeleter> m_net;
    std::atomic<bool> m_onNet{false};
    mutable std::mutex m_netMutex;
    NetPresets m_netPresets;

    struct Impl;
    Impl* m_impl;
};

}  // namespace tarvik
