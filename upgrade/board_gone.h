// Whether the board on a fixture has gone: a station must never take the same board twice
// by accident, so after a board's outcome it asks with the enter-upgrade frame, at the rate
// the board was found at, once per resend period, until no answer has come for a while.
//
// Plain logic on a clock the caller passes in: the caller sends the probes and hands over
// what it received.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "upgrade/engine.h"

namespace tarvik {

// The board has gone once it has not answered for this long...
inline constexpr std::chrono::milliseconds kGoneSilence{1500};
// ...asked once per resend period...
inline constexpr std::chrono::milliseconds kGoneProbePeriod = kResendPeriod;
// ...and a probe sent after its last answer has had this long to be answered.
inline constexpr std::chrono::milliseconds kProbeAnswerTime{300};

// `count` bytes received are an answer to the enter-upgrade frame (one whole, valid reply).
bool IsEnterUpgradeAnswer(const uint8_t* data, uint32_t count);

class CBoardGoneWatch {
public:
    using Clock = std::chrono::steady_clock;

    // The board's outcome came at `now`: it counts as an answer then, and a probe is due.
    void Begin(Clock::time_point now);
    bool ProbeDue(Clock::time_point now) const;
    void ProbeSent(Clock::time_point now);
    void AnswerSeen(Clock::time_point now);
    bool Gone(Clock::time_point now) const;
    // When something is next to be done or decided.
    Clock::time_point NextLook() const;

private:
    Clock::time_point m_lastAnswer{};
    std::optional<Clock::time_point> m_lastProbe;
};

}  // namespace tarvik
