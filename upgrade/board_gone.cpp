#include "upgrade/board_gone.h"

#include <algorithm>

#include "upgrade/frames.h"

namespace tarvik {

bool IsEnterUpgradeAnswer(const uint8_t* data, uint32_t count) {
    if (data == nullptr || count != kCmdFrameSize) {
        return false;
    }
    CCmdFrame reply;
    reply.Load(data);
    return reply.Verify() && reply.m_step == kStepEnterUpgrade;
}

namespace {

// The kinds take turns, so probes go out this often for each kind to be asked once per
// kGoneProbePeriod.
constexpr std::chrono::milliseconds kProbeTurn = kGoneProbePeriod / kProbeKinds;

}  // namespace

void CBoardGoneWatch::Begin(Clock::time_point now) {
    m_lastAnswer = now;
    m_lastProbe.reset();
    for (std::optional<Clock::time_point>& last : m_lastOfKind) {
        last.reset();
    }
    m_next = 0;
}

bool CBoardGoneWatch::ProbeDue(Clock::time_point now) const {
    return !m_lastProbe || now - *m_lastProbe >= kProbeTurn;
}

ProbeKind CBoardGoneWatch::NextKind() const {
    return static_cast<ProbeKind>(m_next);
}

void CBoardGoneWatch::ProbeSent(Clock::time_point now) {
    m_lastProbe = now;
    m_lastOfKind[m_next] = now;
    m_next = (m_next + 1) % kProbeKinds;
}

void CBoardGoneWatch::AnswerSeen(Clock::time_point now) {
    m_lastAnswer = now;
}

bool CBoardGoneWatch::Gone(Clock::time_point now) const {
    // Silence alone is not enough: a probe of each kind must have gone out since the last
    // answer and had its time, or a board asked only before it answered, or only at
    // settings it does not listen at, would count as gone.
    if (now - m_lastAnswer < kGoneSilence) {
        return false;
    }
    for (const std::optional<Clock::time_point>& last : m_lastOfKind) {
        if (!last || *last <= m_lastAnswer || now - *last < kProbeAnswerTime) {
            return false;
        }
    }
    return true;
}

CBoardGoneWatch::Clock::time_point CBoardGoneWatch::NextLook() const {
    if (!m_lastProbe) {
        return m_lastAnswer;
    }
    Clock::time_point next = *m_lastProbe + kProbeTurn;
    if (*m_lastProbe > m_lastAnswer) {
        next =
            std::min(next, std::max(m_lastAnswer + kGoneSilence, *m_lastProbe + kProbeAnswerTime));
    }
    return next;
}

}  // namespace tarvik
