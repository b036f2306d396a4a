#include "serial/net_line.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

#include "serial/com_port.h"

namespace tarvik::net {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kRfc2217Scheme = "rfc2217://";
constexpr std::string_view kRawScheme = "socket://";
constexpr unsigned long kMaxTcpPort = 65535;
constexpr size_t kMaxPortDigits = 5;
// How long past its own limit a connection attempt may take to report (its connect ends at
// the limit; only a name lookup runs on).
constexpr milliseconds kConnectGrace{200};
// Setting answers kept for a Setup waiting on them (it asks at most four settings at once).
constexpr size_t kAnswersKept = 16;
// Bytes taken from the connection per receive.
constexpr size_t kReceiveChunk = 4096;

// The port's setting limits, as a serial port's own checks have them.
constexpr uint8_t kMinDataBits = 5;
constexpr uint8_t kMaxDataBits = 8;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The port's parity and stop-bits codes on the wire, and back.
uint8_t WireParity(uint8_t parity) {
    return static_cast<uint8_t>(parity + kCpParityNone);
}
uint8_t WireStopBits(uint8_t stopBits) {
    switch (stopBits) {
        case kStopBitsOneHalf:
            return kCpStopOneHalf;
        case kStopBitsTwo:
            return kCpStopTwo;
        default:
            return kCpStopOne;
    }
}
uint8_t PortStopBits(uint8_t wire) {
    switch (wire) {
        case kCpStopOneHalf:
            return kStopBitsOneHalf;
        case kCpStopTwo:
            return kStopBitsTwo;
        default:
            return kStopBitsOne;
    }
}

// A connection attempt on a thread of its own, so that a name lookup, which the system does
// not bound, cannot hold the caller beyond the limit either: past it, the caller goes on
// with "timed out", and the attempt closes whatever it still gets.
Connected ConnectWithin(const NetAddress& address, milliseconds limit) {
    struct Attempt {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        Connected result;
    };
    auto attempt = std::make_shared<Attempt>();
    try {
        std::thread([attempt, host = address.host, port = address.port, limit] {
            const Connected connected = Connect(host, port, limit);
            std::lock_guard lock(attempt->mutex);
            if (attempt->abandoned) {
                if (connected.socket != kNoSocket) {
                    CloseSocket(connected.socket);
                }
                return;
            }
            attempt->result = connected;
            attempt->finished = true;
            attempt->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return Connect(address.host, address.port, limit);  // no thread to spare: wait here
    }
    std::unique_lock lock(attempt->mutex);
    if (!attempt->done.wait_for(lock, limit + kConnectGrace, [&] { return attempt->finished; })) {
        attempt->abandoned = true;
        return {kNoSocket, kErrConnectTimedOut};
    }
    return attempt->result;
}

}  // namespace

bool IsNetworkName(const std::string& name) {
    return StartsWithNoCase(name, kRfc2217Scheme) || StartsWithNoCase(name, kRawScheme);
}

std::optional<NetAddress> ParseNetAddress(const std::string& name) {
    NetAddress address;
    std::string_view rest = name;
    if (StartsWithNoCase(rest, kRfc2217Scheme)) {
        address.kind = NetKind::kRfc2217;
        rest.remove_prefix(kRfc2217Scheme.size());
    } else if (StartsWithNoCase(rest, kRawScheme)) {
        address.kind = NetKind::kRaw;
        rest.remove_prefix(kRawScheme.size());
    } else {
        return std::nullopt;
    }
    std::string_view host;
    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (!rest.starts_with(':')) {
            return std::nullopt;
        }
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        host = rest.substr(0, colon);
        rest.remove_prefix(colon);
        // An IPv6 address goes in brackets: otherwise its colons are taken for the port's.
        if (host.find(':') != std::string_view::npos) {
            return std::nullopt;
        }
    }
    rest.remove_prefix(1);  // the colon
    if (host.empty() || rest.empty() || rest.size() > kMaxPortDigits) {
        return std::nullopt;
    }
    for (char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u) || std::iscntrl(u) || c == '/' || c == '[' || c == ']' || c == '@') {
            return std::nullopt;
        }
    }
    unsigned long port = 0;
    for (char c : rest) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (port == 0 || port > kMaxTcpPort) {
        return std::nullopt;
    }
    address.host = std::string(host);
    address.port = std::to_string(port);
    return address;
}

NetLine::~NetLine() {
    Close();
}

template <typename Predicate>
bool NetLine::WaitFor(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                      Predicate done) {
    return m_changed.wait_until(lock, deadline, [&] { return done() || m_closing; }) && !m_closing;
}

