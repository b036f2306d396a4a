// What the single run and the station share on the command line: the progress view's set-up
// and the loop that looks at every port. How a port's upgrade stands is judged below
// (station/judge.h).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/progress_view.h"
#include "cli/signal_watch.h"
#include "station/judge.h"
#include "station/station_options.h"
#include "station/station_record.h"
#include "upgrade/loop_driver.h"

namespace tarvik::cli {

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

}  // namespace tarvik::cli
