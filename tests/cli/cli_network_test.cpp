// tarvik-cli on network lines: boards (tarvik-sim) behind a real device server (ser2net,
// started and ended here with a configuration in the test's folder, on loopback ports of
// its own), reached as rfc2217:// and socket:// addresses and through COM names.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli_fixture.h"
#include "ser2net_process.h"
#include "sim_process.h"

namespace tarvik::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A relay in front of a loopback port that holds every piece of the stream `delay` in
// each direction, as a long network path does. One client.
class DelayingRelay {
public:
    DelayingRelay(int target, std::chrono::milliseconds delay) : m_target(target), m_delay(delay) {
        m_listener = BindLoopback(1, m_port);  // one client
        m_accept = std::thread([this] { Run(); });
    }
    ~DelayingRelay() {
        shutdown(m_listener, SHUT_RDWR);
        m_accept.join();
        close(m_listener);
    }
    int port() const { return m_port; }

private:
    struct Piece {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };
    struct Direction {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<Piece> pieces;
        bool ended = false;
    };

    void Pump(int from, int to, Direction& d) {
        std::thread sender([&] {
            for (;;) {
                std::unique_lock lock(d.mutex);
                d.cv.wait(lock, [&] { return d.ended || !d.pieces.empty(); });
                if (d.pieces.empty()) {
                    shutdown(to, SHUT_WR);
                    return;
                }
                Piece piece = std::move(d.pieces.front());
                d.pieces.pop_front();
                lock.unlock();
                std::this_thread::sleep_until(piece.due);
                send(to, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL);
            }
        });
        uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = recv(from, buffer, sizeof buffer, 0);
            std::lock_guard lock(d.mutex);
            if (n <= 0) {
                d.ended = true;
                d.cv.notify_all();
                break;
            }
            d.pieces.push_back({Clock::now() + m_delay, {buffer, buffer + n}});
            d.cv.notify_all();
        }
        sender.join();
    }

    void Run() {
        const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        const int server = ConnectLoopback(m_target);
        if (server >= 0) {
            Direction up;
            Direction down;
            std::thread upstream([&] { Pump(client, server, up); });
            Pump(server, client, down);
            shutdown(client, SHUT_RDWR);
            upstream.join();
            close(server);
        }
        close(client);
    }

    int m_target;
    std::chrono::milliseconds m_delay;
    int m_listener = -1;
    int m_port = 0;
    std::thread m_accept;
};

