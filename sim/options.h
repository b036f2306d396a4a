// The command line of tarvik-sim.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>

#include "board.h"

namespace tarvik::sim {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitTimedOut = 1;  // --once and --timeout ran out first; or the line failed
inline constexpr int kExitUsage = 2;

struct Options {
    BoardSettings board;
    std::optional<std::string> link;    // symbolic link to make to the slave
    std::optional<unsigned> com;        // COM number: the link goes in the ports folder
    std::optional<std::string> device;  // serve this device instead of a new pty
    std::chrono::nanoseconds bootAfter{0};
    bool pace = false;
    std::optional<std::string> out;
    bool once = false;
    std::optional<std::chrono::nanoseconds> timeout;
    bool trace = false;
};

// Parses the command line. Returns the options, or the exit code when the program is to
// end at once (--help: 0, after printing the help; a usage error: 2, after saying why on
// standard error).
std::variant<Options, int> parseOptions(int argc, char** argv);

// Where --com N puts its link: $XDG_CONFIG_HOME/tarvik-ports/comN, else
// ~/.config/tarvik-ports/comN. Empty if neither folder is known.
std::string comLinkPath(unsigned com);

}  // namespace tarvik::sim
