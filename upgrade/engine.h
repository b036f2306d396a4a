// CUpgradeEngine: the upgrade state and every handler that acts on it: the start of an
// upgrade, the scan, fast-resend and resend ticks, the reply handler and Stop.
//
// All calls come from the driver's thread; the engine talks back only through the
// IUpgradeDriver it was given. Its buffers are fixed: the firmware buffer it is given and
// the remembered frame; nothing is reallocated per upgrade.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "upgrade/driver.h"
#include "upgrade/image.h"

namespace tarvik {

class CCmdFrame;

inline constexpr size_t kRememberedFrameSize = 256;
inline constexpr size_t kFrameStepByte = 3;  // offset of the step byte in every frame

// The device search: baud rates tried in turn, and the time each one is given to answer.
inline constexpr size_t kSearchSteps = 16;
inline constexpr std::array<uint32_t, kSearchSteps> kSearchBauds = {
    115200, 9600, 57600,  56000,  38400,  19200,  14400,  4800,
    2400,   1200, 128000, 230400, 256000, 460800, 921600, 1024000};
inline constexpr std::array<std::chrono::milliseconds, kSearchSteps> kSearchPeriods = {
    std::chrono::milliseconds{50},  std::chrono::milliseconds{200}, std::chrono::milliseconds{100},
    std::chrono::milliseconds{100}, std::chrono::milliseconds{100}, std::chrono::milliseconds{100},
    std::chrono::milliseconds{100}, std::chrono::milliseconds{200}, std::chrono::milliseconds{400},
    std::chrono::milliseconds{500}, std::chrono::milliseconds{50},  std::chrono::milliseconds{50},
    std::chrono::milliseconds{50},  std::chrono::milliseconds{50},  std::chrono::milliseconds{50},
    std::chrono::milliseconds{50}};
inline constexpr uint8_t kSearchPasses = 3;  // passes over the baud table before the fast resend

inline constexpr std::chrono::milliseconds kFirstScanDelay{1000};  // Start to the first scan step
inline constexpr std::chrono::milliseconds kFastResendPeriod{90};
inline constexpr std::chrono::milliseconds kBeginTransferResendPeriod{2000};
inline constexpr std::chrono::milliseconds kResendPeriod{1000};  // after every later frame
// The board switches its line to the transfer settings after answering; give it time.
inline constexpr std::chrono::milliseconds kSettleAfterFound{100};
// The caller's time-out of one frame write (ms). It never ends a write in practice: the port's
// timed read mode, set when the port is opened, limits every write to kWriteTotalTimed
// (300 ms), and that limit is what bounds a frame that cannot go out.
inline constexpr uint32_t kSendTimeoutMs = 10001000;
// Resend ticks that only resend; the next one declares the failure (and sends once more).
inline constexpr uint8_t kResendsBeforeFailure = 3;

// The line settings of the transfer, whatever the lists say: 115200 baud 8N1.
inline constexpr uint32_t kTransferBaud = 115200;
inline constexpr uint8_t kTransferDataBits = 8;
inline constexpr uint8_t kTransferParity = 0;
inline constexpr uint8_t kTransferStopBits = 0;
// The fast resend runs at the first baud of the table.
inline constexpr uint32_t kFastResendBaud = 115200;
// Data bits = selection index of the data-bits list + this.
inline constexpr int kDataBitsIndexBase = 7;

struct UpgradeState {
    uint8_t rememberedFrame[kRememberedFrameSize] = {};
    uint32_t rememberedLength = 0;  // 23 or 137
    uint8_t resendCount = 0;        // 0..3
    uint8_t searchIndex = 0;        // 0..16
    uint8_t passCount = 0;          // 0..2
    int32_t fastResendCount = 0;
    std::string searchText;
    uint32_t blockCounter = 0;
    uint32_t totalBlocks = 0;
};

// What Start did; every value but Started has already been shown through the driver.
enum class StartResult {
    Started,
    PortNotOpen,   // "请先打开串口"
    NoFileChosen,  // "请选择要升级的文件！"
    OpenFailed,    // "打开文件失败"
    TooBig,        // "file is huge!!!"
    ReadFailed,    // "打开文件失败"
    BadImage,      // status line "bin file is bad!!!"
};

// Which frame is in flight (for front ends that report progress or give up on a stall).
enum class UpgradePhase {
    Idle,        // Start enabled: nothing running (after success, failure, Stop, or never)
    Scanning,    // scan timer
    FastResend,  // fast-resend timer
    Handshake,   // begin-transfer command sent
    Sending,     // a block sent
    Verifying,   // checksum request sent
    Finishing,   // finish command sent, no timer
    Stalled,     // a failure shown, Start disabled, no timer
};

enum class UpgradeOutcome { None, Succeeded, Failed, Stopped };

class CUpgradeEngine {
public:
    explicit CUpgradeEngine(IUpgradeDriver& driver, uint8_t* firmware = FirmwareBuffer(),
                            uint32_t capacity = kFirmwareCapacity);

