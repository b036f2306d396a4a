// The port on a network line, against a small device server in the test on loopback: what
// crosses the connection for settings, purges and frames, what a dropped or silent server
// does to the port's calls, and how names lead to addresses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "scoped_config_home.h"
#include "serial/com_names.h"
#include "serial/com_port.h"
#include "serial/net_line.h"
#include "serial/telnet.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous bounds for a loaded machine: a wait ends at once when its event comes.
constexpr auto kEventBound = 10s;
constexpr uint32_t kReadTimeoutMs = 200;
constexpr uint32_t kQueue = 4096;

// A device server on 127.0.0.1 with one client at a time. In telnet mode it agrees to (or
// refuses) the COM-PORT-OPTION, answers settings (unless told to keep silent) and keeps the
// line's bytes it received, escapes undone; `onData` may answer them.
class FakeServer {
public:
    enum class Mode { kRaw, kRfc2217, kRefusesComPort, kSilentSettings, kHangsUp };

    explicit FakeServer(Mode mode) : m_mode(mode) {
        m_listener = testing::BindLoopback(kBacklog, m_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeServer() {
        m_stop = true;
        shutdown(m_listener, SHUT_RDWR);
        DropClient();
        m_thread.join();
        close(m_listener);
    }

    std::string Address(const char* scheme) const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port);
    }

    // Ends the connection now, as a server that stops.
    void DropClient() {
        std::lock_guard lock(m_mutex);
        if (m_client >= 0) {
            shutdown(m_client, SHUT_RDWR);
        }
    }
    void Send(const Bytes& bytes) {
        std::lock_guard lock(m_mutex);
        if (m_client >= 0) {
            send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
    }
    // Waits until the server has received `count` of the line's bytes.
    bool WaitForData(size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kEventBound, [&] { return m_data.size() >= count; });
    }
    bool WaitForConnections(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kEventBound, [&] { return m_connections >= count; });
    }
    Bytes Data() {
        std::lock_guard lock(m_mutex);
        return m_data;
    }
    std::vector<std::pair<uint8_t, Bytes>> Commands() {
        std::lock_guard lock(m_mutex);
        return m_commands;
    }
    int Connections() {
        std::lock_guard lock(m_mutex);
        return m_connections;
    }

    std::function<void(FakeServer&, const Bytes&)> onData;

private:
    void Serve() {
        while (!m_stop) {
            const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                return;
            }
            {
                std::lock_guard lock(m_mutex);
                m_client = client;
                ++m_connections;
                m_changed.notify_all();
            }
            ServeClient(client);
            std::lock_guard lock(m_mutex);
            m_client = -1;
            close(client);
        }
    }

    void ServeClient(int client) {
        if (m_mode == Mode::kHangsUp) {
            return;  // as a server whose port is busy: taken, then ended
        }
        enum class S { kData, kIac, kVerb, kSub, kSubIac } state = S::kData;
        uint8_t verb = 0;
        Bytes sub;
        uint8_t buffer[1024];
        for (;;) {
            const ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            Bytes data;
            Bytes reply;
            for (ssize_t i = 0; i < n; ++i) {
                const uint8_t b = buffer[i];
                if (m_mode == Mode::kRaw) {
                    data.push_back(b);
                    continue;
                }
                switch (state) {
                    case S::kData:
                        if (b == net::kIac) {
                            state = S::kIac;
                        } else {
                            data.push_back(b);
                        }
                        break;
                    case S::kIac:
                        if (b == net::kIac) {
                            data.push_back(b);
                            state = S::kData;
                        } else if (b == net::kSb) {
                            sub.clear();
                            state = S::kSub;
                        } else if (b >= net::kWill && b <= net::kDont) {
                            verb = b;
                            state = S::kVerb;
                        } else {
                            state = S::kData;
                        }
                        break;
                    case S::kVerb:
                        if (verb == net::kWill && b == net::kOptComPort) {
                            const bool refuse = m_mode == Mode::kRefusesComPort;
                            reply.insert(reply.end(), {net::kIac, refuse ? net::kDont : net::kDo,
                                                       net::kOptComPort});
                        }
                        state = S::kData;
                        break;
                    case S::kSub:
                        if (b == net::kIac) {
                            state = S::kSubIac;
                        } else {
                            sub.push_back(b);
                        }
                        break;
                    case S::kSubIac:
                        if (b == net::kSe && sub.size() >= 2 && sub[0] == net::kOptComPort) {
                            const Bytes value(sub.begin() + 2, sub.end());
                            {
                                std::lock_guard lock(m_mutex);
                                m_commands.emplace_back(sub[1], value);
                            }
                            if (m_mode != Mode::kSilentSettings) {
                                net::AppendComPortCommand(
                                    static_cast<uint8_t>(sub[1] + net::kCpServerOffset), value,
                                    reply);
                            }
                            state = S::kData;
                        } else if (b == net::kIac) {
                            sub.push_back(b);
                            state = S::kSub;
                        } else {
                            state = S::kData;
                        }
                        break;
                }
            }
            if (!reply.empty()) {
                send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            {
                std::lock_guard lock(m_mutex);
                m_data.insert(m_data.end(), data.begin(), data.end());
                m_changed.notify_all();
            }
            if (!data.empty() && onData) {
                onData(*this, data);
            }
        }
    }

    static constexpr int kBacklog = 4;

    Mode m_mode;
    std::mutex m_mutex;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::condition_variable m_changed;
    int m_client = -1;
    int m_connections = 0;
    Bytes m_data;
    std::vector<std::pair<uint8_t, Bytes>> m_commands;
};

