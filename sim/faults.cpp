#include "faults.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tarvik::sim {

namespace {

// Reads an unsigned decimal number at the front of `text` and removes it.
bool takeNumber(std::string_view& text, std::uint64_t& value) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr == begin) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(ptr - begin));
    return true;
}

bool takeChar(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::optional<FaultRule> parseFaultRule(FaultKind kind, std::string_view text, std::string& error,
                                        std::optional<std::uint64_t>* board) {
    const std::string original(text);
    FaultRule rule;
    rule.kind = kind;
    if (board != nullptr) {
        board->reset();
    }
    if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
        std::string_view boardText = text.substr(0, slash);
        std::uint64_t number = 0;
        if (board == nullptr || !takeNumber(boardText, number) || !boardText.empty() ||
            number == 0) {
            error = "'" + original + "': expected B/K@N with the board B counting from 1";
            return std::nullopt;
        }
        *board = number;
        text.remove_prefix(slash + 1);
    }
    std::uint64_t step = 0;
    if (!takeNumber(text, step) || step < kFirstStep || step > kLastStep) {
        error = "'" + original + "': the frame kind must be a step byte from 25 to 30";
        return std::nullopt;
    }
    rule.step = static_cast<Byte>(step);
    if (!takeChar(text, '@') || !takeNumber(text, rule.first) || rule.first == 0) {
        error = "'" + original + "': expected K@N with N counting from 1";
        return std::nullopt;
    }
    if (takeChar(text, 'x') && (!takeNumber(text, rule.count) || rule.count == 0)) {
        error = "'" + original + "': the repeat count after 'x' must be 1 or more";
        return std::nullopt;
    }
    const bool takesLength = kind == FaultKind::kDelay || kind == FaultKind::kDup;
    if (takesLength && takeChar(text, ':')) {
        std::uint64_t ms = 0;
        if (!takeNumber(text, ms)) {
            error = "'" + original + "': expected milliseconds after ':'";
            return std::nullopt;
        }
        rule.length = std::chrono::milliseconds(ms);
    } else if (kind == FaultKind::kDelay) {
        error = "'" + original + "': a delay needs its length, K@N:MS";
        return std::nullopt;
    } else if (kind == FaultKind::kDup) {
        rule.length = kDefaultDupGap;
    }
    if (!text.empty()) {
        error = "'" + original + "': unexpected '" + std::string(text) + "'";
        return std::nullopt;
    }
    return rule;
}

FaultSet FaultPlan::match(Byte step, std::uint64_t nth) const {
    FaultSet set;
    for (const FaultRule& r : m_rules) {
        if (r.step != step || nth < r.first || nth - r.first >= r.count) {
            continue;
        }
        switch (r.kind) {
            case FaultKind::kDrop:
                set.drop = true;
                break;
            case FaultKind::kCorrupt:
                set.corrupt = true;
                break;
            case FaultKind::kDup:
                set.dupGap = set.dupGap ? std::max(*set.dupGap, r.length) : r.length;
                break;
            case FaultKind::kBurst:
                set.burst = true;
                break;
            case FaultKind::kDelay:
                set.delay = std::max(set.delay, r.length);
                break;
            case FaultKind::kGarbage:
                set.garbage = true;
                break;
            case FaultKind::kFail:
                set.fail = true;
                break;
        }
    }
    return set;
}

FaultPlan FaultPlan::forBoard(std::uint64_t board) const {
    FaultPlan plan;
    for (std::size_t i = 0; i < m_rules.size(); ++i) {
        if (!m_boards[i] || *m_boards[i] == board) {
            plan.add(m_rules[i]);
        }
    }
    return plan;
}

ReplyLoss::ReplyLoss(double probability, std::uint32_t seed) : m_random(seed) {
    // The draws are 32-bit; a probability of 1 puts the threshold above every draw.
    constexpr double kDrawRange = 4294967296.0;
    const double p = std::clamp(probability, 0.0, 1.0);
    m_threshold = static_cast<std::uint64_t>(std::llround(p * kDrawRange));
}

bool ReplyLoss::lose() {
    return static_cast<std::uint64_t>(m_random()) < m_threshold;
}

}  // namespace tarvik::sim
