// Many boards at once: one tarvik-cli with one --port per board, 1, 4 and 16 paced
// tarvik-sims on pseudo-terminals of their own at 115200, a 64 KiB image. Against the peer
// that matters here, one board alone: the slowest board's time and tarvik-cli's whole run
// with 16 boards over those with one.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sections.h"

namespace tarvik::bench {
namespace {

// The longest time tarvik-cli reports for a port that succeeded ("... 升级成功 ... 8.6 s").
double SlowestBoard(const std::string& output) {
    double slowest = 0;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const size_t unit = line.rfind(" s");
        if (line.find("升级成功") == std::string::npos || unit == std::string::npos || unit == 0) {
            continue;
        }
        const size_t number = line.rfind(' ', unit - 1);
        if (number != std::string::npos) {
            slowest = std::max(slowest, std::atof(line.c_str() + number + 1));
        }
    }
    return slowest;
}

}  // namespace

void ManyBoards(Report& report) {
    const TempFolder& folder = report.folder;
    report.text << "## Many boards at once\n\n"
                << "One tarvik-cli with one --port per board, each board a paced tarvik-sim at "
                   "115200, a 64 KiB image. The slowest board's time is the longest that "
                   "tarvik-cli reports for a port (from Start to the end, to 0.1 s); its "
                   "elapsed time also holds opening and closing every port.\n\n"
                << Header({"boards", "all exact", "slowest board s", "over one board",
                           "tarvik-cli elapsed s", "over one board", "target", ""});
    const Bytes image = MakeImage(kSmallImage);
    const std::string imagePath = folder.File("many.bin");
    WriteFile(imagePath, image);
    double single = 0;
    double singleWall = 0;
    for (int boards : {1, 4, kMostBoards}) {
        std::vector<std::unique_ptr<Sim>> sims;
        std::vector<std::string> args = {"upgrade", "--image", imagePath, "--quiet"};
        for (int i = 0; i < boards; ++i) {
            const std::string out = folder.File("many" + std::to_string(i) + ".bin");
            std::filesystem::remove(out);
            sims.push_back(std::make_unique<Sim>(report.options.sim,
                                                 std::vector<std::string>{"--pace", "--out", out}));
            args.insert(args.end(), {"--port", sims.back()->Path()});
        }
        Child cli(report.options.cli, args);
        const std::optional<Usage> usage = cli.Wait(kUpgradeBound);
        const double slowest = SlowestBoard(cli.Output());
        bool exact = usage && usage->exitCode == 0;
        for (int i = 0; i < boards; ++i) {
            sims[static_cast<size_t>(i)]->Stop();
            exact = exact && BoardHolds(folder.File("many" + std::to_string(i) + ".bin"), image);
        }
        const double elapsed = usage ? usage->wall.count() : 0;
        if (boards == 1) {
            single = slowest;
            singleWall = elapsed;
        }
        const double ratio = slowest / single;
        const double wallRatio = elapsed / singleWall;
        const bool last = boards == kMostBoards;
        report.text << Row(
            {std::to_string(boards), exact ? "yes" : "**no**", Format("%.1f", slowest),
             Format("%.3f", ratio), Format("%.3f", elapsed), Format("%.3f", wallRatio),
             last ? Format("≤ %.2f", kTargetManyBoards) : "",
             last ? Verdict(exact && ratio <= kTargetManyBoards && wallRatio <= kTargetManyBoards)
                  : ""});
        report.Flush();
    }
    report.text << "\n";
}

}  // namespace tarvik::bench