uint32_t NetLine::SendLocked(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(m_sendMutex);
    return SendAll(m_socket, bytes.data(), bytes.size());
}

uint32_t NetLine::SendOutsideLock(std::unique_lock<std::mutex>& lock,
                                  const std::vector<uint8_t>& bytes) {
    ++m_inFlight;
    lock.unlock();
    const uint32_t sent = SendLocked(bytes);
    lock.lock();
    --m_inFlight;
    m_changed.notify_all();
    if (sent == 0) {
        return kErrSuccess;
    }
    if (m_closing) {
        return kErrCancelled;
    }
    m_lost = kErrConnectionLost;
    return m_lost;
}

uint32_t NetLine::Open(const NetAddress& address) {
    {
        std::lock_guard lock(m_mutex);
        if (m_socket != kNoSocket) {
            return kErrAlreadyInitialized;
        }
    }
    const Connected connected = ConnectWithin(address, kConnectLimit);
    if (connected.code != 0) {
        return connected.code;
    }
    {
        std::lock_guard lock(m_mutex);
        m_kind = address.kind;
        m_socket = connected.socket;
        m_closing = false;
        m_inFlight = 0;
        m_lost = 0;
        m_comPort =
            address.kind == NetKind::kRfc2217 ? ComPortState::kAsked : ComPortState::kRefused;
        m_received.clear();
        m_purges = 0;
        m_cancelPending = false;
        m_answers.clear();
        m_settings = NetSettings{};
    }
    try {
        m_receiver = std::thread([this] { ReceiveLoop(); });
    } catch (const std::system_error& e) {
        std::lock_guard lock(m_mutex);
        CloseSocket(m_socket);
        m_socket = kNoSocket;
        return static_cast<uint32_t>(e.code().value());
    }
    m_open = true;
    if (address.kind == NetKind::kRfc2217) {
        const uint32_t sent = SendLocked(TelnetParser::Greeting());
        std::unique_lock lock(m_mutex);
        if (sent == 0) {
            WaitFor(lock, Clock::now() + kAnswerLimit,
                    [this] { return m_comPort != ComPortState::kAsked || m_lost != 0; });
        }
        // A server that says nothing on the option cannot be trusted with the settings.
        if (m_comPort == ComPortState::kAsked) {
            m_comPort = ComPortState::kRefused;
        }
        // A server that takes the connection and ends it at once has no port to offer (busy,
        // or its device missing): said as such, not as a device that went away.
        const uint32_t failed = sent != 0 || m_lost != 0 ? kErrServerHungUp : kErrSuccess;
        if (failed != 0) {
            lock.unlock();
            Close();
            return failed;
        }
    }
    return kErrSuccess;
}

void NetLine::ReceiveLoop() {
    SocketHandle socket = kNoSocket;
    NetKind kind = NetKind::kRaw;
    {
        std::lock_guard lock(m_mutex);
        socket = m_socket;
        kind = m_kind;
    }
    TelnetParser parser;
    std::vector<uint8_t> chunk(kReceiveChunk);
    for (;;) {
        uint32_t code = 0;
        const long n = Receive(socket, chunk.data(), chunk.size(), code);
        if (n < 0 && code == kReceiveIdle) {
            std::lock_guard lock(m_mutex);
            if (m_closing) {
                return;
            }
            continue;
        }
        if (n <= 0) {
            std::lock_guard lock(m_mutex);
            if (!m_closing) {
                m_lost = kErrConnectionLost;
            }
            m_changed.notify_all();
            return;
        }
        TelnetInput input;
        if (kind == NetKind::kRfc2217) {
            parser.Feed(chunk.data(), static_cast<size_t>(n), input);
        } else {
            input.data.assign(chunk.begin(), chunk.begin() + n);
        }
        {
            std::lock_guard lock(m_mutex);
            const size_t room = kReceiveKeep - std::min(kReceiveKeep, m_received.size());
            const size_t kept = std::min(room, input.data.size());
            m_received.insert(m_received.end(), input.data.begin(), input.data.begin() + kept);
            for (ComPortAnswer& answer : input.answers) {
                // Nothing waits for the answer to a purge; and only the latest answers can
                // be those a Setup waits for: the rest would only pile up.
                if (answer.command == kCpPurgeData) {
                    continue;
                }
                if (m_answers.size() >= kAnswersKept) {
                    m_answers.erase(m_answers.begin());
                }
                m_answers.push_back(std::move(answer));
            }
            if (kind == NetKind::kRfc2217 && parser.ComPort() != ComPortState::kAsked) {
                m_comPort = parser.ComPort();
            }
            m_changed.notify_all();
        }
        if (!input.reply.empty()) {
            // A failed answer shows as a failed receive next.
            SendLocked(input.reply);
        }
    }
}