class CliNetwork : public CliTest {
protected:
    // An image with long runs of 0xFF (the telnet escape) and "IO-" at offset 1.
    std::string WriteFfImage(uint32_t length) {
        std::vector<uint8_t> bytes(length, 0xFF);
        bytes[1] = 'I';
        bytes[2] = 'O';
        bytes[3] = '-';
        for (uint32_t i = 64; i < length; i += 97) {
            bytes[i] = static_cast<uint8_t>(i);
        }
        const std::string path = Path("ff.bin");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
};

// Whole upgrades through the server: found by the scan at 9600 (the rate changes cross the
// network), through a COM name whose ports-folder entry holds the address, over a raw line
// at the server's rate, with lost replies, and over a slow path. The board receives the
// image exactly, every 0xFF of it.
TEST_F(CliNetwork, UpgradesThroughTheServerAreExact) {
    struct Case {
        const char* what;
        bool rfc2217;
        std::vector<std::string> simArgs;
        bool viaComName = false;
        bool slowPath = false;
    };
    const Case cases[] = {
        {"rfc2217, board at 9600 found by the scan", true, {"--baud", "9600"}},
        {"rfc2217 through COM50", true, {}, true},
        {"raw line at the server's rate", false, {}},
        {"rfc2217 with lost replies", true, {"--drop", "27@3", "--drop", "25@1"}},
        {"rfc2217 over a path of 20 ms each way", true, {}, false, true},
    };
    ASSERT_EQ(access(kSer2Net, X_OK), 0) << "ser2net is not installed (scripts/setup.sh)";
    const std::string image = WriteFfImage(2000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = Path("received.bin");
        std::remove(out.c_str());
        std::vector<std::string> simArgs = {"--out", out};
        simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
        SimProcess sim(simArgs);
        const int port = FreePort();
        Ser2Net server(Path(""), {{c.rfc2217, sim.slavePath(), port}});
        std::string why;
        ASSERT_TRUE(server.Start(&why)) << why;
        std::optional<DelayingRelay> relay;
        if (c.slowPath) {
            relay.emplace(port, 20ms);
        }
        const std::string address = std::string(c.rfc2217 ? "rfc2217" : "socket") +
                                    "://127.0.0.1:" + std::to_string(relay ? relay->port() : port);
        std::string name = address;
        if (c.viaComName) {
            std::filesystem::create_directories(ConfigFolder() + "/tarvik-ports");
            std::ofstream(ConfigFolder() + "/tarvik-ports/com50") << address << "\n";
            name = "COM50";
        }
        const ChildResult r = Cli({"upgrade", "--port", name, "--image", image});
        EXPECT_EQ(r.exitCode, kExitOk) << r.out << r.err;
        EXPECT_NE(LastLine(r.out).find(kSucceeded), std::string::npos) << r.out;
        if (!c.rfc2217) {
            // Said once: the scan cannot change a raw line's rate.
            EXPECT_NE(r.err.find("the server's rate"), std::string::npos) << r.err;
        }
        sim.stop();
        EXPECT_EQ(ReadFile(out), Received(ReadFile(image)));
    }
}

// No server, and a name that does not resolve: the port does not open (exit 3), and the
// message names the address and why.
TEST_F(CliNetwork, UnreachableServersEndWithCode3AndSayWhy) {
    const std::string image = WriteFfImage(1000);
    struct Case {
        std::string address;
        const char* reason;
    };
    const Case cases[] = {
        {"rfc2217://127.0.0.1:" + std::to_string(FreePort()), "refused"},
        {"socket://no-such-host.invalid:4001", "name unknown"},
    };
    for (const Case& c : cases) {
        const ChildResult r = Cli({"upgrade", "--port", c.address, "--image", image});
        EXPECT_EQ(r.exitCode, kExitPortFailed) << r.out << r.err;
        EXPECT_NE(r.err.find(c.address), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
}

// The server is switched off in the middle of a transfer and on again: that board fails
// cleanly, the station connects again once the server is back and takes the next board.
TEST_F(CliNetwork, StationReconnectsWhenTheServerComesBack) {
    ASSERT_EQ(access(kSer2Net, X_OK), 0) << "ser2net is not installed (scripts/setup.sh)";
    const std::string image = WriteFfImage(16000);
    const std::string log = Path("boards.csv");
    SimProcess sim({"--out", Path("received-%d.bin"), "--boards", "2"});
    const int port = FreePort();
    Ser2Net server(Path(""), {{true, sim.slavePath(), port}});
    std::string why;
    ASSERT_TRUE(server.Start(&why)) << why;
    const std::string address = "rfc2217://127.0.0.1:" + std::to_string(port);
    ChildProcess cli(
        CliExecutable(),
        {"upgrade", "--repeat", "--count", "2", "--port", address, "--image", image, "--log", log},
        Options());
    ASSERT_TRUE(cli.waitForOutput("%", kChildTimeout)) << cli.out() << cli.err();
    server.Stop();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(server.Start(&why)) << why;
    const std::optional<int> code = cli.wait(kChildTimeout);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, kExitFailed) << cli.out() << cli.err();
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(",failed,"), std::string::npos) << text;
    EXPECT_NE(text.find(",ok,"), std::string::npos) << text;
    sim.stop();
    // The board whose transfer the server cut was asked again from the start: it holds the
    // image exactly.
    EXPECT_EQ(ReadFile(Path("received-1.bin")), Received(ReadFile(image)));
}

}  // namespace
}  // namespace tarvik::testing
