// CComPort on Win32 against a Linux pseudo-terminal that Wine serves as a COM port. The far
// end is tarvik-pty-peer (pty_peer.cpp): it echoes what the port writes and obeys commands
// (ESC S: send bytes, ESC L: report the line settings, ESC H: hang up). TARVIK_PEER_COM
// names the port ("com9").
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/com_port.h"
#include "serial/read_issue_hook_win32.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Bound of every wait for something that must happen; generous for a loaded machine. The
// tests never assert that something was fast, only that a wait of kLongTimeoutMs did not
// have to run out.
constexpr auto kPatience = 20s;
constexpr uint32_t kReaderTimeoutMs = 100;  // the reply reader's wait
constexpr uint32_t kShortTimeoutMs = 2;     // shorter than the gaps the peer leaves
constexpr uint32_t kLongTimeoutMs = 60000;
constexpr uint32_t kQueueSize = 1024;
constexpr char kCommandStart = '\x1b';

std::string PeerCom() {
    const char* name = std::getenv("TARVIK_PEER_COM");
    return name != nullptr ? name : "";
}

// Opens the peer's port; after a hang-up the peer needs a moment for a fresh device.
uint32_t OpenPeer(CComPort& port) {
    const auto deadline = Clock::now() + kPatience;
    uint32_t result = kErrNoDevice;
    while (Clock::now() < deadline) {
        result = port.Open(("\\\\.\\" + PeerCom()).c_str(), kQueueSize, kQueueSize);
        if (result == kErrSuccess) {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    return result;
}

// Writes a command to the peer.
void Command(CComPort& port, const std::string& text) {
    const std::string line = kCommandStart + text + "\n";
    uint32_t count = 0;
    ASSERT_EQ(port.Write(line.data(), static_cast<uint32_t>(line.size()), &count, nullptr,
                         kLongTimeoutMs),
              kErrSuccess);
    ASSERT_EQ(count, line.size());
}

// Reads with the reader's time-out until `want` bytes came or kPatience passed.
Bytes ReadBytes(CComPort& port, size_t want, std::vector<uint32_t>* chunkSizes = nullptr) {
    Bytes all;
    const auto deadline = Clock::now() + kPatience;
    while (all.size() < want && Clock::now() < deadline) {
        uint8_t buffer[512];
        uint32_t count = 0;
        port.Read(buffer, sizeof buffer, &count, nullptr, kReaderTimeoutMs);
        all.insert(all.end(), buffer, buffer + count);
        if (count > 0 && chunkSizes != nullptr) {
            chunkSizes->push_back(count);
        }
    }
    return all;
}

std::string AsText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The line settings the far end sees, as "L<baud>,<data bits>,<parity>,<stop bits>".
std::string PeerLine(CComPort& port) {
    Command(port, "L");
    std::string text;
    const auto deadline = Clock::now() + kPatience;
    while ((text.empty() || text.back() != '\n') && Clock::now() < deadline) {
        text += AsText(ReadBytes(port, 1));
    }
    return text.empty() ? text : text.substr(0, text.size() - 1);
}

class PeerPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(PeerCom().empty()) << "run under tarvik-pty-peer (TARVIK_PEER_COM)";
        ASSERT_EQ(OpenPeer(port), kErrSuccess);
    }

    CComPort port;
};

TEST_F(PeerPortTest, OpenAppliesTheDefaultsToTheDevice) {
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetBaudRate(), 115200);
    EXPECT_EQ(port.GetDataBits(), 8);
    EXPECT_EQ(port.GetParity(), kParityNone);
    EXPECT_EQ(port.GetStopBits(), kStopBitsOne);
    EXPECT_EQ(port.GetHandshaking(), static_cast<int32_t>(kHandshakeOff));
    EXPECT_EQ(port.GetMask(), kDefaultEventMask);
    EXPECT_EQ(PeerLine(port), "L115200,8,0,0");
    // Open on an open port leaves it open and working.
    EXPECT_EQ(port.Open(("\\\\.\\" + PeerCom()).c_str(), kQueueSize, kQueueSize),
              kErrAlreadyInitialized);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(PeerLine(port), "L115200,8,0,0");
}

