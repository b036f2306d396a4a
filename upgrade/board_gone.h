// Whether the board on a fixture has gone: a station must never take the same board twice
// by accident, so after a board's outcome it asks with the enter-upgrade frame until no
// answer has come for a while. A board that was found listens at the rate it was found at
// with the operator's settings; once it has answered enter-upgrade it listens at the
// transfer settings (115200 8N1) until it restarts. A failed board may be in either state,
// so the probes alternate between the two, each asked once per resend period, and the board
// counts as gone only when both went unanswered.
//
// Plain logic on a clock the caller passes in: the caller sends the probes and hands over
// what it received.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "upgrade/engine.h"

namespace tarvik {

// The board has gone once it has not answered for this long...
inline constexpr std::chrono::milliseconds kGoneSilence{1500};
// ...each kind of probe asked once per resend period...
inline constexpr std::chrono::milliseconds kGoneProbePeriod = kResendPeriod;
// ...and a probe sent after its last answer has had this long to be answered.
inline constexpr std::chrono::milliseconds kProbeAnswerTime{300};

// `count` bytes received are an answer to the enter-upgrade frame (one whole, valid reply).
bool IsEnterUpgradeAnswer(const uint8_t* data, uint32_t count);

// The line settings a probe goes out at.
enum class ProbeKind {
    Found,     // the rate the board was found at, with the operator's settings
    Transfer,  // the transfer settings, 115200 8N1
};
inline constexpr size_t kProbeKinds = 2;

class CBoardGoneWatch {
public:
    using Clock = std::chrono::steady_clock;

    // The board's outcome came at `now`: it counts as an answer then, and a probe is due.
    void Begin(Clock::time_point now);
    bool ProbeDue(Clock::time_point now) const;
    // The settings of the probe due next: the kinds take turns, the found rate first.
    ProbeKind NextKind() const;
    // A probe of NextKind() went out at `now`.
    void ProbeSent(Clock::time_point now);
    void AnswerSeen(Clock::time_point now);
    bool Gone(Clock::time_point now) const;
    // When something is next to be done or decided.
    Clock::time_point NextLook() const;

private:
    Clock::time_point m_lastAnswer{};
    std::optional<Clock::time_point> m_lastProbe;  // of either kind
    std::optional<Clock::time_point> m_lastOfKind[kProbeKinds];
    size_t m_next = 0;  // the kind of the next probe
};

}  // namespace tarvik
