// CPU with the port open and idle: `tarvik-bench idle` holds the engine, its reply reader
// and tarvik-cli's loop driver (the same code the window runs) on a silent tarvik-sim for ten
// seconds, measured with getrusage, against the target share of one processor. No peer: an
// idle port should cost next to nothing.
#include <sys/resource.h>

#include <chrono>
#include <iostream>
#include <string>

#include "line_floor.h"
#include "sections.h"
#include "upgrade/loop_driver.h"

namespace tarvik::bench {
namespace {

constexpr int kIdleSeconds = 10;
// The helper's own start and end around its idle seconds.
constexpr Ms kIdleHelperRoom{30000};
constexpr double kTargetIdleCpu = 0.005;

}  // namespace

void IdleCpu(Report& report) {
    Sim sim(report.options.sim, {});
    Child idle(report.self,
               {"idle", "--port", sim.Path(), "--seconds", std::to_string(kIdleSeconds)});
    const nlohmann::json j = ReadResult(idle, std::chrono::seconds(kIdleSeconds) + kIdleHelperRoom);
    idle.Wait(kStopBound);
    sim.Stop();
    const double cpuSeconds = j.value("cpu_s", -1.0);
    const double wall = j.value("wall_s", 1.0);
    const double share = cpuSeconds / wall;
    report.text << "### CPU with the port open and idle\n\n"
                << "The engine, its reply reader and the loop driver of tarvik-cli (the same "
                   "code the window runs) with the port open on a silent board, measured "
                   "with getrusage over "
                << kIdleSeconds << " s.\n\n"
                << Header({"case", "CPU s", "elapsed s", "share", "target", ""})
                << Row({"port open, idle", Format("%.4f", cpuSeconds), Format("%.2f", wall),
                        Format("%.3f %%", share * 100), Format("≤ %.1f %%", kTargetIdleCpu * 100),
                        Verdict(cpuSeconds >= 0 && share <= kTargetIdleCpu)})
                << "\n";
    report.Flush();
}

// The port open and idle: the loop driver with its reader, no upgrade, for `seconds`.
int IdleHelper(const std::string& port, int seconds) {
    CEventLoop loop;
    CLoopDriver driver(loop);
    if (driver.OpenPort(port, kTransferBaud) != kErrSuccess) {
        std::cerr << "tarvik-bench: cannot open " << port << "\n";
        return 1;
    }
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now();
    loop.RunUntil([] { return false; }, start + std::chrono::seconds(seconds));
    const double wall = Seconds(Clock::now() - start).count();
    getrusage(RUSAGE_SELF, &after);
    driver.ClosePort();
    nlohmann::json j;
    j["cpu_s"] = CpuSeconds(after) - CpuSeconds(before);
    j["wall_s"] = wall;
    std::cout << j.dump() << std::endl;
    return 0;
}

}  // namespace tarvik::bench