// A loopback port nobody listens on: connecting is refused.
std::string UnusedPort() {
    return std::to_string(testing::FreePort());
}

// Reads until `count` bytes have come or the bound passes.
Bytes ReadBytes(CComPort& port, size_t count) {
    Bytes got;
    const auto until = Clock::now() + kEventBound;
    while (got.size() < count && Clock::now() < until) {
        uint8_t buffer[512];
        uint32_t n = 0;
        port.Read(buffer, sizeof buffer, &n, nullptr, kReadTimeoutMs);
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

class NetLinePort : public ::testing::Test {
protected:
    testing::ScopedConfigHome config;
};

TEST_F(NetLinePort, ConnectFailuresSayWhy) {
    struct Case {
        std::string name;
        uint32_t code;
    };
    FakeServer hangsUp(FakeServer::Mode::kHangsUp);
    const Case cases[] = {
        {hangsUp.Address("rfc2217"), kErrServerHungUp},
        {"rfc2217://127.0.0.1:" + UnusedPort(), kErrConnectRefused},
        {"socket://127.0.0.1:" + UnusedPort(), kErrConnectRefused},
        {"rfc2217://no-such-host.invalid:4001", kErrNameUnknown},
        {"socket://127.0.0.1:99999", kErrBadArgument},
        {"socket://::1:4001", kErrBadArgument},
    };
    for (const Case& c : cases) {
        CComPort port;
        EXPECT_EQ(port.Open(c.name.c_str(), kQueue, kQueue), c.code) << c.name;
        EXPECT_FALSE(port.IsOpen()) << c.name;
        EXPECT_EQ(port.LastError(), c.code) << c.name;
        // Not open: every call says so.
        uint32_t count = 1;
        EXPECT_EQ(port.Write("x", 1, &count, nullptr, kReadTimeoutMs), kErrInvalidHandle);
        EXPECT_EQ(port.Setup(9600, 8, kParityNone, kStopBitsOne), kErrInvalidHandle);
        EXPECT_EQ(port.GetBaudRate(), -1);
    }
    EXPECT_EQ(ComErrorText(kErrNameUnknown), "name unknown");
}

// The scan's settings cross the connection as COM-PORT-OPTION commands, each confirmed by
// the server before Setup returns; what it confirms is what the getters show.
TEST_F(NetLinePort, SettingsAreSentAndConfirmed) {
    FakeServer server(FakeServer::Mode::kRfc2217);
    CComPort port;
    ASSERT_EQ(port.Open(server.Address("rfc2217").c_str(), kQueue, kQueue), kErrSuccess);
    EXPECT_FALSE(port.RateFixed());
    // Opening applies 115200 8N1.
    EXPECT_EQ(port.GetBaudRate(), 115200);
    EXPECT_EQ(port.GetDataBits(), 8);
    EXPECT_EQ(port.Setup(9600, 7, kParityEven, kStopBitsTwo), kErrSuccess);
    EXPECT_EQ(port.GetBaudRate(), 9600);
    EXPECT_EQ(port.GetDataBits(), 7);
    EXPECT_EQ(port.GetParity(), kParityEven);
    EXPECT_EQ(port.GetStopBits(), kStopBitsTwo);
    // Only the rate changes: only the rate is sent.
    const size_t before = server.Commands().size();
    EXPECT_EQ(port.Setup(57600, 7, kParityEven, kStopBitsTwo), kErrSuccess);
    const auto commands = server.Commands();
    ASSERT_EQ(commands.size(), before + 1);
    EXPECT_EQ(commands.back().first, net::kCpSetBaudRate);
    EXPECT_EQ(commands.back().second, net::BaudRateValue(57600));
    // Out of range: refused without a word to the server, the settings stay.
    EXPECT_EQ(port.Setup(9600, 8, 255, kStopBitsOne), kErrBadArgument);
    EXPECT_EQ(port.GetBaudRate(), 57600);
    EXPECT_EQ(server.Commands().size(), before + 1);
}

TEST_F(NetLinePort, ServerSilentOnASettingEndsSetupWithTimeout) {
    FakeServer server(FakeServer::Mode::kSilentSettings);
    CComPort port;
    // The opening's own 115200 8N1 goes unconfirmed too: opening reports the last default.
    port.Open(server.Address("rfc2217").c_str(), kQueue, kQueue);
    ASSERT_TRUE(port.IsOpen());
    const auto start = Clock::now();
    EXPECT_EQ(port.Setup(9600, 8, kParityNone, kStopBitsOne), kErrTimeout);
    EXPECT_GE(Clock::now() - start, net::kAnswerLimit - 50ms);
}

// A server that refuses the settings, and a raw line: the rate is the server's.
TEST_F(NetLinePort, RateFixedLinesOnlyRememberTheSettings) {
    for (auto [mode, scheme] : {std::pair{FakeServer::Mode::kRefusesComPort, "rfc2217"},
                                std::pair{FakeServer::Mode::kRaw, "socket"}}) {
        FakeServer server(mode);
        CComPort port;
        ASSERT_EQ(port.Open(server.Address(scheme).c_str(), kQueue, kQueue), kErrSuccess) << scheme;
        EXPECT_TRUE(port.RateFixed()) << scheme;
        EXPECT_EQ(port.Setup(9600, 8, kParityNone, kStopBitsOne), kErrSuccess) << scheme;
        EXPECT_EQ(port.GetBaudRate(), 9600) << scheme;
        EXPECT_TRUE(server.Commands().empty()) << scheme;
        // A frame goes out as it is, with no purge command in front.
        const Bytes frame{0x01, 0xFF, 0x02};
        uint32_t written = 0;
        EXPECT_EQ(port.Write(frame.data(), 3, &written, nullptr, kReadTimeoutMs), kErrSuccess);
        EXPECT_EQ(written, 3u);
        ASSERT_TRUE(server.WaitForData(3)) << scheme;
        EXPECT_EQ(server.Data(), frame) << scheme;
    }
}

// A frame full of 0xFF crosses both ways unchanged; each Write asks the server to purge
// what its port received before the frame.
TEST_F(NetLinePort, FramesOf0xFFCrossUnchangedBothWays) {
    FakeServer server(FakeServer::Mode::kRfc2217);
    Bytes reply(200, 0xFF);
    reply[0] = 0x55;
    reply.back() = 'D';
    server.onData = [&](FakeServer& s, const Bytes&) {
        Bytes wire;
        net::AppendEscaped(reply.data(), reply.size(), wire);
        // In pieces that cut the escapes apart.
        for (size_t at = 0; at < wire.size(); at += 7) {
            s.Send(Bytes(wire.begin() + at, wire.begin() + std::min(wire.size(), at + 7)));
        }
    };
    CComPort port;
    ASSERT_EQ(port.Open(server.Address("rfc2217").c_str(), kQueue, kQueue), kErrSuccess);
    const size_t commandsBefore = server.Commands().size();
    const Bytes frame(140, 0xFF);
    uint32_t written = 0;
    ASSERT_EQ(port.Write(frame.data(), frame.size(), &written, nullptr, 1000), kErrSuccess);
    EXPECT_EQ(written, frame.size());
    EXPECT_EQ(ReadBytes(port, reply.size()), reply);
    ASSERT_TRUE(server.WaitForData(frame.size()));
    EXPECT_EQ(server.Data(), frame);
    const auto commands = server.Commands();
    ASSERT_EQ(commands.size(), commandsBefore + 1);
    EXPECT_EQ(commands.back(), std::make_pair(net::kCpPurgeData, Bytes{net::kCpPurgeReceive}));
}

// A connection that ends is a device that has gone: writes fail at once, a read with
// nothing waits out its time-out before it says so (a reader loop does not spin), and
// Close and a new Open work as after a pulled adapter.
TEST_F(NetLinePort, DroppedConnectionIsAGoneDevice) {
    FakeServer server(FakeServer::Mode::kRfc2217);
    CComPort port;
    const std::string address = server.Address("rfc2217");
    ASSERT_EQ(port.Open(address.c_str(), kQueue, kQueue), kErrSuccess);
    server.DropClient();
    uint8_t buffer[16];
    uint32_t count = 0;
    // The first read may still be waiting for the end to arrive; the next ones see it.
    port.Read(buffer, sizeof buffer, &count, nullptr, kReadTimeoutMs);
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count, nullptr, kReadTimeoutMs),
              kErrConnectionLost);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kReadTimeoutMs) - 20ms);
    EXPECT_EQ(count, 0u);
    uint32_t written = 1;
    EXPECT_EQ(port.Write("ab", 2, &written, nullptr, kReadTimeoutMs), kErrConnectionLost);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(port.Close(), kErrSuccess);
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(port.Open(address.c_str(), kQueue, kQueue), kErrSuccess);
    EXPECT_TRUE(server.WaitForConnections(2));
}

