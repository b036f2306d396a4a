// CUpgradeEngine: the upgrade state and every handler that acts on it: the start of an
// upgrade, the scan, fast-resend and resend ticks, the reply handler and Stop.
//
// All calls come from the driver's thread; the engine talks back only through the
// IUpgradeDriver it was given. It allocates nothing per upgrade.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "upgrade/driver.h"
#include "upgrade/image.h"

namespace tarvik {

inline constexpr size_t kRememberedFrameSize = 256;

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

    // The Start button: the checks and the load, then the upgrade start (search).
    StartResult Start(const std::string& imagePath, const std::string& imageName);
    // A tick of timer 1, 2 or 3; other ids do nothing.
    void OnTimer(int id);
    // A reply handed over by the reader: `count` bytes, copied at once.
    void OnFrameReceived(const uint8_t* data, uint32_t count);
    // The Stop button.
    void OnStop();
    // One port Write of the whole frame while the port is open; returns `length`.
    size_t SendFrame(const uint8_t* bytes, size_t length);

    const UpgradeState& State() const { return m_state; }
    UpgradePhase Phase() const { return m_phase; }
    UpgradeOutcome Outcome() const { return m_outcome; }
    bool DeviceFound() const { return m_deviceFound; }  // a reply accepted since Start
    uint32_t ImageLength() const { return m_imageLength; }

private:
    IUpgradeDriver& m_driver;
    uint8_t* m_firmware;
    uint32_t m_capacity;
    uint32_t m_imageLength = 0;
    UpgradeState m_state;
    UpgradePhase m_phase = UpgradePhase::Idle;
    UpgradeOutcome m_outcome = UpgradeOutcome::None;
    bool m_deviceFound = false;
};

}  // namespace tarvik
