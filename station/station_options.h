// The station's options: what an upgrade was asked to do (`tarvik-cli upgrade`, one board or
// the station's rows with --repeat), their defaults and bounds, and the exit codes that
// tarvik-cli and both station windows end with. Read once here for the command line and the
// station windows; plain C++.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/driver.h"

namespace tarvik {

// Exit codes of tarvik-cli, for scripts and production lines.
enum ExitCode : int {
    kExitOk = 0,            // every board succeeded (or `ports` listed)
    kExitFailed = 1,        // an upgrade failed
    kExitUsage = 2,         // usage error, or the image was rejected
    kExitPortFailed = 3,    // a port could not be opened
    kExitNotFound = 4,      // no board answered within the search time-out
    kExitInterrupted = 130  // SIGINT or SIGTERM: every port stopped and closed
};

// The window's first-run line settings: 115200 baud, 8 data bits, no parity, one stop bit.
inline constexpr uint32_t kDefaultBaud = 115200;
inline constexpr int kDefaultDataBits = 8;
inline constexpr const char kDefaultParity[] = "none";
inline constexpr const char kDefaultStopBits[] = "1";
// How long an upgrade may stay stalled (a failure shown, no timer running) before it ends.
inline constexpr std::chrono::milliseconds kDefaultStallTimeout{5000};

// What the numeric options accept. The time-outs (seconds): below a tenth of a second no
// board can even answer; above a day is no bound anyone means (leave --search-timeout out
// for that), and far larger values would not fit the clock's arithmetic.
inline constexpr double kMinTimeoutSeconds = 0.1;
inline constexpr double kMaxTimeoutSeconds = 86400;
// The rate the port is opened with (baud): the slowest and fastest rates a serial driver
// names; the search sets its own rates anyway.
inline constexpr uint32_t kMinBaud = 50;
inline constexpr uint32_t kMaxBaud = 4000000;
// --count: boards on each port; more than anyone upgrades in one sitting.
inline constexpr uint64_t kMaxStationBoards = 1000000;

struct UpgradeOptions {
    std::vector<std::string> ports;  // COM names or device paths, in the order given
    std::string image;
    int dataBits = kDefaultDataBits;                         // 7 or 8
    std::string parity = kDefaultParity;                     // none, odd, even
    std::string stopBits = kDefaultStopBits;                 // 1, 1.5, 2
    uint32_t baud = kDefaultBaud;                            // used when the port is opened
    std::optional<std::chrono::milliseconds> searchTimeout;  // none: search without end
    std::chrono::milliseconds stallTimeout = kDefaultStallTimeout;
    bool trace = false;
    bool quiet = false;
    // The station (--repeat): one board after another on every port.
    bool repeat = false;
    std::optional<uint64_t> count;  // boards to take on each port; none: until Ctrl-C
    bool stopOnFail = false;
    bool bell = false;
    std::optional<std::string> log;  // the record of every board taken
};

// The list selections the window would have for these settings: data bits - 7, the index
// of the parity in none/odd/even, the index of the stop bits in 1/1.5/2. Values outside
// those lists give -1 (no selection), as an empty list does in the window.
LineSelections SelectionsFor(const UpgradeOptions& options);

// Seconds as given on the command line, to whole milliseconds (rounded to nearest).
std::chrono::milliseconds SecondsToMs(double seconds);

}  // namespace tarvik
