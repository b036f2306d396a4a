#include "options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "tarvik_version.h"

namespace tarvik::sim {

namespace {

constexpr unsigned kHighestCom = 256;
constexpr std::uint32_t kHighestBlockNumber = 0xFFFF;
constexpr std::uint64_t kMostBoards = 1'000'000;
constexpr char kBoardNumberMark[] = "%d";

constexpr const char* kHelpFooter = R"(
Frames and faults:
  A frame kind K is its step byte: 25 enter-upgrade, 26 begin-transfer, 27 data block,
  28 final block, 29 checksum request, 30 finish. N counts the frames of that kind the
  board understood (heard at its rate), from 1, resends included; xC extends a rule to
  the next C-1 frames of that kind as well. Every fault option may be repeated, and
  faults combine. A dropped or lost reply still means the frame was handled (a block is
  stored); a refused frame (--fail) is not handled.

Line speed:
  The board understands a frame only when the tool's port is at the rate the board
  listens at: --baud until it has answered enter-upgrade, 115200 from then on, and --baud
  again after the finish command (the board restarts into the new firmware).

Boards in a row:
  --boards N serves N boards one after another on the same port. After its finish
  command, a frame it refused (--fail) or a wrong sum it answered (the tool gives up
  on it, and the operator takes it off), a board keeps
  answering enter-upgrade (and nothing else) for --stay seconds, then runs its
  application: silent for --swap seconds (2). Then the next board is on the line in
  boot mode. Each board counts its own frames for the faults; B/K@N limits a fault to
  board B. --out writes one file per board: a %d in its name becomes the board's number.
  --once ends after the last board.

Output:
  The first line of standard output is the port's path. When the program ends it prints
  one line of JSON: frames (per step byte), bad_frames, wrong_speed, out_of_order,
  resends, replies, lost_replies, sum, finished, upgrades, speeds (rates heard, in order),
  image_bytes (these of the board on the line at the end), boards (boards of a row
  finished or refused), turnaround_us (median, p99, count: from the last byte of a reply
  to the first byte of the tool's next frame, in microseconds; all 0 when there was
  none) and reason (once, timeout, signal, vanish, line).
  Exit code 0; 1 when --once ran out of time without a completed upgrade, or the line
  failed; 2 for a usage error.
)";

std::chrono::nanoseconds secondsToNanos(double seconds) {
    return std::chrono::nanoseconds(std::llround(seconds * 1e9));
}

}  // namespace

std::string comLinkPath(unsigned com) {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    return base + "/tarvik-ports/com" + std::to_string(com);
}

std::string outPathFor(const std::string& pattern, std::uint64_t board) {
    std::string path = pattern;
    const std::string number = std::to_string(board);
    for (std::size_t at = path.find(kBoardNumberMark); at != std::string::npos;
         at = path.find(kBoardNumberMark, at + number.size())) {
        path.replace(at, sizeof kBoardNumberMark - 1, number);
    }
    return path;
}

