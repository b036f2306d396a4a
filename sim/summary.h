// The one-line JSON summary tarvik-sim prints when it ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"

namespace tarvik::sim {

// Nearest-rank percentiles of turnaround samples in microseconds; zeros when there are none.
struct Percentiles {
    std::int64_t median = 0;
    std::int64_t p99 = 0;
    std::size_t count = 0;
};
Percentiles percentiles(std::vector<std::int64_t> samples);

// The summary as one line of JSON (no newline).
// `row` counts the boards of a row: the finished ones and the finish commands of all of them
// (the board on the line included).
struct RowCounts {
    std::uint64_t boardsFinished = 0;
    std::uint64_t upgradesBefore = 0;  // finish commands of the boards before the one on the line
};
std::string summaryJson(const Board& board, std::uint64_t badFrames,
                        const std::vector<std::int64_t>& turnaroundsUs, std::string_view reason,
                        const RowCounts& row = {});

}  // namespace tarvik::sim
