#include "app/window_record.h"

#include <string_view>

#include "upgrade/texts.h"

namespace tarvik {

namespace {

constexpr std::string_view kLogOption = "--log";
constexpr std::string_view kLogOptionWithValue = "--log=";
constexpr char kLogWithoutFile[] = "--log 后面缺少记录文件的名字\n";

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

WindowOptions ParseWindowArguments(const std::vector<std::string>& arguments) {
    WindowOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        if (argument == kLogOption) {
            if (i + 1 >= arguments.size()) {
                options.error = std::string(kLogWithoutFile) + kWindowUsageText;
                return options;
            }
            value = arguments[++i];
        } else if (StartsWith(argument, kLogOptionWithValue)) {
            value = argument.substr(kLogOptionWithValue.size());
        } else {
            options.error = "不认识的参数：" + argument + "\n" + kWindowUsageText;
            return options;
        }
        if (value.empty()) {
            options.error = std::string(kLogWithoutFile) + kWindowUsageText;
            return options;
        }
        options.logPath = value;
    }
    return options;
}

RecordVerdict VerdictOf(UpgradeOutcome outcome, uint8_t stepInFlight, const std::string& statusText,
                        const std::string& infoText) {
    const bool failureShown = StartsWith(statusText, text::kUpgradeFailed);
    switch (outcome) {
        case UpgradeOutcome::Succeeded:
            return {kRecordOk, std::string(), statusText};
        case UpgradeOutcome::Failed:
            return {kRecordFailed, StepWord(stepInFlight), statusText};
        case UpgradeOutcome::Stopped:
        case UpgradeOutcome::None:
            break;
    }
    if (failureShown) {
        return {kRecordFailed, StepWord(stepInFlight), statusText};
    }
    // 停止 says so on the info line; a window closed in the middle shows how far it came.
    return {kRecordInterrupted, std::string(),
            outcome == UpgradeOutcome::Stopped ? infoText : statusText};
}

std::string CWindowRecorder::Open(const std::string& path) {
    const RecordError error = m_log.Open(path);
    if (error) {
        m_failed = true;
        return kLogOpenFailedText + error.text;
    }
    return std::string();
}

void CWindowRecorder::OnStarted(const std::string& port, const std::string& imagePath) {
    if (!IsOpen()) {
        return;
    }
    Started started;
    started.start = std::chrono::system_clock::now();
    started.startSteady = std::chrono::steady_clock::now();
    started.port = port;
    started.imagePath = imagePath;
    m_pending = started;
}

void CWindowRecorder::OnStartEnabled() {
    if (m_pending && !m_pending->end) {
        m_pending->end = std::chrono::steady_clock::now();
    }
}

std::string CWindowRecorder::AfterEvent(const CUpgradeEngine& engine, const std::string& statusText,
                                        const std::string& infoText) {
    if (!m_pending || engine.Phase() != UpgradePhase::Idle) {
        return std::string();
    }
    if (!engine.DeviceFound()) {
        // A search stopped before any board answered: nothing was taken.
        m_pending.reset();
        return std::string();
    }
    return Write(engine,
                 VerdictOf(engine.Outcome(), engine.RememberedStep(), statusText, infoText));
}

std::string CWindowRecorder::OnWindowEnding(const CUpgradeEngine& engine,
                                            const std::string& statusText,
                                            const std::string& infoText) {
    if (!m_pending) {
        return std::string();
    }
    if (engine.Phase() == UpgradePhase::Idle) {
        return AfterEvent(engine, statusText, infoText);
    }
    if (!engine.DeviceFound()) {
        m_pending.reset();
        return std::string();
    }
    return Write(engine,
                 VerdictOf(UpgradeOutcome::None, engine.RememberedStep(), statusText, infoText));
}

std::string CWindowRecorder::Write(const CUpgradeEngine& engine, const RecordVerdict& verdict) {
    const Started pending = *m_pending;
    m_pending.reset();
    TakenBoard taken;
    taken.port = pending.port;
    taken.board = ++m_boardsByPort[pending.port];
    taken.result = verdict.result;
    taken.shown = verdict.message;
    taken.start = pending.start;
    // A window closed in the middle of an upgrade ends it now.
    const auto end = pending.end.value_or(std::chrono::steady_clock::now());
    taken.seconds = std::chrono::duration<double>(end - pending.startSteady).count();
    const BoardRecord record =
        MakeBoardRecord(taken, engine, m_images.Describe(pending.imagePath, engine.Image()));
    const RecordError error = m_log.Append(record);
    if (error) {
        // Said once; from then on the window upgrades without recording.
        m_failed = true;
        return kLogWriteFailedText + error.text;
    }
    return std::string();
}

}  // namespace tarvik
