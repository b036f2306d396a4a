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
std::string summaryJson(const Board& board, std::uint64_t badFrames,
                        const std::vector<std::int64_t>& turnaroundsUs, std::string_view reason);

}  // namespace tarvik::sim
