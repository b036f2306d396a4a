// ./run without a display: the demo upgrades the simulated board with tarvik-cli.
#include <gtest/gtest.h>

#include "child_process.h"

namespace tarvik::testing {
namespace {

TEST(RunDemo, WithoutADisplayUpgradesTheSimulatedBoard) {
    ChildOptions options;
    options.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    // The programs of this build tree; ./run builds nothing here.
    const ChildResult r =
        RunChild(TARVIK_SOURCE_DIR "/run", {"--prebuilt", TARVIK_BINARY_DIR}, options);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("升级成功"), std::string::npos) << r.out << r.err;
}

}  // namespace
}  // namespace tarvik::testing
