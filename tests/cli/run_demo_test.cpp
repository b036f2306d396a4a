// ./run without a display: the demo upgrades the simulated board with tarvik-cli.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "child_process.h"

namespace tarvik::testing {
namespace {

// What a 115200 baud line can carry at most: 10 bits a byte (start, 8 data, stop).
constexpr double kLineBytesPerSecond = 115200 / 10.0;
constexpr double kBytesPerKiB = 1024.0;
constexpr double kBytesPerMiB = 1024.0 * 1024.0;

TEST(RunDemo, WithoutADisplayUpgradesTheSimulatedBoardAtARealLinesPace) {
    ChildOptions options;
    options.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    // The programs of this build tree; ./run builds nothing here.
    const ChildResult r =
        RunChild(TARVIK_SOURCE_DIR "/run", {"--prebuilt", TARVIK_BINARY_DIR}, options);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("升级成功"), std::string::npos) << r.out << r.err;

    // The demo's board takes the line's time, so no rate it shows beats a real line (a
    // loaded machine can only make it slower). A board answering at memory speed would show
    // several times the line's rate.
    const std::regex rate(R"(([0-9.]+) (B|KiB|MiB)/s)");
    int rates = 0;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), rate);
         it != std::sregex_iterator(); ++it, ++rates) {
        const std::string unit = (*it)[2];
        const double scale = unit == "MiB" ? kBytesPerMiB : unit == "KiB" ? kBytesPerKiB : 1.0;
        EXPECT_LE(std::stod((*it)[1]) * scale, kLineBytesPerSecond) << it->str();
    }
    EXPECT_GT(rates, 0) << "the demo showed no rate:\n" << r.out;
}

}  // namespace
}  // namespace tarvik::testing
