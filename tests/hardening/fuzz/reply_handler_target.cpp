// The reply handler in every upgrade state. The input's first byte picks the image, the
// second the state the engine is first driven into (with a good board's replies); the rest
// is a program of operations:
//
//   op % 8 == 0  raw reply: a length byte, then that many bytes, handed over as they are
//             1  well-formed reply: a step byte and 16 payload bytes, with a correct checksum
//             2  block acknowledgement: the engine's block counter plus a signed byte
//             3  checksum reply: the expected sum plus a byte (0: the right sum)
//             4  timer tick: id = byte % 5, only for an armed timer (or an id that is none)
//             5  Stop
//             6  the port closes, or opens again
//             7  Start, when the Start button is enabled
//
// Rules checked after every step: each frame on the line is well formed, a block carries
// exactly the image's bytes for its number (fill at the end), a finish command is issued only
// after the board's sum matched, success only follows such a finish, the upgrade state stays
// within its ranges, and an idle engine runs no timer.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "serial/com_port.h"
#include "upgrade/driver.h"
#include "upgrade/engine.h"
#include "upgrade/frames.h"

namespace tarvik::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kBlock = 128;
constexpr uint8_t kFill = 0xFF;
constexpr size_t kCommandOffset = 2;
constexpr size_t kStepOffset = 3;
constexpr size_t kPayloadOffset = 4;
constexpr size_t kPayloadSize = 16;
constexpr size_t kChecksumBack = 3;  // the checksum byte's distance from the end
constexpr size_t kBlockDataOffset = 6;
constexpr uint32_t kCapacity = 64 * 1024;
constexpr size_t kMostOperations = 4096;
constexpr uint8_t kTimerIds = 5;  // 0 and 4 are no timer of the engine's
// Image lengths: one block, a whole number of blocks, a part block, several blocks.
constexpr std::array<uint32_t, 4> kImageLengths = {100, 256, 300, 1000};

