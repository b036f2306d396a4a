// The command line of tarvik-sim.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "board.h"

namespace tarvik::sim {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitTimedOut = 1;  // --once and --timeout ran out first; or the line failed
inline constexpr int kExitUsage = 2;

// How long a finished board of a row runs its application (silent) before the next board
// is on the line, unless --swap says otherwise.
inline constexpr std::chrono::seconds kDefaultSwap{2};

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
    // Boards one after another (--boards, --swap, --stay); nothing of it without those
    // options: a single board then restarts into its firmware and answers again at once.
    bool row = false;
    std::uint64_t boards = 1;
    std::chrono::nanoseconds swap{kDefaultSwap};
    std::chrono::nanoseconds stay{0};
    std::vector<std::uint64_t> wrongSumBoards;  // boards of the row that answer a wrong sum
};

// The path --out writes board `board`'s image to: its "%d" replaced by the number.
std::string outPathFor(const std::string& pattern, std::uint64_t board);

// Parses the command line. Returns the options, or the exit code when the program is to
// end at once (--help: 0, after printing the help; a usage error: 2, after saying why on
// standard error).
std::variant<Options, int> parseOptions(int argc, char** argv);

// Where --com N puts its link: $XDG_CONFIG_HOME/tarvik-ports/comN, else
// ~/.config/tarvik-ports/comN. Empty if neither folder is known.
std::string comLinkPath(unsigned com);

}  // namespace tarvik::sim
