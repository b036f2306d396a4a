// A line behind a device server, reached over TCP:
//   rfc2217://HOST:PORT  telnet with the COM-PORT-OPTION: the line settings are the server's
//                        serial port's, set through it, and purges reach its buffers;
//   socket://HOST:PORT   the bytes only: the line's settings are whatever the server's are.
// HOST is a name, an IPv4 address or an IPv6 address in brackets.
//
// The line keeps the port's contract (com_port.h) so the port can stand on it: the same
// codes, the same read modes and cancellations, the same safety against Close from either
// thread. What differs: a write ends when the connection has taken its bytes (the server
// sends them on), and a connection that ends is a device that has gone (kErrConnectionLost:
// writes fail at once, a read with nothing to return waits out its time-out first, so a
// reader loop does not spin).
//
// One thread of its own per open line receives: it answers the server's negotiation,
// reports setting answers and keeps the line's bytes until a Read takes them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serial/net_socket.h"
#include "serial/telnet.h"

namespace tarvik::net {

// Connecting gives up after this long: refused and unreachable servers answer sooner.
inline constexpr std::chrono::milliseconds kConnectLimit{3000};
// How long a setting waits for the server to confirm it, and an opening for the server
// to agree to (or refuse) the COM-PORT-OPTION.
inline constexpr std::chrono::milliseconds kAnswerLimit{1000};
// Bytes received and not yet read that the line keeps; more are dropped, as a serial
// driver's full buffer drops them.
inline constexpr size_t kReceiveKeep = 65536;

enum class NetKind { kRfc2217, kRaw };

struct NetAddress {
    NetKind kind = NetKind::kRaw;
    std::string host;  // without the brackets of an IPv6 address
    std::string port;  // decimal, 1-65535
};

// Whether `name` is written as a network address (it has one of the two schemes), valid
// or not.
bool IsNetworkName(const std::string& name);
// The address `name` gives, or nothing if it is not a valid one.
std::optional<NetAddress> ParseNetAddress(const std::string& name);

// The line settings in force, as the port's getters report them.
struct NetSettings {
    uint32_t baudRate = 0;
    uint8_t dataBits = 0;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
};

class NetLine {
public:
    using Clock = std::chrono::steady_clock;

    NetLine() = default;
    ~NetLine();
    NetLine(const NetLine&) = delete;
    NetLine& operator=(const NetLine&) = delete;

    // Connects (within kConnectLimit), starts receiving, and on an rfc2217 line waits up to
    // kAnswerLimit for the server's word on the COM-PORT-OPTION. 0 or the code.
    uint32_t Open(const NetAddress& address);
    uint32_t Close();
    bool IsOpen() const { return m_open.load(); }

    // On an rfc2217 line whose server agreed: each setting that differs from the one in
    // force is sent, and the call returns once the server has confirmed them (1460 when it
    // does not within kAnswerLimit). Otherwise the settings are only remembered: the
    // line's rate is the server's.
    uint32_t Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits);
    // The line's rate cannot be set from here (a raw line, or a server that refused).
    bool RateFixed() const;
    NetSettings Settings() const;

    // Discards what was received and not yet read (and asks an rfc2217 server to discard
    // what its port received), ends a Read blocked on another thread, then sends the bytes
    // in one piece.
    uint32_t Write(const uint8_t* bytes, uint32_t length, uint32_t& count);
    // The port's read modes (kReadNonBlocking, kReadTimed with its burst gap).
    uint32_t Read(uint8_t* buffer, uint32_t length, uint32_t& count,
                  std::chrono::milliseconds timeout, uint32_t readMode);
    uint32_t CancelRead();
    // 0 as soon as bytes wait to be read (when `reportBytes`), 1460 when none came within
    // the time-out (without `reportBytes`, the time-out is waited out).
    uint32_t WaitForBytes(std::chrono::milliseconds timeout, bool reportBytes);

private:
    // The receiving thread of one connection.
    void ReceiveLoop();
    // Waits under `lock` until `done` or `deadline`, or the session closes or is lost.
    template <typename Predicate>
    bool WaitFor(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Predicate done);
    uint32_t SendLocked(const std::vector<uint8_t>& bytes);
    // Under `lock`: sends `bytes` with the lock let go meanwhile (a Close waits for it); 0, or
    // kErrCancelled when the session was being closed, else the connection counts as lost.
    uint32_t SendOutsideLock(std::unique_lock<std::mutex>& lock, const std::vector<uint8_t>& bytes);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<bool> m_open{false};

    // Under m_mutex.
    NetKind m_kind = NetKind::kRaw;
    SocketHandle m_socket = kNoSocket;
    bool m_closing = false;
    int m_inFlight = 0;   // calls using the socket outside the lock
    uint32_t m_lost = 0;  // the code of a connection that ended, else 0
    ComPortState m_comPort = ComPortState::kAsked;
    std::deque<uint8_t> m_received;
    uint64_t m_purges = 0;
    bool m_cancelPending = false;
    std::vector<ComPortAnswer> m_answers;
    NetSettings m_settings;

    std::mutex m_sendMutex;  // one sender at a time: frames and negotiation never interleave
    std::thread m_receiver;
};

}  // namespace tarvik::net