enum PreludeKind : uint8_t {
    kScanning,
    kFastResend,
    kHandshake,
    kSending,
    kFinalSent,
    kVerifying,
    kFinishing,
    kStalled,
    kIdleAfterSuccess,
    kIdleAfterStop,
    kClosedInTransfer,
    kPreludes
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    uint8_t Byte() { return Empty() ? 0 : m_data[m_pos++]; }
    Bytes Take(size_t count) {
        const size_t n = std::min(count, m_size - m_pos);
        Bytes out(m_data + m_pos, m_data + m_pos + n);
        m_pos += n;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Image files written once for the whole run of the fuzzer and removed at its end.
struct Images {
    Images() {
        std::string pattern = "/tmp/tarvik-fuzz-images-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        folder = pattern;
        for (uint32_t length : kImageLengths) {
            Bytes image(length);
            for (uint32_t i = 0; i < length; ++i) {
                image[i] = static_cast<uint8_t>(i * 7 + i / kBlock);
            }
            image[1] = 'I';  // the marker the image check looks for
            image[2] = 'O';
            image[3] = '-';
            const std::string path = folder + "/" + std::to_string(length) + ".bin";
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(image.data()), image.size());
            bytes.push_back(std::move(image));
            paths.push_back(path);
        }
    }
    ~Images() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string folder;
    std::vector<Bytes> bytes;
    std::vector<std::string> paths;
};

const Images& TheImages() {
    static const Images images;
    return images;
}

uint8_t Sum8(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum;
}

// What the board must end up with for `image`, worked out here on its own.
uint32_t ExpectedBoardSum(const Bytes& image) {
    uint32_t sum = 0;
    for (uint8_t b : image) {
        sum += b;
    }
    return sum + kFill * static_cast<uint32_t>(kBlock - image.size() % kBlock);
}

Bytes BlockBytes(const Bytes& image, uint32_t n) {
    Bytes block(kBlock, kFill);
    const size_t from = static_cast<size_t>(n) * kBlock;
    const size_t count = std::min(kBlock, image.size() - std::min(image.size(), from));
    std::copy(image.begin() + from, image.begin() + from + count, block.begin());
    return block;
}

Bytes Reply(uint8_t step, const Bytes& payload) {
    Bytes r(kCmdFrameSize, 0);
    r[0] = 'h';
    r[1] = ':';
    r[kCommandOffset] = 'W';
    r[kStepOffset] = step;
    std::copy_n(payload.begin(), std::min(payload.size(), kPayloadSize),
                r.begin() + kPayloadOffset);
    r[kCmdFrameSize - kChecksumBack] = Sum8(r.data(), kCmdFrameSize - kChecksumBack);
    r[kCmdFrameSize - 2] = 'E';
    r[kCmdFrameSize - 1] = 'D';
    return r;
}

Bytes LittleEndian(uint32_t value, size_t bytes) {
    Bytes out(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return out;
}

class Harness;

class FuzzPort : public CComPort {
public:
    explicit FuzzPort(Harness& harness) : m_harness(harness) {}
    uint32_t Setup(uint32_t, uint8_t, uint8_t, uint8_t) override { return open ? 0 : 6; }
    uint32_t Write(const void* bytes, uint32_t length, uint32_t* countOut, ComOverlapped*,
                   uint32_t) override;
    uint32_t Read(void*, uint32_t, uint32_t* countOut, ComOverlapped*, uint32_t) override {
        *countOut = 0;
        return kErrTimeout;
    }
    uint32_t Close() override {
        open = false;
        return 0;
    }
    bool IsOpen() const override { return open; }
    bool open = true;

private:
    Harness& m_harness;
};

class FuzzDriver : public IUpgradeDriver {
public:
    explicit FuzzDriver(Harness& harness) : port(harness) {}
    void ArmTimer(int id, std::chrono::milliseconds period) override {
        TARVIK_FUZZ_CHECK(id == kResendTimer || id == kScanTimer || id == kFastResendTimer,
                          "a timer the engine does not have");
        TARVIK_FUZZ_CHECK(period.count() > 0, "a timer without a period");
        timers.insert(id);
    }
    void StopTimer(int id) override { timers.erase(id); }
    void SetInfoText(const std::string& text) override { info = text; }
    void SetStatusText(const std::string& text) override { status = text; }
    void SetProgressRange(uint32_t, uint32_t) override {}
    void SetProgressPos(uint32_t) override {}
    void EnableStart(bool enabled) override { startEnabled = enabled; }
    bool IsStartEnabled() const override { return startEnabled; }
    void ShowMessage(const std::string&) override {}
    LineSelections Selections() const override { return {}; }
    void Wait(std::chrono::milliseconds) override {}
    CComPort& Port() override { return port; }

    FuzzPort port;
    std::set<int> timers;
    std::string info;
    std::string status;
    bool startEnabled = true;
};

class Harness {
public:
    Harness() : m_driver(*this), m_engine(m_driver, m_firmware.data(), kCapacity) {}

    void Run(Input& in) {
        const uint8_t imageChoice = in.Byte();
        const uint8_t prelude = in.Byte();
        Start(imageChoice);
        Prelude(static_cast<PreludeKind>(prelude % kPreludes));
        for (size_t i = 0; i < kMostOperations && !in.Empty(); ++i) {
            Operation(in);
        }
    }

    void OnWrite(const uint8_t* bytes, uint32_t length) {
        TARVIK_FUZZ_CHECK(m_driver.port.open, "a write while the port is closed");
        TARVIK_FUZZ_CHECK(length == kCmdFrameSize || length == kDataFrameSize, "frame length");
        TARVIK_FUZZ_CHECK(bytes[0] == 'h' && bytes[1] == ':', "frame head");
        TARVIK_FUZZ_CHECK(bytes[length - 2] == 'E' && bytes[length - 1] == '.', "frame trailer");
        TARVIK_FUZZ_CHECK(bytes[length - kChecksumBack] == Sum8(bytes, length - kChecksumBack),
                          "frame checksum");
        const uint8_t step = bytes[kStepOffset];
        if (length == kDataFrameSize) {
            const Bytes& image = Image();
            const uint32_t total = static_cast<uint32_t>(image.size() / kBlock + 1);
            const uint32_t n = bytes[kPayloadOffset] | (bytes[kPayloadOffset + 1] << 8);
            m_verified = false;
            if (m_reply && (*m_reply)[kStepOffset] == kStepBeginTransfer) {
                m_transferBegun = true;
            }
            if (!m_transferBegun) {
                // An acknowledgement before this upgrade's begin-transfer answer moves on
                // with the block counter and block count the previous upgrade left: those
                // blocks belong to no image of this one (the sum check then fails it).
                return;
            }
            TARVIK_FUZZ_CHECK(n < total, "a block beyond the image");
            TARVIK_FUZZ_CHECK(step == (n + 1 == total ? kStepFinalBlock : kStepDataBlock),
                              "a block's step byte");
            TARVIK_FUZZ_CHECK(Bytes(bytes + kBlockDataOffset, bytes + kBlockDataOffset + kBlock) ==
                                  BlockBytes(image, n),
                              "a block's data");
            return;
        }
        const Bytes payload(bytes + kPayloadOffset, bytes + kPayloadOffset + kPayloadSize);
        switch (step) {
            case kStepEnterUpgrade:
            case kStepBeginTransfer:
                TARVIK_FUZZ_CHECK(payload == Bytes(kPayloadSize, 0), "a command's payload");
                m_verified = false;
                break;
            case kStepChecksum:
                TARVIK_FUZZ_CHECK(bytes[kCommandOffset] == 'R', "the checksum request");
                break;
            case kStepFinish: {
                const bool sumMatched = m_reply && IsRightSum(*m_reply);
                TARVIK_FUZZ_CHECK(sumMatched || m_verified,
                                  "a finish command without the board's sum matching");
                m_verified = true;
                break;
            }
            default:
                TARVIK_FUZZ_CHECK(false, "a command the tool never sends");
        }
    }

private:
    const Bytes& Image() const { return TheImages().bytes[m_image]; }

    uint8_t RememberedStep() const { return m_engine.State().rememberedFrame[kStepOffset]; }
    bool IsRightSum(const Bytes& reply) const {
        return reply.size() == kCmdFrameSize && reply[kStepOffset] == kStepChecksum &&
               ReplySumOf(reply) == ExpectedBoardSum(Image());
    }

    static uint32_t ReplySumOf(const Bytes& reply) {
        uint32_t sum = 0;
        for (size_t i = 0; i < 4; ++i) {
            sum |= static_cast<uint32_t>(reply[kPayloadOffset + i]) << (8 * i);
        }
        return sum;
    }

    void Start(uint8_t choice) {
        if (!m_driver.IsStartEnabled()) {
            return;  // the button is disabled
        }
        const size_t index = choice % kImageLengths.size();
        const std::string& path = TheImages().paths[index];
        const StartResult result = m_engine.Start(path, path.substr(path.rfind('/') + 1));
        if (result == StartResult::Started) {
            m_image = index;
            m_transferBegun = false;
        }
        Check();
    }

    void Deliver(const Bytes& bytes) {
        m_reply = bytes;
        const UpgradeOutcome before = m_engine.Outcome();
        m_engine.OnFrameReceived(bytes.data(), static_cast<uint32_t>(bytes.size()));
        // The finish command is issued (on the line, or skipped while the port is closed)
        // in answer to the board's matching sum.
        if (IsRightSum(bytes) && RememberedStep() == kStepFinish) {
            m_verified = true;
        }
        const bool succeededNow =
            m_engine.Outcome() == UpgradeOutcome::Succeeded && before != UpgradeOutcome::Succeeded;
        m_reply.reset();
        Check();
        if (succeededNow) {
            TARVIK_FUZZ_CHECK(bytes.size() == kCmdFrameSize && bytes[kStepOffset] == kStepFinish,
                              "success without the board's finish answer");
            TARVIK_FUZZ_CHECK(m_verified, "success without a verified finish command");
        }
    }

    void Good(uint8_t step, const Bytes& payload = {}) { Deliver(Reply(step, payload)); }
    void Ack(int32_t delta) {
        const uint32_t number = m_engine.State().blockCounter + static_cast<uint32_t>(delta);
        Good(kStepDataBlock, LittleEndian(number, 2));
    }
    void Sum(uint32_t delta) {
        Good(kStepChecksum, LittleEndian(ExpectedBoardSum(Image()) + delta, 4));
    }
    void Tick(int id) {
        m_engine.OnTimer(id);
        Check();
    }

    void Prelude(PreludeKind prelude) {
        const uint32_t total = static_cast<uint32_t>(Image().size() / kBlock + 1);
        switch (prelude) {
            case kScanning:
            case kPreludes:
                return;
            case kFastResend:
                for (size_t i = 0; i < kSearchSteps * kSearchPasses; ++i) {
                    Tick(kScanTimer);
                }
                return;
            case kIdleAfterStop:
                m_engine.OnStop();
                return;
            default:
                break;
        }
        Good(kStepEnterUpgrade);
        if (prelude == kHandshake) {
            return;
        }
        Good(kStepBeginTransfer);
        if (prelude == kSending) {
            return;
        }
        if (prelude == kStalled) {
            Ack(1);
            return;
        }
        if (prelude == kClosedInTransfer) {
            m_driver.port.open = false;
            m_engine.OnPortClosed();
            return;
        }
        for (uint32_t i = 0; i < total && m_engine.State().blockCounter < total; ++i) {
            Ack(0);
        }
        if (prelude == kFinalSent) {
            return;
        }
        Good(kStepFinalBlock);
        if (prelude == kVerifying) {
            return;
        }
        Sum(0);
        if (prelude == kFinishing) {
            return;
        }
        Good(kStepFinish);
    }

    void Operation(Input& in) {
        switch (in.Byte() % 8) {
            case 0: {
                const uint8_t length = in.Byte();
                Deliver(in.Take(length));
                break;
            }
            case 1: {
                const uint8_t step = in.Byte();
                Good(step, in.Take(kPayloadSize));
                break;
            }
            case 2:
                Ack(static_cast<int8_t>(in.Byte()));
                break;
            case 3:
                Sum(in.Byte());
                break;
            case 4: {
                const int id = in.Byte() % kTimerIds;
                const bool engineTimer =
                    id == kResendTimer || id == kScanTimer || id == kFastResendTimer;
                if (!engineTimer || m_driver.timers.count(id) != 0) {
                    Tick(id);  // a driver ticks only armed timers
                }
                break;
            }
            case 5:
                m_engine.OnStop();
                Check();
                break;
            case 6:
                if (m_driver.port.open) {
                    m_driver.port.open = false;
                    m_engine.OnPortClosed();
                } else {
                    m_driver.port.open = true;
                }
                Check();
                break;
            case 7:
                Start(in.Byte());
                break;
        }
    }

    void Check() {
        const UpgradeState& s = m_engine.State();
        if (RememberedStep() != kStepFinish) {
            m_verified = false;  // whatever was verified, a later frame has replaced it
        }
        TARVIK_FUZZ_CHECK(
            s.rememberedLength == kCmdFrameSize || s.rememberedLength == kDataFrameSize,
            "remembered length");
        TARVIK_FUZZ_CHECK(s.resendCount <= kResendsBeforeFailure, "resend count");
        TARVIK_FUZZ_CHECK(s.searchIndex <= kSearchSteps, "search index");
        TARVIK_FUZZ_CHECK(s.passCount < kSearchPasses, "pass count");
        TARVIK_FUZZ_CHECK(s.blockCounter <= s.totalBlocks || s.totalBlocks == 0,
                          "block counter beyond the image");
        if (m_driver.IsStartEnabled()) {
            TARVIK_FUZZ_CHECK(m_driver.timers.empty(), "a timer runs with no upgrade running");
            TARVIK_FUZZ_CHECK(m_engine.Phase() == UpgradePhase::Idle, "idle button, busy engine");
        }
    }

    std::array<uint8_t, kCapacity> m_firmware{};
    FuzzDriver m_driver;
    CUpgradeEngine m_engine;
    size_t m_image = 0;
    std::optional<Bytes> m_reply;  // the reply being handled
    bool m_verified = false;       // the finish command was issued after the sums matched
    bool m_transferBegun = false;  // this upgrade's begin-transfer was answered
};

uint32_t FuzzPort::Write(const void* bytes, uint32_t length, uint32_t* countOut, ComOverlapped*,
                         uint32_t) {
    m_harness.OnWrite(static_cast<const uint8_t*>(bytes), length);
    *countOut = length;
    return 0;
}

}  // namespace

int ReplyHandler(const uint8_t* data, size_t size) {
    Input in(data, size);
    Harness harness;
    harness.Run(in);
    return 0;
}

}  // namespace tarvik::fuzz