std::variant<Options, int> parseOptions(int argc, char** argv) {
    Options o;
    // Named, so that the usage line shows the program's name and not the path it was run by.
    CLI::App app{"tarvik-sim: a simulated relay control board on a pseudo-terminal", "tarvik-sim"};
    app.footer(kHelpFooter);
    app.set_version_flag("--version", std::string("tarvik-sim ") + kVersion,
                         "Print the version and exit");

    app.add_option("--baud", o.board.baud, "Rate the board listens at until enter-upgrade")
        ->check(CLI::Range(1u, 100'000'000u));
    auto* link = app.add_option("--link", o.link, "Make a symbolic link PATH to the port");
    app.add_option("--com", o.com,
                   "Make the port COM N: a link in the tarvik-ports folder of the "
                   "configuration folder")
        ->check(CLI::Range(1u, kHighestCom))
        ->excludes(link);
    app.add_option("--device", o.device, "Serve an existing device instead of a new pty");
    app.add_flag("--garble", o.board.garble,
                 "Answer a frame heard at the wrong rate with a few garbage bytes");
    double bootAfter = 0;
    app.add_option("--boot-after", bootAfter, "Ignore everything for SEC seconds")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--end-dot", o.board.endDot, "End replies 'E' '.' instead of 'E' 'D'");
    app.add_flag("--pace", o.pace,
                 "Take the line's time: frames count only once their bytes could have "
                 "arrived, replies go out byte by byte (10 bits per byte)");

    std::vector<std::string> drops, corrupts, dups, bursts, delays, garbages, fails;
    auto faultOption = [&app](const char* name, std::vector<std::string>& into, const char* help) {
        app.add_option(name, into, help)
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    };
    faultOption("--drop", drops, "K@N[xC]: no reply");
    faultOption("--corrupt", corrupts, "K@N[xC]: reply with a wrong checksum byte");
    faultOption("--dup", dups, "K@N[xC][:MS]: the reply, then again MS ms later (30)");
    faultOption("--burst", bursts, "K@N[xC]: the reply twice in one write");
    faultOption("--delay", delays, "K@N[xC]:MS: the reply MS ms late");
    faultOption("--garbage", garbages, "K@N[xC]: garbage bytes right before the reply");
    faultOption("--fail", fails, "K@N[xC]: refuse, answering with step 0");
    app.add_flag("--wrong-sum", o.board.wrongSum, "The checksum reply carries the sum plus 1");
    app.add_option("--wrong-sum-board", o.wrongSumBoards,
                   "B: with --boards, only board B answers with the sum plus 1 (repeatable)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(CLI::Range(std::uint64_t{1}, kMostBoards));
    app.add_flag("--silent-finish", o.board.silentFinish,
                 "No reply to the finish command (the upgrade still counts as completed)");
    std::optional<std::uint32_t> vanishAfter;
    app.add_option("--vanish-after", vanishAfter,
                   "After acknowledging block N, print the summary, close the port and end")
        ->check(CLI::Range(0u, kHighestBlockNumber));
    app.add_option("--loss", o.board.loss, "Lose each reply with probability P")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--seed", o.board.seed, "Seed of --loss");

    app.add_option("--out", o.out,
                   "Write the image as received (all blocks in order, fill included) when "
                   "the finish command arrives and at exit");
    app.add_flag("--once", o.once, "End after one completed upgrade (after --boards N: N)");
    auto* boardsOption = app.add_option("--boards", o.boards, "Serve N boards one after another")
                             ->check(CLI::Range(std::uint64_t{1}, kMostBoards));
    double swap = std::chrono::duration<double>(kDefaultSwap).count();
    auto* swapOption = app.add_option("--swap", swap,
                                      "A finished board runs its application, silent, for SEC "
                                      "seconds before the next board answers (2)")
                           ->check(CLI::NonNegativeNumber);
    double stay = 0;
    auto* stayOption = app.add_option("--stay", stay,
                                      "A finished board keeps answering enter-upgrade for SEC "
                                      "seconds first")
                           ->check(CLI::NonNegativeNumber);
    double timeout = 0;
    auto* timeoutOption =
        app.add_option("--timeout", timeout, "End after SEC seconds")->check(CLI::PositiveNumber);
    app.add_flag("--trace", o.trace, "Print every frame and reply on standard error");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    const std::pair<FaultKind, const std::vector<std::string>*> lists[] = {
        {FaultKind::kDrop, &drops},   {FaultKind::kCorrupt, &corrupts},
        {FaultKind::kDup, &dups},     {FaultKind::kBurst, &bursts},
        {FaultKind::kDelay, &delays}, {FaultKind::kGarbage, &garbages},
        {FaultKind::kFail, &fails},
    };
    for (const auto& [kind, texts] : lists) {
        for (const std::string& text : *texts) {
            std::string error;
            std::optional<std::uint64_t> board;
            auto rule = parseFaultRule(kind, text, error, &board);
            if (!rule) {
                std::cerr << "tarvik-sim: " << error << "\n";
                return kExitUsage;
            }
            o.board.faults.add(*rule, board);
        }
    }
    if (vanishAfter) {
        o.board.vanishAfter = static_cast<std::uint16_t>(*vanishAfter);
    }
    o.bootAfter = secondsToNanos(bootAfter);
    if (timeoutOption->count() > 0) {
        o.timeout = secondsToNanos(timeout);
    }
    o.row = boardsOption->count() > 0 || swapOption->count() > 0 || stayOption->count() > 0;
    o.swap = secondsToNanos(swap);
    o.stay = secondsToNanos(stay);
    if (o.out && o.boards > 1 && o.out->find(kBoardNumberMark) == std::string::npos) {
        std::cerr << "tarvik-sim: --out needs a %d in its name for --boards above 1\n";
        return kExitUsage;
    }
    if (o.com && comLinkPath(*o.com).empty()) {
        std::cerr << "tarvik-sim: --com needs XDG_CONFIG_HOME or HOME\n";
        return kExitUsage;
    }
    return o;
}

}  // namespace tarvik::sim