TEST_F(PeerPortTest, RatesOfTheBaudListReachTheDevice) {
    // The rates a pseudo-terminal keeps under Wine (those with a Linux constant); the others
    // are checked on the DCB the port builds (comm_records_test.cpp).
    for (uint32_t rate :
         {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 460800u, 921600u}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(port.Setup(rate, 8, kParityNone, kStopBitsOne), kErrSuccess);
        EXPECT_EQ(port.GetBaudRate(), static_cast<int32_t>(rate));
        EXPECT_EQ(PeerLine(port), "L" + std::to_string(rate) + ",8,0,0");
    }
}

TEST_F(PeerPortTest, RefusedSettingsKeepThePreviousOnes) {
    // A pseudo-terminal takes 8 data bits only: the driver refuses, the line stays as it was.
    ASSERT_EQ(port.Setup(9600, 8, kParityNone, kStopBitsOne), kErrSuccess);
    EXPECT_NE(port.Setup(9600, 7, kParityNone, kStopBitsOne), kErrSuccess);
    EXPECT_NE(port.LastError(), kErrSuccess);
    EXPECT_EQ(port.GetDataBits(), 8);
    EXPECT_EQ(PeerLine(port), "L9600,8,0,0");
    EXPECT_EQ(port.SetupHandshaking(3), kErrInvalidArg);
    EXPECT_EQ(port.SetupReadTimeouts(2, 0), kErrInvalidArg);
    EXPECT_EQ(port.GetHandshaking(), static_cast<int32_t>(kHandshakeOff));
}

TEST_F(PeerPortTest, WrittenBytesComeBackThroughTimedReads) {
    const std::string text = "h:any bytes E.";
    uint32_t count = 0;
    ASSERT_EQ(port.Write(text.data(), static_cast<uint32_t>(text.size()), &count, nullptr,
                         kLongTimeoutMs),
              kErrSuccess);
    EXPECT_EQ(count, text.size());
    EXPECT_EQ(AsText(ReadBytes(port, text.size())), text);

    ASSERT_EQ(port.WriteString("abc", &count, nullptr, kLongTimeoutMs), kErrSuccess);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(AsText(ReadBytes(port, 3)), "abc");
}

TEST_F(PeerPortTest, ReadOfASilentLineTimesOutWithNothing) {
    uint8_t buffer[512];
    uint32_t count = 99;
    const auto started = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count, nullptr, kReaderTimeoutMs), kErrTimeout);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port.LastError(), kErrTimeout);
    // Not earlier than asked (the device's own total, 1 + 512 ms, is longer).
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(kReaderTimeoutMs) - 10ms);
}

TEST_F(PeerPortTest, BytesArrivingAroundTimeOutsAreAllDeliveredInOrder) {
    // Short reads that keep running out while the peer sends, byte by byte: whatever a
    // cancelled read had taken in comes with a later one, nothing is lost or reordered.
    Command(port, "S50,26,3");
    Bytes got;
    const auto deadline = Clock::now() + kPatience;
    while (got.size() < 26 && Clock::now() < deadline) {
        uint8_t buffer[512];
        uint32_t count = 0;
        port.Read(buffer, sizeof buffer, &count, nullptr, kShortTimeoutMs);
        got.insert(got.end(), buffer, buffer + count);
    }
    EXPECT_EQ(AsText(got), "abcdefghijklmnopqrstuvwxyz");
}

TEST_F(PeerPortTest, ABurstWithGapsEndsReadsEarly) {
    // Bytes 30 ms apart: the 2 ms interval ends each read long before its time-out, so the
    // burst comes in more than one read.
    Command(port, "S0,6,30");
    std::vector<uint32_t> chunks;
    const Bytes got = ReadBytes(port, 6, &chunks);
    EXPECT_EQ(AsText(got), "abcdef");
    EXPECT_GT(chunks.size(), 1u);
}

