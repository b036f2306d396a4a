// Soak: the hardening suite's soak program (--soak, --soak-runs) makes that many upgrades in
// one process over one port against one tarvik-sim that loses each reply with probability
// 0.03; it passes when every run succeeds exactly or ends with the failure text, none hangs,
// and the heap stops growing after the first two runs. No peer: its own summary line and
// elapsed time are reported.
#include <optional>
#include <sstream>
#include <string>

#include "sections.h"

namespace tarvik::bench {
namespace {

constexpr int kSoakRunBoundSeconds = 120;

}  // namespace

void Soak(Report& report) {
    if (report.options.soak.empty() || report.options.soakRuns <= 0) {
        return;
    }
    Child soak(report.options.soak, {},
               {{"TARVIK_SOAK_RUNS", std::to_string(report.options.soakRuns)}});
    const std::optional<Usage> usage =
        soak.Wait(Ms{static_cast<int64_t>(report.options.soakRuns) * kSoakRunBoundSeconds * 1000});
    std::string line = "(no summary)";
    std::istringstream out(soak.Output());
    for (std::string l; std::getline(out, l);) {
        if (l.rfind("soak:", 0) == 0) {
            line = l.substr(sizeof "soak:");
        }
    }
    report.text << "## Soak\n\n"
                << report.options.soakRuns
                << " upgrades in one process over one port, against one board that loses each "
                   "reply with probability 0.03 (tarvik-sim --loss 0.03 --seed 7); each run's "
                   "image differs. The test passes when every run either succeeds with the "
                   "board holding exactly its image or ends with the failure text, none hangs, "
                   "and the heap in use does not grow after the first two runs.\n\n"
                << Header({"result", "elapsed s", "figures"})
                << Row({usage && usage->exitCode == 0 ? "passed" : "**failed**",
                        usage ? Format("%.0f", usage->wall.count()) : "-", line})
                << "\n";
    report.Flush();
}

}  // namespace tarvik::bench
