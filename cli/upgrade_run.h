// `tarvik-cli upgrade`: the same engine as the window, one per port, on one real-time loop.
#pragma once

#include "cli/options.h"

namespace tarvik::cli {

// Checks the image, opens every port, upgrades every board at once and reports; returns
// the exit code (ExitCode). Prints progress to standard output and errors (and the trace)
// to standard error.
int RunUpgrade(const UpgradeOptions& options);

}  // namespace tarvik::cli
