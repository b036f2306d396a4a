#include "cli/upgrade_judge.h"

#include <cstdio>
#include <vector>

#include "cli/console.h"
#include "cli/text_format.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik::cli {

std::string StepByteText(uint8_t step) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", step);
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
            "no further reply for " + Seconds(stallTimeout) + " after frame " + StepByteText(step)};
    }
    return std::nullopt;
}

const char* RecordResultOf(Verdict verdict) {
    return verdict == Verdict::Succeeded ? kRecordOk
           : verdict == Verdict::Stopped ? kRecordInterrupted
                                         : kRecordFailed;
}

namespace {

// How often the loop hands control back between events: for the time-outs, the probes, the
// signals and the redraw of the progress lines.
constexpr std::chrono::milliseconds kSupervisePeriod{100};
// The width of lines that go to something other than a terminal.
constexpr size_t kDefaultColumns = 80;

}  // namespace

std::unique_ptr<CProgressView> MakeProgressView(const UpgradeOptions& options, size_t lines,
                                                bool& live) {
    const bool terminal = IsLiveTerminal(stdout);
    // A trace on the same terminal would tear the redrawn lines apart: plain lines then.
    live = terminal && !options.quiet && !(options.trace && IsLiveTerminal(stderr));
    size_t columns = kDefaultColumns;
    if (const std::optional<TerminalSize> size = terminal ? TerminalSizeOf(stdout) : std::nullopt) {
        columns = size->columns;
        // More lines than the screen holds cannot be redrawn in place.
        live = live && (size->rows == 0 || lines < size->rows);
    }
    return std::make_unique<CProgressView>(stdout, live, options.quiet, columns);
}

bool SuperviseUntil(
    CEventLoop& loop, const CSignalWatch& signals, CProgressView& view, bool live,
    const std::function<void(CEventLoop::Clock::time_point)>& look,
    const std::function<bool()>& done,
    const std::function<std::vector<PortStatus>(CEventLoop::Clock::time_point)>& snapshot) {
    using Clock = CEventLoop::Clock;
    for (;;) {
        const Clock::time_point now = Clock::now();
        look(now);
        if (done()) {
            return false;
        }
        if (signals.Raised() != 0) {
            return true;
        }
        if (live) {
            view.Update(snapshot(now));
        }
        loop.RunUntil(
            [&] {
                if (signals.Raised() != 0) {
                    return true;
                }
                look(Clock::now());
                return done();
            },
            now + kSupervisePeriod);
    }
}

}  // namespace tarvik::cli