TEST_F(PeerPortTest, ASendCutsAPendingReadShort) {
    std::promise<void> started;
    auto read = std::async(std::launch::async, [&] {
        uint8_t buffer[512];
        uint32_t count = 0;
        started.set_value();
        const uint32_t result = port.Read(buffer, sizeof buffer, &count, nullptr, kLongTimeoutMs);
        return std::make_pair(result, count);
    });
    started.get_future().wait();
    std::this_thread::sleep_for(200ms);  // let the read become pending
    uint32_t count = 0;
    ASSERT_EQ(port.Write("x", 1, &count, nullptr, kLongTimeoutMs), kErrSuccess);
    ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready) << "the read was not cut";
    const auto [result, got] = read.get();
    // Cut short before the echo came back, or (on a slow machine) ended with the echo.
    if (got == 0) {
        EXPECT_EQ(result, kErrCancelled);
    } else {
        EXPECT_EQ(result, kErrSuccess);
    }
}

// Holds the next Read between registering its transfer and issuing it, until let go.
struct ReadGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool held = false;
    bool open = false;

    static ReadGate& Instance() {
        static ReadGate gate;
        return gate;
    }
    static void Hook() {
        ReadGate& gate = Instance();
        std::unique_lock lock(gate.mutex);
        if (!std::exchange(gate.armed, false)) {
            return;
        }
        gate.held = true;
        gate.changed.notify_all();
        gate.changed.wait_for(lock, kPatience, [&] { return gate.open; });
    }
    void Arm() {
        std::lock_guard lock(mutex);
        armed = true;
        held = false;
        open = false;
    }
    bool WaitHeld() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return held; });
    }
    void LetGo() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

// A cancel that falls between a Read registering its transfer and issuing it still ends
// that Read: a CancelRead at once, and a Write's purge as it ends a read already waiting,
// rather than the read going on to its time-out or taking the new reply in as its own.
TEST_F(PeerPortTest, ACancelBeforeTheReadIsIssuedStillEndsIt) {
    constexpr uint32_t kReadTimeoutMs = 40000;  // longer than kPatience
    const struct {
        const char* name;
        std::function<void(CComPort&)> cancel;
    } cases[] = {
        {"CancelRead", [](CComPort& p) { EXPECT_EQ(p.CancelRead(), kErrSuccess); }},
        {"a Write's purge",
         [](CComPort& p) {
             uint32_t count = 0;
             EXPECT_EQ(p.Write("x", 1, &count, nullptr, kLongTimeoutMs), kErrSuccess);
         }},
    };
    serial::SetReadIssueHook(&ReadGate::Hook);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReadGate& gate = ReadGate::Instance();
        gate.Arm();
        auto read = std::async(std::launch::async, [&] {
            uint8_t buffer[512];
            uint32_t count = 0;
            const uint32_t result =
                port.Read(buffer, sizeof buffer, &count, nullptr, kReadTimeoutMs);
            return std::make_pair(result, count);
        });
        ASSERT_TRUE(gate.WaitHeld());
        c.cancel(port);
        gate.LetGo();
        ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready) << "the cancel was lost";
        const auto [result, count] = read.get();
        EXPECT_EQ(result, kErrCancelled);
        EXPECT_EQ(count, 0u) << "a reply to the later write is not this read's";
    }
    serial::SetReadIssueHook(nullptr);
    // The echo of the write comes with a later read, and reads go on as before.
    Bytes echo = ReadBytes(port, 1);
    EXPECT_EQ(AsText(echo), "x");
}