uint32_t NetLine::Close() {
    std::unique_lock lock(m_mutex);
    if (m_socket == kNoSocket) {
        return kErrSuccess;
    }
    if (m_closing) {
        // Another thread is closing: the line is closed once it is done.
        m_changed.wait(lock, [this] { return m_socket == kNoSocket; });
        return kErrSuccess;
    }
    m_closing = true;
    Shutdown(m_socket);
    m_changed.notify_all();
    // Calls on other threads have been woken and leave promptly; never close a socket
    // another thread is still using.
    m_changed.wait(lock, [this] { return m_inFlight == 0; });
    lock.unlock();
    if (m_receiver.joinable()) {
        m_receiver.join();
    }
    lock.lock();
    CloseSocket(m_socket);
    m_socket = kNoSocket;
    m_received.clear();
    m_answers.clear();
    m_closing = false;
    m_open = false;
    m_changed.notify_all();
    return kErrSuccess;
}

bool NetLine::RateFixed() const {
    std::lock_guard lock(m_mutex);
    return m_comPort != ComPortState::kAgreed;
}

NetSettings NetLine::Settings() const {
    std::lock_guard lock(m_mutex);
    return m_settings;
}

uint32_t NetLine::Setup(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    if (baudRate == 0 || dataBits < kMinDataBits || dataBits > kMaxDataBits ||
        parity > kParitySpace || stopBits > kStopBitsTwo) {
        std::lock_guard lock(m_mutex);
        return m_socket == kNoSocket || m_closing ? kErrInvalidHandle : kErrBadArgument;
    }
    std::unique_lock lock(m_mutex);
    if (m_socket == kNoSocket || m_closing) {
        return kErrInvalidHandle;
    }
    if (m_lost != 0) {
        return m_lost;
    }
    const NetSettings wanted{baudRate, dataBits, parity, stopBits};
    if (m_comPort != ComPortState::kAgreed) {
        m_settings = wanted;  // the server's rate stays; the getters show what was asked
        return kErrSuccess;
    }
    std::vector<uint8_t> commands;
    std::vector<uint8_t> asked;
    auto ask = [&](uint8_t command, const std::vector<uint8_t>& value) {
        AppendComPortCommand(command, value, commands);
        asked.push_back(command);
    };
    if (wanted.baudRate != m_settings.baudRate) {
        ask(kCpSetBaudRate, BaudRateValue(baudRate));
    }
    if (wanted.dataBits != m_settings.dataBits) {
        ask(kCpSetDataSize, {dataBits});
    }
    if (wanted.parity != m_settings.parity || m_settings.baudRate == 0) {
        ask(kCpSetParity, {WireParity(parity)});
    }
    if (wanted.stopBits != m_settings.stopBits || m_settings.baudRate == 0) {
        ask(kCpSetStopSize, {WireStopBits(stopBits)});
    }
    if (asked.empty()) {
        return kErrSuccess;
    }
    m_answers.clear();
    if (const uint32_t code = SendOutsideLock(lock, commands)) {
        return code;
    }
    // Every setting is in force once the server has confirmed it; the next frame may only
    // go out then, or its first bytes would cross the line at the old rate.
    auto answered = [&] {
        return std::all_of(asked.begin(), asked.end(), [&](uint8_t command) {
            return std::any_of(m_answers.begin(), m_answers.end(),
                               [&](const ComPortAnswer& a) { return a.command == command; });
        });
    };
    const bool confirmed =
        WaitFor(lock, Clock::now() + kAnswerLimit, [&] { return answered() || m_lost != 0; });
    if (m_closing) {
        return kErrCancelled;
    }
    if (m_lost != 0) {
        return m_lost;
    }
    // The server reports what is now in force, which is what the getters show.
    for (const ComPortAnswer& a : m_answers) {
        if (a.value.empty()) {
            continue;
        }
        switch (a.command) {
            case kCpSetBaudRate:
                if (const uint32_t rate = BaudRateOf(a.value); rate != 0) {
                    m_settings.baudRate = rate;
                }
                break;
            case kCpSetDataSize:
                m_settings.dataBits = a.value[0];
                break;
            case kCpSetParity:
                if (a.value[0] >= kCpParityNone && a.value[0] <= kCpParitySpace) {
                    m_settings.parity = static_cast<uint8_t>(a.value[0] - kCpParityNone);
                }
                break;
            case kCpSetStopSize:
                m_settings.stopBits = PortStopBits(a.value[0]);
                break;
            default:
                break;
        }
    }
    m_answers.clear();
    return confirmed ? kErrSuccess : kErrTimeout;
}

