// How a running upgrade on one port stands: ended (and how), or still going. Shared by the
// single run and the station.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/progress_view.h"
#include "cli/signal_watch.h"
#include "upgrade/board_record.h"
#include "upgrade/image.h"
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

// The record's word for how a board taken ended.
const char* RecordResultOf(Verdict verdict);

// The progress view of a run with `lines` ports on standard output: redrawn in place on a
// terminal that holds every line (and has no trace on it), else plain lines, which `live`
// tells.
std::unique_ptr<CProgressView> MakeProgressView(const UpgradeOptions& options, size_t lines,
                                                bool& live);

// The loop both runs go round on the loop's thread: `look` at every port (it writes plain
// lines as things happen, so none is missed between two looks), redraw a live view's lines
// from `snapshot`, and let the ports' events run for a supervise period at a time, until
// `done()` or a signal. True when a signal ended it.
bool SuperviseUntil(
    CEventLoop& loop, const CSignalWatch& signals, CProgressView& view, bool live,
    const std::function<void(CEventLoop::Clock::time_point)>& look,
    const std::function<bool()>& done,
    const std::function<std::vector<PortStatus>(CEventLoop::Clock::time_point)>& snapshot);

// "0x1b": a step byte as the messages show it.
std::string StepByteText(uint8_t step);

}  // namespace tarvik::cli
