// What the window records of the upgrades started with 开始升级 when it runs with --log FILE:
// one record per upgrade whose board answered (succeeded, failed, or interrupted by 停止 or
// by closing the window); a search that never found a board is no record. Plain C++: both
// windows forward to CUpgradeWindowLogic, which owns one CWindowRecorder.
//
// Everything runs on the window's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/board_record.h"
#include "upgrade/engine.h"

namespace tarvik {

// What the operator is told when the log cannot be used; each is followed by the log's own
// error ("<path>: <what>"). The window carries on without recording after saying so.
inline constexpr char kLogOpenFailedText[] = "无法打开记录文件，本次运行的升级不会被记录：\n";
inline constexpr char kLogWriteFailedText[] = "无法写入记录文件，这块板和以后的升级不会被记录：\n";
// The window's command line: how to give it a log.
inline constexpr char kWindowUsageText[] = "用法：tarvik [--log 记录文件]";

// The window's command line, after the framework has taken its own arguments.
struct WindowOptions {
    std::string logPath;  // --log FILE (or --log=FILE); empty: no recording
    std::string error;    // for the operator; empty when the arguments were understood
};
WindowOptions ParseWindowArguments(const std::vector<std::string>& arguments);

// How an upgrade that found its board ended, as its record words it.
struct RecordVerdict {
    std::string result;   // kRecordOk, kRecordFailed or kRecordInterrupted
    std::string step;     // for a failure, the step that failed (StepWord); else empty
    std::string message;  // the text the window showed
};
// `outcome` is the engine's (None: the window is closing while the upgrade runs); `stepInFlight`
// the step byte of the frame the engine last sent; `statusText` and `infoText` what the two
// lines show. An upgrade stopped while it showed a failure (a wrong sum, an acknowledgement
// out of order) is a failure: the operator stopped a board that had failed.
RecordVerdict VerdictOf(UpgradeOutcome outcome, uint8_t stepInFlight, const std::string& statusText,
                        const std::string& infoText);

class CWindowRecorder {
public:
    // Opens the log at `path`; the error for the operator (kLogOpenFailedText and the log's
    // own), empty when it opened.
    std::string Open(const std::string& path);
    bool IsOpen() const { return m_log.IsOpen() && !m_failed; }

    // Start went through: an upgrade on `port` with the image `imagePath` begins now.
    void OnStarted(const std::string& port, const std::string& imagePath);
    // The engine enabled Start again: the upgrade has reached its outcome now (the record's
    // `seconds` end here, before any message box the outcome brings).
    void OnStartEnabled();
    // After every event the engine handled: once the upgrade that began has ended, its record
    // goes to the log if its board answered. Returns the error for the operator when the
    // record could not be written; nothing is recorded from then on.
    std::string AfterEvent(const CUpgradeEngine& engine, const std::string& statusText,
                           const std::string& infoText);
    // The window is ending: an upgrade still running whose board answered is recorded as
    // interrupted. Returns the error for the operator, as AfterEvent.
    std::string OnWindowEnding(const CUpgradeEngine& engine, const std::string& statusText,
                               const std::string& infoText);
    // A record is waiting for its upgrade to end.
    bool Pending() const { return m_pending.has_value(); }

private:
    struct Started {
        std::chrono::system_clock::time_point start;
        std::chrono::steady_clock::time_point startSteady;
        std::optional<std::chrono::steady_clock::time_point> end;  // the outcome, once reached
        std::string port;
        std::string imagePath;
    };
    std::string Write(const CUpgradeEngine& engine, const RecordVerdict& verdict);

    CRecordLog m_log;
    CRecordedImageCache m_images;
    bool m_failed = false;
    std::optional<Started> m_pending;
    std::map<std::string, uint32_t> m_boardsByPort;
};

}  // namespace tarvik
