// How a running upgrade on one port stands: ended (and how), or still going. Shared by the
// single run and the station.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "cli/progress_view.h"
#include "upgrade/loop_driver.h"

namespace tarvik::cli {

struct UpgradeEnd {
    Verdict verdict = Verdict::Failed;
    std::string result;  // the window's text
    std::string detail;  // what else there is to know, may be empty
};

// One look at the upgrade on `driver` at `now`: its end when the engine has an outcome or has
// stayed stalled (a failure shown, no timer left) for `stallTimeout`; then the engine is
// stopped where it needs to be. `stalledSince` carries the stall between looks; `news`
// becomes true when a stall begins.
std::optional<UpgradeEnd> JudgeUpgrade(CLoopDriver& driver,
                                       std::optional<CEventLoop::Clock::time_point>& stalledSince,
                                       std::chrono::milliseconds stallTimeout,
                                       CEventLoop::Clock::time_point now, bool& news);

// "0x1b": a step byte as the messages show it.
std::string StepByteText(uint8_t step);

}  // namespace tarvik::cli
