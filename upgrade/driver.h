// The one seam between the upgrade engine and whoever drives it: the window, the command
// line, or a test with its own clock. Every call comes from the driver's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvik {

class CComPort;

// Timer ids.
inline constexpr int kResendTimer = 1;
inline constexpr int kScanTimer = 2;
inline constexpr int kFastResendTimer = 3;

// Selection indexes of the line-setting lists; -1 when a list has no selection.
struct LineSelections {
    int dataBitsIndex = 1;  // data bits = index + 7
    int parityIndex = 0;    // parity code = index
    int stopBitsIndex = 0;  // stop-bits code = index
};

enum class TraceDirection { Sent, Received };

class IUpgradeDriver {
public:
    virtual ~IUpgradeDriver() = default;

    // Periodic timer `id`; arming an armed id re-arms it with the new period. Its ticks
    // come back as CUpgradeEngine::OnTimer(id) on the driver's thread.
    virtual void ArmTimer(int id, std::chrono::milliseconds period) = 0;
    virtual void StopTimer(int id) = 0;

    virtual void SetInfoText(const std::string& utf8) = 0;    // the info line
    virtual void SetStatusText(const std::string& utf8) = 0;  // the status line
    virtual void SetProgressRange(uint32_t minimum, uint32_t maximum) = 0;
    virtual void SetProgressPos(uint32_t position) = 0;
    virtual void EnableStart(bool enabled) = 0;
    virtual bool IsStartEnabled() const = 0;
    // A message box with an OK button; returns when the operator has closed it.
    virtual void ShowMessage(const std::string& utf8) = 0;
    virtual LineSelections Selections() const = 0;
    // Blocks the driver's thread (the 100 ms after the board answers).
    virtual void Wait(std::chrono::milliseconds duration) = 0;
    virtual CComPort& Port() = 0;

    // Every frame sent and every reply handed over, for a trace; nothing by default.
    virtual void Trace(TraceDirection, const uint8_t*, size_t) {}
};

}  // namespace tarvik