uint32_t NetLine::Write(const uint8_t* bytes, uint32_t length, uint32_t& count) {
    count = 0;
    std::unique_lock lock(m_mutex);
    if (m_socket == kNoSocket || m_closing) {
        return kErrInvalidHandle;
    }
    if (m_lost != 0) {
        return m_lost;
    }
    // The purge: what came before this frame is no answer to it.
    m_received.clear();
    ++m_purges;
    m_changed.notify_all();
    std::vector<uint8_t> wire;
    if (m_kind == NetKind::kRfc2217) {
        if (m_comPort == ComPortState::kAgreed) {
            AppendComPortCommand(kCpPurgeData, {kCpPurgeReceive}, wire);
        }
        AppendEscaped(bytes, length, wire);
    } else {
        wire.assign(bytes, bytes + length);
    }
    // The purge and the frame in one send: the frame is one segment on the network.
    if (const uint32_t code = SendOutsideLock(lock, wire)) {
        return code;
    }
    count = length;
    return kErrSuccess;
}

uint32_t NetLine::Read(uint8_t* buffer, uint32_t length, uint32_t& count, milliseconds timeout,
                       uint32_t readMode) {
    count = 0;
    const auto start = Clock::now();
    const auto callerDeadline = start + timeout;
    const auto totalDeadline = start + kReadTotalConstant + kReadTotalPerByte * length;
    std::unique_lock lock(m_mutex);
    if (m_socket == kNoSocket || m_closing) {
        return kErrInvalidHandle;
    }
    if (std::exchange(m_cancelPending, false)) {
        return kErrCancelled;
    }
    const uint64_t purges = m_purges;
    uint32_t got = 0;
    ++m_inFlight;
    uint32_t result = kErrSuccess;
    for (;;) {
        while (got < length && !m_received.empty()) {
            buffer[got++] = m_received.front();
            m_received.pop_front();
        }
        if (got == length || readMode == kReadNonBlocking) {
            if (got == 0 && readMode == kReadNonBlocking && m_lost != 0) {
                // A line that has gone still costs the time-out, or a reader polling in
                // this mode would spin on it.
                WaitFor(lock, callerDeadline,
                        [&] { return m_purges != purges || m_cancelPending; });
                m_cancelPending = false;
                result = m_lost;
            }
            break;
        }
        const auto lastByte = Clock::now();
        // Once bytes have come, the burst's own gap ends the read, whatever the caller's
        // time-out: a reply arriving is no silence.
        const auto deadline =
            got > 0 ? std::min(lastByte + kBurstGap, totalDeadline) : callerDeadline;
        const bool woken = WaitFor(lock, deadline, [&] {
            return !m_received.empty() || m_purges != purges || m_cancelPending || m_lost != 0;
        });
        if (m_closing || m_purges != purges || m_cancelPending) {
            m_cancelPending = false;
            result = got > 0 ? kErrSuccess : kErrCancelled;
            break;
        }
        if (!m_received.empty()) {
            continue;
        }
        if (m_lost != 0 && got == 0) {
            // The connection has ended: the caller's time-out is waited out first.
            WaitFor(lock, callerDeadline, [&] { return m_purges != purges || m_cancelPending; });
            const bool cut = m_closing || m_purges != purges || m_cancelPending;
            m_cancelPending = false;
            result = cut ? kErrCancelled : m_lost;
            break;
        }
        if (!woken || m_lost != 0) {
            // Time: the burst has ended, or nothing came within the caller's time-out.
            result = got > 0 ? kErrSuccess : kErrTimeout;
            break;
        }
    }
    count = got;
    --m_inFlight;
    m_changed.notify_all();
    return result;
}

uint32_t NetLine::CancelRead() {
    std::lock_guard lock(m_mutex);
    if (m_socket == kNoSocket || m_closing) {
        return kErrInvalidHandle;
    }
    m_cancelPending = true;
    m_changed.notify_all();
    return kErrSuccess;
}

uint32_t NetLine::WaitForBytes(milliseconds timeout, bool reportBytes) {
    std::unique_lock lock(m_mutex);
    if (m_socket == kNoSocket || m_closing) {
        return kErrInvalidHandle;
    }
    ++m_inFlight;
    const bool ready =
        WaitFor(lock, Clock::now() + timeout, [&] { return reportBytes && !m_received.empty(); });
    --m_inFlight;
    m_changed.notify_all();
    if (ready) {
        return kErrSuccess;
    }
    return m_closing ? kErrCancelled : (m_lost != 0 ? m_lost : kErrTimeout);
}

}  // namespace tarvik::net
