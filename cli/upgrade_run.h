// `tarvik-cli upgrade`: the same engine as the window, one per port, on one real-time loop.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station/station_options.h"
#include "upgrade/engine.h"
#include "upgrade/image.h"

namespace tarvik::cli {

// Checks the image, opens every port, upgrades every board at once and reports; returns
// the exit code (ExitCode). Prints progress to standard output and errors (and the trace)
// to standard error.
int RunUpgrade(const UpgradeOptions& options);
// `upgrade --repeat`: every port a station of its own, one board after another
// (station_run.cpp).
int RunStation(const UpgradeOptions& options);

// Pieces both runs share.
// Where a name leads (canonical), empty when it leads nowhere.
std::string DeviceOf(const std::string& name);
// False, after saying so on standard error, when two names lead to one device.
bool PortsAreDistinct(const std::vector<std::string>& ports);
// Why a port did not open, or why its reader did not start, in the operator's terms.
std::string OpenFailure(const std::string& name, const std::string& device, uint32_t code);
// Said once for a port whose line's rate is a network server's: the scan cannot change it.
std::string RateFixedNote(const std::string& name, const std::string& device);
std::string ReaderFailure(const std::string& name, const std::string& device, uint32_t code);

}  // namespace tarvik::cli
