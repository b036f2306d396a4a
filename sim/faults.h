// Faults the board commits on purpose, chosen on the command line.
//
// A rule names a frame kind by its step byte K (25..30) and the N-th frame of that kind the
// board understood (1-based, resends included), optionally for C frames in a row:
// "K@N", "K@NxC". A delay carries its length, "K@N:MS"; a duplicate may carry its gap.
// With several boards in a row every board counts its own frames, and "B/K@N" limits a rule
// to board B (1-based); without it the rule holds for every board.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "wire.h"

namespace tarvik::sim {

enum class FaultKind {
    kDrop,     // no reply
    kCorrupt,  // reply with a wrong checksum byte
    kDup,      // the reply, then the same reply again after a gap, as two bursts
    kBurst,    // the reply twice back to back in one write
    kDelay,    // the reply late
    kGarbage,  // a few garbage bytes right before the reply, in the same write
    kFail,     // refuse the frame: answer with the failure step
};

// The gap between the two bursts of a duplicated reply when the rule names none.
inline constexpr std::chrono::milliseconds kDefaultDupGap{30};

struct FaultRule {
    FaultKind kind = FaultKind::kDrop;
    Byte step = 0;
    std::uint64_t first = 1;              // the N of "K@N"
    std::uint64_t count = 1;              // the C of "xC"
    std::chrono::milliseconds length{0};  // delay, or gap of a duplicate
};

// Parses one rule for `kind`; on failure returns nothing and says why in `error`. A "B/" in
// front goes to `board` (a rule without one leaves it empty); without `board` it is an error.
std::optional<FaultRule> parseFaultRule(FaultKind kind, std::string_view text, std::string& error,
                                        std::optional<std::uint64_t>* board = nullptr);

// What the board does to the reply of one frame: the union of every rule that matches.
struct FaultSet {
    bool drop = false;
    bool corrupt = false;
    bool burst = false;
    bool garbage = false;
    bool fail = false;
    std::optional<std::chrono::milliseconds> dupGap;
    std::chrono::milliseconds delay{0};  // the longest of the matching delays

    bool any() const {
        return drop || corrupt || burst || garbage || fail || dupGap || delay.count() > 0;
    }
};

class FaultPlan {
public:
    // `board`: the rule holds only for that board of a row; none: for every board.
    void add(const FaultRule& rule, std::optional<std::uint64_t> board = std::nullopt) {
        m_rules.push_back(rule);
        m_boards.push_back(board);
    }
    // The faults for the `nth` understood frame (1-based) with step byte `step`.
    FaultSet match(Byte step, std::uint64_t nth) const;
    bool empty() const { return m_rules.empty(); }
    // The rules that hold for board `board` of a row (1-based).
    FaultPlan forBoard(std::uint64_t board) const;

private:
    std::vector<FaultRule> m_rules;
    std::vector<std::optional<std::uint64_t>> m_boards;  // per rule
};

// Loses each reply with a fixed probability, the same replies for the same seed.
class ReplyLoss {
public:
    ReplyLoss(double probability, std::uint32_t seed);
    // One draw per reply, whether or not the probability is zero, so that a seed names the
    // same pattern whatever else happens.
    bool lose();

private:
    std::uint64_t m_threshold;  // a draw below it loses the reply
    std::mt19937 m_random;
};

}  // namespace tarvik::sim
