#include "station/judge.h"

#include <cstdio>
#include <vector>

#include "serial/com_port.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik {

namespace {

constexpr double kMsPerSecond = 1000.0;

}  // namespace

bool LineHasGone(uint32_t code) {
    return code != kErrSuccess && code != kErrTimeout;
}

std::string StepByteText(uint8_t step) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", step);
    return text;
}

std::string SecondsText(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s",
                  static_cast<double>(duration.count()) / kMsPerSecond);
    return text;
}

std::optional<UpgradeEnd> JudgeUpgrade(CLoopDriver& driver,
                                       std::optional<CEventLoop::Clock::time_point>& stalledSince,
                                       std::chrono::milliseconds stallTimeout,
                                       CEventLoop::Clock::time_point now, bool& news) {
    CUpgradeEngine& engine = driver.Engine();
    switch (engine.Outcome()) {
        case UpgradeOutcome::Succeeded:
            // The finish command goes out only once the board's sum has matched; the board's
            // word alone, at any other point, is no verified upgrade.
            if (engine.RememberedStep() != kStepFinish) {
                return UpgradeEnd{Verdict::Failed, text::kUpgradeFailed,
                                  "the board reported success before its sum was checked"};
            }
            return UpgradeEnd{Verdict::Succeeded, text::kUpgradeSucceeded, ""};
        case UpgradeOutcome::Failed: {
            const std::vector<std::string> messages = driver.Messages();
            return UpgradeEnd{Verdict::Failed, driver.Status(),
                              messages.empty() ? "" : messages.back()};
        }
        case UpgradeOutcome::Stopped:
        case UpgradeOutcome::None:
            break;
    }
    // Stalled: a failure shown (or the finish command unanswered) and no timer left to
    // move on. A further good reply may still continue it, so it is given some time.
    const UpgradePhase phase = engine.Phase();
    const bool stalled = (phase == UpgradePhase::Stalled || phase == UpgradePhase::Finishing) &&
                         !driver.AnyTimerArmed();
    if (stalled && engine.SumRejected()) {
        // The board has told its sum and no later reply changes it: the board is done with
        // now, so that the watch for it to go starts at once.
        std::string status = driver.Status();
        if (status.rfind(text::kUpgradeFailed, 0) != 0) {
            status = text::kUpgradeFailed;
        }
        const uint8_t step = engine.RememberedStep();
        stalledSince.reset();
        engine.OnStop();
        return UpgradeEnd{Verdict::Failed, status,
                          std::string(kSumDiffersText) + " (" + StepByteText(step) + ")"};
    }
    if (!stalled) {
        stalledSince.reset();
    } else if (!stalledSince) {
        stalledSince = now;
        news = true;
    } else if (now - *stalledSince >= stallTimeout) {
        const uint8_t step = engine.RememberedStep();
        std::string status = driver.Status();
        if (status.rfind(text::kUpgradeFailed, 0) != 0) {
            status = text::kUpgradeFailed;
        }
        engine.OnStop();
        return UpgradeEnd{
            Verdict::Failed, status,
            "帧 " + StepByteText(step) + " 之后 " + SecondsText(stallTimeout) + " 无应答"};
    }
    return std::nullopt;
}

std::optional<std::string> LoadRunImage(const std::string& path, FirmwareImage& image) {
    // Every engine then sends these very bytes, whatever happens to the file later.
    switch (LoadCheckedImage(path, FirmwareBuffer(), kFirmwareCapacity, image)) {
        case ImageCheck::Ok:
            return std::nullopt;
        case ImageCheck::OpenFailed:
        case ImageCheck::ReadFailed:
            return std::string(text::kOpenFileFailed);
        case ImageCheck::TooBig:
            return std::string(text::kFileHuge);
        case ImageCheck::BadImage:
            return std::string(text::kBinFileBad);
    }
    return std::string(text::kOpenFileFailed);
}

const char* StartFailureText(StartResult result) {
    switch (result) {
        case StartResult::PortNotOpen:
            return text::kOpenPortFirst;
        case StartResult::NoFileChosen:
            return text::kChooseFile;
        case StartResult::OpenFailed:
        case StartResult::ReadFailed:
            return text::kOpenFileFailed;
        case StartResult::TooBig:
            return text::kFileHuge;
        case StartResult::BadImage:
            return text::kBinFileBad;
        case StartResult::Started:
            break;
    }
    return "";
}

}  // namespace tarvik
