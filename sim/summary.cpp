#include "summary.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace tarvik::sim {

namespace {
constexpr double kMedianRank = 0.50;
constexpr double kP99Rank = 0.99;

std::int64_t nearestRank(const std::vector<std::int64_t>& sorted, double rank) {
    const auto n = static_cast<double>(sorted.size());
    auto index = static_cast<std::size_t>(std::ceil(rank * n));
    index = std::clamp<std::size_t>(index, 1, sorted.size());
    return sorted[index - 1];
}
}  // namespace

Percentiles percentiles(std::vector<std::int64_t> samples) {
    Percentiles p;
    p.count = samples.size();
    if (samples.empty()) {
        return p;
    }
    std::sort(samples.begin(), samples.end());
    p.median = nearestRank(samples, kMedianRank);
    p.p99 = nearestRank(samples, kP99Rank);
    return p;
}

std::string summaryJson(const Board& board, std::uint64_t badFrames,
                        const std::vector<std::int64_t>& turnaroundsUs, std::string_view reason,
                        const RowCounts& row) {
    const BoardStats& s = board.stats();
    nlohmann::ordered_json frames = nlohmann::ordered_json::object();
    // Every step of the protocol is listed, also when none came; other steps when they did.
    for (int step = kFirstStep; step <= kLastStep; ++step) {
        frames[std::to_string(step)] = 0;
    }
    for (const auto& [step, count] : s.frames) {
        frames[std::to_string(step)] = count;
    }
    const Percentiles t = percentiles(turnaroundsUs);
    nlohmann::ordered_json j;
    j["frames"] = frames;
    j["bad_frames"] = badFrames;
    j["wrong_speed"] = s.wrongSpeed;
    j["out_of_order"] = s.outOfOrder;
    j["resends"] = s.resends;
    j["replies"] = s.replies;
    j["lost_replies"] = s.lostReplies;
    j["sum"] = board.sum();
    j["finished"] = s.finished;
    j["upgrades"] = row.upgradesBefore + s.upgrades;
    j["speeds"] = s.speeds;
    j["image_bytes"] = board.image().size();
    j["boards"] = row.boardsFinished;
    j["turnaround_us"] = {{"median", t.median}, {"p99", t.p99}, {"count", t.count}};
    j["reason"] = reason;
    return j.dump();
}

}  // namespace tarvik::sim
