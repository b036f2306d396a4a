// tarvik-bench: measures the tool against tarvik-sim on this machine and writes the figures,
// each beside its target, as a Markdown report.
//
//   tarvik-bench run --sim PATH --cli PATH [--gui PATH] [--soak PATH --soak-runs N]
//                    [--quick] [--only SECTION,...] --out FILE
//       SECTION: line, profile, idle, boards, draining, footprint, soak (all when not given;
//       to measure one part again without the whole twenty minutes)
//   tarvik-bench line                            (used by run: the paced line, line_relay.h)
//   tarvik-bench profile --port PATH --image PATH   (used by run: one upgrade, stamped)
//   tarvik-bench idle --port PATH --seconds S     (used by run: the port open and idle)
//   tarvik-bench draining --sim PATH --boards N --image PATH   (used by run: N boards on
//                    lines that drain at their rate, in this process)
//   tarvik-bench draining-search --ports N       (used by run: one search pass on N lines)
//
// Nothing here is a test: the figures depend on the machine and its load, so they are
// reported, compared with their targets, and explained where they miss, never asserted.
//
// This file only reads the arguments and chooses: each section lives in a file of its own
// (sections.h lists them), what they share in support.h.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "line_relay.h"
#include "sections.h"

namespace tarvik::bench {
namespace {

struct Section {
    const char* name;  // as --only names it
    void (*write)(Report&);
};

// In the report's order.
// clang-format off
constexpr Section kSections[] = {
    {"line", LineAndPeers},
    {"profile", WhereTheTimeGoes},
    {"idle", IdleCpu},
    {"boards", ManyBoards},
    {"draining", ManyBoardsOnDrainingLines},
    {"footprint", Footprint},
    {"soak", Soak},
};
// clang-format on

int RunAll(const Options& o, const std::string& self) {
    const TempFolder folder;
    Report report{o, self, folder, {}};
    WriteMachine(report);
    for (const Section& section : kSections) {
        if (o.Runs(section.name)) {
            section.write(report);
        }
    }
    if (o.only.empty()) {
        Notes(report);
    }
    report.text << "Load average at the end: " << LoadAverage() << ".\n";
    report.Flush();
    std::cout << report.text.str();
    return 0;
}

}  // namespace
}  // namespace tarvik::bench

int main(int argc, char** argv) {
    using namespace tarvik::bench;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << "usage: tarvik-bench run ... | idle --port P --seconds S\n";
        return 2;
    }
    auto value = [&](const std::string& name) -> std::string {
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == name) {
                return args[i + 1];
            }
        }
        return {};
    };
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    if (args[0] == "line") {
        return RunLineRelay();
    }
    if (args[0] == "idle") {
        return IdleHelper(value("--port"), std::atoi(value("--seconds").c_str()));
    }
    if (args[0] == "profile") {
        return ProfileHelper(value("--port"), value("--image"));
    }
    if (args[0] == "draining") {
        return DrainingHelper(value("--sim"), std::atoi(value("--boards").c_str()),
                              value("--image"));
    }
    if (args[0] == "draining-search") {
        return DrainingSearchHelper(std::atoi(value("--ports").c_str()));
    }
    Options o;
    o.sim = value("--sim");
    o.cli = value("--cli");
    o.gui = value("--gui");
    o.soak = value("--soak");
    o.soakRuns = std::atoi(value("--soak-runs").c_str());
    o.out = value("--out");
    o.quick = std::find(args.begin(), args.end(), "--quick") != args.end();
    o.only = value("--only");
    if (o.sim.empty() || o.cli.empty() || o.out.empty()) {
        std::cerr << "tarvik-bench run: --sim, --cli and --out are needed\n";
        return 2;
    }
    return RunAll(o, self);
}