TEST_F(PeerPortTest, CloseFromTheOtherThreadEndsAPendingRead) {
    std::promise<void> started;
    auto read = std::async(std::launch::async, [&] {
        uint8_t buffer[512];
        uint32_t count = 0;
        started.set_value();
        return port.Read(buffer, sizeof buffer, &count, nullptr, kLongTimeoutMs);
    });
    started.get_future().wait();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(port.Close(), kErrSuccess);
    ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready) << "Close did not end it";
    EXPECT_EQ(read.get(), kErrCancelled);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Close(), kErrSuccess);
    // And the port opens again.
    EXPECT_EQ(OpenPeer(port), kErrSuccess);
}

TEST_F(PeerPortTest, VanishedDeviceFailsReadsWithoutSpinning) {
    Command(port, "H200");
    // Reads go on as the reply reader's do. Each must take its time-out once the device has
    // gone: reads that fail at once would run up thousands of calls.
    constexpr auto kWatch = 2s;
    const auto end = Clock::now() + kWatch;
    int reads = 0;
    uint32_t lastResult = kErrSuccess;
    while (Clock::now() < end) {
        uint8_t buffer[512];
        uint32_t count = 0;
        lastResult = port.Read(buffer, sizeof buffer, &count, nullptr, kReaderTimeoutMs);
        ++reads;
    }
    const int bound = static_cast<int>(kWatch / std::chrono::milliseconds(kReaderTimeoutMs)) + 5;
    EXPECT_LE(reads, bound);
    EXPECT_NE(lastResult, kErrSuccess);
    EXPECT_NE(lastResult, kErrTimeout);
    // A write to the vanished device fails as well, at once rather than after its time-out,
    // with a code that says the device has gone (the port's line thread stops on it).
    uint32_t count = 0;
    const uint32_t code = port.Write("x", 1, &count, nullptr, kLongTimeoutMs);
    EXPECT_NE(code, kErrSuccess);
    EXPECT_TRUE(IsDeviceGoneCode(code)) << code;
    EXPECT_EQ(port.Close(), kErrSuccess);
}

TEST(ClosedPort, EveryOperationButOpenAndCloseReportsNotOpen) {
    CComPort port;
    uint8_t buffer[4];
    uint32_t count = 7;
    EXPECT_EQ(port.Close(), kErrSuccess);
    EXPECT_EQ(port.Setup(9600, 8, 0, 0), kErrInvalidHandle);
    EXPECT_EQ(port.SetupHandshaking(0), kErrInvalidHandle);
    EXPECT_EQ(port.SetupReadTimeouts(1, 0), kErrInvalidHandle);
    EXPECT_EQ(port.SetMask(kDefaultEventMask), kErrInvalidHandle);
    EXPECT_EQ(port.SetEventChar('E', true), kErrInvalidHandle);
    EXPECT_EQ(port.WaitEvent(nullptr, 10), kErrInvalidHandle);
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count, nullptr, 10), kErrInvalidHandle);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port.Write(buffer, sizeof buffer, &count, nullptr, 10), kErrInvalidHandle);
    EXPECT_EQ(port.GetBaudRate(), -1);
    EXPECT_EQ(port.GetDataBits(), -1);
    EXPECT_EQ(port.GetParity(), -1);
    EXPECT_EQ(port.GetStopBits(), -1);
    EXPECT_EQ(port.GetHandshaking(), -1);
    EXPECT_EQ(port.GetMask(), 0u);
    EXPECT_EQ(port.GetEventChar(), 0);
    EXPECT_EQ(port.LastError(), kErrInvalidHandle);
}

TEST(ClosedPort, OpenOfAMissingPortReportsTheSystemsCode) {
    CComPort port;
    for (const char* name : {"COM250", "\\\\.\\COM251", "no-such-device"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(port.Open(name, kQueueSize, kQueueSize), kErrNoDevice);
        EXPECT_FALSE(port.IsOpen());
    }
    EXPECT_EQ(port.Open(nullptr, kQueueSize, kQueueSize), kErrBadArgument);
}

}  // namespace
}  // namespace tarvik
