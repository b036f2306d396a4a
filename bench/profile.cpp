// Where the time of a transfer goes: one 64 KiB upgrade at 115200 through the paced line, run
// by `tarvik-bench profile` on tarvik-cli's loop driver with every frame and reply stamped as
// the engine sends and receives it; the excess over the protocol's floor (line_floor.h) split
// into the board's cycles, the tool's turns, the pause after the board answered and the close.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "line_floor.h"
#include "sections.h"
#include "upgrade/loop_driver.h"

namespace tarvik::bench {

void WhereTheTimeGoes(Report& report) {
    const Bytes image = MakeImage(kSmallImage);
    const std::string imagePath = report.folder.File("profile.bin");
    WriteFile(imagePath, image);
    Line paced(report.self);
    nlohmann::json j;
    {
        Sim sim(report.options.sim, {"--device", paced.B()});
        Child profile(report.self, {"profile", "--port", paced.A(), "--image", imagePath});
        j = ReadResult(profile, kUpgradeBound);
        profile.Wait(kStopBound);
        sim.Stop();
    }
    const LineFigures seen = Figures(paced.Stop(), kDataFrameBytes);
    const double exchanges = j.value("exchanges", 0.0);
    const uint64_t blocks = kSmallImage / kBlockBytes + 1;
    const double wire = WireTime(kCommandFrameBytes + kReplyBytes, kTransferBaud).count() * 4 +
                        WireTime(blocks * (kDataFrameBytes + kReplyBytes), kTransferBaud).count();
    const double gaps = exchanges * std::chrono::duration<double>(kBurstGap).count();
    const double cycles = j.value("board_cycles_s", 0.0);
    const double turns = j.value("tool_turns_s", 0.0);
    const double wall = j.value("wall_s", 0.0);
    const double floor = UpgradeFloor(kSmallImage, kTransferBaud).count();
    const double readerMs = seen.turnMedianMs -
                            std::chrono::duration<double, std::milli>(kBurstGap).count() -
                            j.value("tool_turn_median_us", 0.0) / 1000;
    report.text << "### Where the time of a transfer goes\n\n"
                << "One 64 KiB upgrade at 115200 through the paced line, run in this process on "
                   "tarvik-cli's loop driver, every frame and reply stamped as the engine sends "
                   "and receives it ("
                << (j.value("succeeded", false) ? "升级成功" : "**not completed**")
                << "). A board's cycle runs from a frame written to its reply handed to the "
                   "engine; the tool's turn from a reply handed over to the next frame "
                   "written.\n\n"
                << Header({"part", "s", "per exchange ms", "share of the excess over the floor"})
                << Row({"elapsed", Format("%.3f", wall), "", ""})
                << Row({"the protocol's floor", Format("%.3f", floor), "", ""})
                << Row({"excess", Format("%.3f", wall - floor), "", "100 %"})
                << Row({"board's cycles beyond wire time and 2 ms read end",
                        Format("%.3f", cycles - wire - gaps),
                        Format("%.3f", (cycles - wire - gaps) / exchanges * 1000),
                        Format("%.0f %%", 100 * (cycles - wire - gaps) / (wall - floor))})
                << Row({"tool's turns (reply handed over to next frame written)",
                        Format("%.3f", turns), Format("%.3f", turns / exchanges * 1000),
                        Format("%.0f %%", 100 * turns / (wall - floor))})
                << Row({"tool's turn, median", "",
                        Format("%.3f", j.value("tool_turn_median_us", 0.0) / 1000), ""})
                << Row({"of the board's cycle: the tool's reader, about (turnaround median "
                        "above 2 ms, less the tool's turn)",
                        "", Format("%.3f", readerMs), ""})
                << Row({"of the board's cycle: the board's reaction, about (the rest)", "",
                        Format("%.3f", (cycles - wire - gaps) / exchanges * 1000 - readerMs), ""})
                << Row({"the pause after the board answered, beyond 100 ms",
                        Format("%.3f", j.value("settle_turn_s", 0.0) - 0.1), "", ""})
                << Row({"turnaround seen on the line, median / p99 ms", "",
                        Format("%.3f", seen.turnMedianMs) + " / " + Format("%.3f", seen.turnP99Ms),
                        ""})
                << Row({"closing the port after the outcome", "",
                        Format("%.3f", j.value("close_s", 0.0) * 1000), ""})
                << "\n";
    report.Flush();
}

// One upgrade run in this process on the loop driver (as tarvik-cli runs it), every frame and
// reply stamped as the engine sends and receives it: where the time of an exchange goes.
//   board's cycle: from a frame written to its reply handed to the engine: the frame and
//                  the reply on the wire, the board's reaction, the 2 ms that end the read,
//                  the reader's wake-up and hand-over;
//   tool's turn:   from a reply handed over to the next frame written.
int ProfileHelper(const std::string& port, const std::string& image) {
    CEventLoop loop;
    CLoopDriver driver(loop);
    std::vector<std::pair<TraceDirection, Clock::time_point>> events;
    events.reserve(1 << 16);
    driver.onTrace = [&](TraceDirection direction, const uint8_t*, size_t) {
        events.emplace_back(direction, Clock::now());
    };
    if (driver.OpenPort(port, kTransferBaud) != kErrSuccess) {
        std::cerr << "tarvik-bench: cannot open " << port << "\n";
        return 1;
    }
    const Clock::time_point start = Clock::now();
    if (driver.Engine().Start(image, "image.bin") != StartResult::Started) {
        return 1;
    }
    loop.RunUntil([&] { return driver.Engine().Outcome() != UpgradeOutcome::None; },
                  start + kUpgradeBound);
    const double wall = Seconds(Clock::now() - start).count();
    const Clock::time_point closing = Clock::now();
    driver.ClosePort();
    const double close = Seconds(Clock::now() - closing).count();
    double cycles = 0, turns = 0, settle = 0;
    size_t exchanges = 0;
    std::vector<double> turnList;
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        const double gap = Seconds(events[i + 1].second - events[i].second).count();
        if (events[i].first == TraceDirection::Sent &&
            events[i + 1].first == TraceDirection::Received) {
            cycles += gap;
            ++exchanges;
        } else if (events[i].first == TraceDirection::Received &&
                   events[i + 1].first == TraceDirection::Sent) {
            // The turn after the enter-upgrade answer holds the fixed 100 ms pause.
            if (exchanges == 1) {
                settle = gap;
            } else {
                turns += gap;
                turnList.push_back(gap);
            }
        }
    }
    std::sort(turnList.begin(), turnList.end());
    nlohmann::json j;
    j["succeeded"] = driver.Engine().Outcome() == UpgradeOutcome::Succeeded;
    j["wall_s"] = wall;
    j["exchanges"] = exchanges;
    j["board_cycles_s"] = cycles;
    j["tool_turns_s"] = turns;
    j["tool_turn_median_us"] = turnList.empty() ? 0 : turnList[turnList.size() / 2] * 1e6;
    j["settle_turn_s"] = settle;
    j["close_s"] = close;
    std::cout << j.dump() << std::endl;
    return 0;
}

}  // namespace tarvik::bench