    // The Start button: the checks and the load into this engine's firmware buffer, then the
    // upgrade start (search).
    StartResult Start(const std::string& imagePath, const std::string& imageName);
    // The upgrade start on an image loaded and checked once for several engines: nothing is
    // read from the file and the firmware buffer is not touched; the blocks and the sum all
    // come from `image`, whose bytes must stay unchanged while this upgrade runs.
    StartResult Start(const FirmwareImage& image);
    // A tick of timer 1, 2 or 3; other ids do nothing.
    void OnTimer(int id);
    // A reply handed over by the reader: `count` bytes, copied at once.
    void OnFrameReceived(const uint8_t* data, uint32_t count);
    // The Stop button.
    void OnStop();
    // The Open/Close button closes the port: the resend timer stops (the search timers go
    // on); a transfer waiting for an answer is then stalled until a reply or Stop.
    void OnPortClosed();
    // One port Write of the whole frame while the port is open (time-out kSendTimeoutMs,
    // result ignored: the resend timer covers a frame that did not go out); returns `length`.
    size_t SendFrame(const uint8_t* bytes, size_t length);

    const UpgradeState& State() const { return m_state; }
    UpgradePhase Phase() const { return m_phase; }
    UpgradeOutcome Outcome() const { return m_outcome; }
    // The board answered the checksum request with another sum than the image's: no later
    // reply can make this upgrade good (the upgrade stays stalled until Stop, as it shows).
    bool SumRejected() const { return m_sumRejected; }
    // The code of the last frame write, kErrSuccess when it went (or was taken to go) out:
    // a supervisor tells a device that has gone by it; the engine itself never looks.
    uint32_t LastSendCode() const { return m_lastSendCode; }
    bool DeviceFound() const { return m_deviceFound; }  // a reply accepted since Start
    uint32_t ImageLength() const { return m_image.length; }
    // The step byte of the frame last sent (the one the timers repeat).
    uint8_t RememberedStep() const { return m_state.rememberedFrame[kFrameStepByte]; }
    // For the board record: the frames the resend timer sent again since Start, and the
    // rate the board answered the enter-upgrade frame at (0 until it has): the rate of the
    // search step whose frame it answered, as the search set it, not as the port reads back
    // afterwards (by then the search may have moved on).
    uint32_t Resends() const { return m_resends; }
    uint32_t FoundBaud() const { return m_foundBaud; }
    // The sum the board answered the checksum request with, whether or not it matched the
    // image's; nothing until the board has reported one since Start.
    std::optional<uint32_t> BoardSum() const { return m_boardSum; }
    // The image this upgrade started on (its bytes, length and sum), as Start fixed it.
    const FirmwareImage& Image() const { return m_image; }

private:
    // False, with the message shown, when the port is not open.
    bool PortReadyForStart();
    void ResetSearch();
    // search.cpp: the upgrade start and the two search timers' ticks.
    void BeginSearch();
    void OnScanTick();
    void OnFastResendTick();
    void SetupFromSelections(uint32_t baud);
    // transfer.cpp: which replies count, what an accepted reply leads to by its step byte,
    // and the resend tick.
    bool AnswersFrameInFlight(const CCmdFrame& reply) const;
    void ActOnReply(const CCmdFrame& reply);
    bool OnBlockAcknowledged(const CCmdFrame& reply);  // false: no progress update
    void OnResendTick();
    void SendBlock(uint32_t n);
    void UpdateProgress();
    UpgradePhase PhaseOfRememberedFrame() const;
    // engine.cpp
    void Accept(const CCmdFrame& reply);  // a reply that counts: the timers stop, it is acted on
    // With the finish command in flight: a burst of sound command frames holding its answer.
    void TakeFinishAnswerFromBurst(const uint8_t* data, uint32_t count);
    void SendAndRemember(const uint8_t* wire, uint32_t length);
    void StopAllTimers();

    IUpgradeDriver& m_driver;
    uint8_t* m_firmware;  // where Start(path) loads; may be shared with other engines
    uint32_t m_capacity;
    // The image of the current upgrade: its blocks, its length and its sum, fixed at Start.
    FirmwareImage m_image;
    UpgradeState m_state;
    UpgradePhase m_phase = UpgradePhase::Idle;
    UpgradeOutcome m_outcome = UpgradeOutcome::None;
    bool m_deviceFound = false;
    uint32_t m_resends = 0;
    uint32_t m_foundBaud = 0;
    std::optional<uint32_t> m_boardSum;
    uint32_t m_searchBaud = 0;  // the rate the last search frame went out at
    bool m_sumRejected = false;
    uint32_t m_lastSendCode = 0;
};

}  // namespace tarvik