// Close on another thread ends a Read waiting for a reply; CancelRead and a Write's purge
// end it too, as on a serial port.
TEST_F(NetLinePort, WaitingReadEndsOnCloseCancelAndWrite) {
    FakeServer server(FakeServer::Mode::kRaw);
    enum class How { kClose, kCancel, kWrite };
    for (How how : {How::kClose, How::kCancel, How::kWrite}) {
        CComPort port;
        ASSERT_EQ(port.Open(server.Address("socket").c_str(), kQueue, kQueue), kErrSuccess);
        std::atomic<uint32_t> result{0};
        std::atomic<bool> ended{false};
        std::thread reader([&] {
            uint8_t buffer[16];
            uint32_t count = 0;
            result = port.Read(buffer, sizeof buffer, &count, nullptr, 60000);
            ended = true;
        });
        std::this_thread::sleep_for(50ms);
        uint32_t written = 0;
        switch (how) {
            case How::kClose:
                port.Close();
                break;
            case How::kCancel:
                port.CancelRead();
                break;
            case How::kWrite:
                port.Write("x", 1, &written, nullptr, 1000);
                break;
        }
        const auto until = Clock::now() + kEventBound;
        while (!ended && Clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(ended) << static_cast<int>(how);
        reader.join();
        EXPECT_EQ(result, kErrCancelled) << static_cast<int>(how);
        port.Close();
    }
}

// A COM name leads to the address its ports-folder entry holds; the port opens it.
TEST_F(NetLinePort, PortsFolderEntryHoldsAnAddress) {
    FakeServer server(FakeServer::Mode::kRfc2217);
    std::filesystem::create_directories(PortsFolder());
    std::ofstream(PortsFolder() + "/com50") << "  " << server.Address("rfc2217") << "\n";
    std::ofstream(PortsFolder() + "/com51") << "socket://[::1]:7000\nsecond line ignored\n";
    EXPECT_EQ(ResolveDeviceName("COM50"), server.Address("rfc2217"));
    EXPECT_EQ(ResolveDeviceName("\\\\.\\COM51"), "socket://[::1]:7000");
    EXPECT_EQ(EntryAddress(52), std::nullopt);
    // A plain file holding no address: the COM name leads to the file, which is no port.
    std::ofstream(PortsFolder() + "/com53") << "10.0.0.5:4001\n";
    EXPECT_EQ(EntryAddress(53), std::nullopt);
    EXPECT_EQ(ResolveDeviceName("COM53"), PortsFolder() + "/com53");
    CComPort port;
    ASSERT_EQ(port.Open("\\\\.\\COM50", kQueue, kQueue), kErrSuccess);
    EXPECT_FALSE(port.RateFixed());
    EXPECT_TRUE(server.WaitForConnections(1));
}

}  // namespace
}  // namespace tarvik
