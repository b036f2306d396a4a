#include "cli/upgrade_judge.h"

#include <cstdio>
#include <vector>

#include "cli/console.h"
#include "cli/text_format.h"

namespace tarvik::cli {

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
