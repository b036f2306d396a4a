// Many boards on draining lines: every port's writes take their line's time as a real UART's
// do (tests/support/draining_line.h under the port's device calls), 1, 4 and 16 paced
// tarvik-sims driven by `tarvik-bench draining` on one loop driver in one process, as
// tarvik-cli runs them; and the search on 1 and 16 draining lines that lead to no board
// (`tarvik-bench draining-search`). Against one board (one port) alone: the slowest board's
// time, the whole run and a search pass with 16 over those with one; CPU and context
// switches of the whole process per MiB and per exchange.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "draining_line.h"
#include "line_floor.h"
#include "sections.h"
#include "upgrade/loop_driver.h"

namespace tarvik::bench {
namespace {

constexpr uint32_t kDrainingImage = 32 * 1024;
// A search pass: the first frame of its first step to the first frame of the next pass's.
constexpr size_t kFirstScanWrite = 1;  // write 0 is the enter-upgrade frame at Start
constexpr size_t kNextPassWrite = kFirstScanWrite + kSearchSteps;
constexpr Ms kSearchBound{60000};

// Every port is asked to close before any is closed, so that they close together, as
// tarvik-cli closes its ports.
void CloseTogether(std::vector<std::unique_ptr<CLoopDriver>>& drivers) {
    for (auto& driver : drivers) {
        driver->RequestClose();
    }
    for (auto& driver : drivers) {
        driver->ClosePort();
    }
    drivers.clear();
}

}  // namespace

void ManyBoardsOnDrainingLines(Report& report) {
    report.text << "## Many boards on draining lines\n\n"
                << "As above, but every port's writes take their line's time as a real UART's "
                   "do (tests/support/draining_line.h under the port's device calls: a write's "
                   "bytes leave at 10 bits a byte of the rate set, the driver's queue and the "
                   "drain see that), and the boards are paced tarvik-sims. One loop driver in "
                   "one process with one port per board, as tarvik-cli runs them, a "
                << kDrainingImage / 1024
                << " KiB image. Slowest board: from Start to its outcome; whole run: from the "
                   "first Start to the last outcome. CPU and switches: the whole process (every "
                   "port's threads), per MiB sent and per answered frame.\n\n"
                << Header({"boards", "all succeeded", "slowest board s", "over one board",
                           "whole run s", "over one board", "CPU s per MiB",
                           "voluntary switches per exchange", "target", ""});
    const std::string imagePath = report.folder.File("draining.bin");
    WriteFile(imagePath, MakeImage(kDrainingImage));
    double single = 0;
    double singleWall = 0;
    for (int boards : {1, 4, kMostBoards}) {
        Child run(report.self, {"draining", "--sim", report.options.sim, "--boards",
                                std::to_string(boards), "--image", imagePath});
        const nlohmann::json j = ReadResult(run, kUpgradeBound);
        run.Wait(kStopBound);
        const bool ok = j.value("all_succeeded", false);
        const double slowest = j.value("slowest_s", 0.0);
        const double wall = j.value("wall_s", 0.0);
        if (boards == 1) {
            single = slowest;
            singleWall = wall;
        }
        const double ratio = single > 0 ? slowest / single : 0;
        const double wallRatio = singleWall > 0 ? wall / singleWall : 0;
        const double mib = Mib(kDrainingImage) * boards;
        const double exchanges = std::max(1.0, j.value("exchanges", 0.0));
        const bool last = boards == kMostBoards;
        report.text << Row(
            {std::to_string(boards), ok ? "yes" : "**no**", Format("%.3f", slowest),
             Format("%.3f", ratio), Format("%.3f", wall), Format("%.3f", wallRatio),
             Format("%.3f", j.value("cpu_s", 0.0) / mib),
             Format("%.2f", j.value("voluntary", 0.0) / exchanges),
             last ? Format("≤ %.2f", kTargetManyBoards) : "",
             last ? Verdict(ok && ratio <= kTargetManyBoards && wallRatio <= kTargetManyBoards)
                  : ""});
        report.Flush();
    }
    report.text << "\nThe search on draining lines: ports that lead to no board, each pass's "
                   "16 steps at their own rates (a 23-byte frame lasts 0.19 s at 1200 baud), "
                   "the time from the first step's frame to the next pass's first frame, as "
                   "the line model saw the writes; the slowest port's.\n\n"
                << Header({"ports", "pass s (slowest port)", "over one port", "target", ""});
    double singlePass = 0;
    for (int ports : {1, kMostBoards}) {
        Child run(report.self, {"draining-search", "--ports", std::to_string(ports)});
        const nlohmann::json j = ReadResult(run, kUpgradeBound);
        run.Wait(kStopBound);
        const double pass = j.value("slowest_pass_s", 0.0);
        if (ports == 1) {
            singlePass = pass;
        }
        const double ratio = singlePass > 0 ? pass / singlePass : 0;
        const bool last = ports == kMostBoards;
        report.text << Row({std::to_string(ports), Format("%.3f", pass), Format("%.3f", ratio),
                            last ? Format("≤ %.2f", kTargetManyBoards) : "",
                            last ? Verdict(pass > 0 && ratio <= kTargetManyBoards) : ""});
        report.Flush();
    }
    report.text << "\n";
}

// `boards` paced tarvik-sims on lines that drain at their rate, one loop driver for all, as
// tarvik-cli runs them: when each board's upgrade ended, and what the process used.
int DrainingHelper(const std::string& sim, int boards, const std::string& image) {
    testing::DrainingLines lines;  // before any port opens
    std::vector<std::unique_ptr<Sim>> sims;
    for (int i = 0; i < boards; ++i) {
        sims.push_back(std::make_unique<Sim>(sim, std::vector<std::string>{"--pace"}));
    }
    CEventLoop loop;
    std::vector<std::unique_ptr<CLoopDriver>> drivers;
    size_t exchanges = 0;  // loop thread only
    for (int i = 0; i < boards; ++i) {
        drivers.push_back(std::make_unique<CLoopDriver>(loop));
        drivers.back()->onTrace = [&](TraceDirection direction, const uint8_t*, size_t) {
            exchanges += direction == TraceDirection::Received ? 1 : 0;
        };
        if (drivers.back()->OpenPort(sims[static_cast<size_t>(i)]->Path(), kTransferBaud) !=
            kErrSuccess) {
            std::cerr << "tarvik-bench: cannot open " << sims[static_cast<size_t>(i)]->Path()
                      << "\n";
            return 1;
        }
    }
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now();
    std::vector<Clock::time_point> started, ended(drivers.size());
    for (auto& driver : drivers) {
        started.push_back(Clock::now());
        if (driver->Engine().Start(image, "image.bin") != StartResult::Started) {
            return 1;
        }
    }
    std::vector<bool> done(drivers.size(), false);
    loop.RunUntil(
        [&] {
            bool all = true;
            for (size_t i = 0; i < drivers.size(); ++i) {
                if (!done[i] && drivers[i]->Engine().Outcome() != UpgradeOutcome::None) {
                    done[i] = true;
                    ended[i] = Clock::now();
                }
                all = all && done[i];
            }
            return all;
        },
        start + kUpgradeBound);
    getrusage(RUSAGE_SELF, &after);
    double slowest = 0;
    bool succeeded = true;
    Clock::time_point last = start;
    for (size_t i = 0; i < drivers.size(); ++i) {
        succeeded =
            succeeded && done[i] && drivers[i]->Engine().Outcome() == UpgradeOutcome::Succeeded;
        slowest = std::max(slowest, Seconds(ended[i] - started[i]).count());
        last = std::max(last, ended[i]);
    }
    CloseTogether(drivers);
    for (auto& board : sims) {
        board->Stop();
    }
    nlohmann::json j;
    j["all_succeeded"] = succeeded;
    j["slowest_s"] = slowest;
    j["wall_s"] = Seconds(last - start).count();
    j["cpu_s"] = CpuSeconds(after) - CpuSeconds(before);
    j["voluntary"] = after.ru_nvcsw - before.ru_nvcsw;
    j["involuntary"] = after.ru_nivcsw - before.ru_nivcsw;
    j["exchanges"] = exchanges;
    std::cout << j.dump() << std::endl;
    return 0;
}

// `ports` lines that drain at their rate and lead to no board: one search pass on each, the
// time from its first step's frame to the next pass's first frame as the line saw them.
int DrainingSearchHelper(int ports) {
    const TempFolder folder;
    testing::DrainingLines lines;
    std::mutex mutex;
    std::map<std::string, std::vector<Clock::time_point>> writes;
    lines.onWrite = [&](const std::string& path, size_t) {
        std::lock_guard<std::mutex> lock(mutex);
        writes[path].push_back(Clock::now());
    };
    std::vector<int> masters;
    std::vector<std::string> slaves;
    for (int i = 0; i < ports; ++i) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            std::cerr << "tarvik-bench: no pseudo-terminal\n";
            return 1;
        }
        masters.push_back(master);
        slaves.emplace_back(ptsname(master));
    }
    const std::string imagePath = folder.File("search.bin");
    WriteFile(imagePath, MakeImage(kBlockBytes));
    CEventLoop loop;
    std::vector<std::unique_ptr<CLoopDriver>> drivers;
    for (const std::string& slave : slaves) {
        drivers.push_back(std::make_unique<CLoopDriver>(loop));
        if (drivers.back()->OpenPort(slave, kTransferBaud) != kErrSuccess) {
            std::cerr << "tarvik-bench: cannot open " << slave << "\n";
            return 1;
        }
    }
    for (auto& driver : drivers) {
        driver->Engine().Start(imagePath, "search.bin");
    }
    const auto passed = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& slave : slaves) {
            if (writes[slave].size() <= kNextPassWrite) {
                return false;
            }
        }
        return true;
    };
    const bool complete = loop.RunUntil(passed, Clock::now() + kSearchBound);
    for (auto& driver : drivers) {
        driver->Engine().OnStop();
    }
    CloseTogether(drivers);
    double slowest = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& slave : slaves) {
            const auto& w = writes[slave];
            if (w.size() > kNextPassWrite) {
                slowest =
                    std::max(slowest, Seconds(w[kNextPassWrite] - w[kFirstScanWrite]).count());
            }
        }
    }
    for (int master : masters) {
        close(master);
    }
    nlohmann::json j;
    j["complete"] = complete;
    j["slowest_pass_s"] = complete ? slowest : 0.0;
    std::cout << j.dump() << std::endl;
    return 0;
}

}  // namespace tarvik::bench
