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

void CBoardGoneWatch::Begin(Clock::time_point now) {
    m_lastAnswer = now;
    m_lastProbe.reset();
}

bool CBoardGoneWatch::ProbeDue(Clock::time_point now) const {
    return !m_lastProbe || now - *m_lastProbe >= kGoneProbePeriod;
}

void CBoardGoneWatch::ProbeSent(Clock::time_point now) {
    m_lastProbe = now;
}

void CBoardGoneWatch::AnswerSeen(Clock::time_point now) {
    m_lastAnswer = now;
}

bool CBoardGoneWatch::Gone(Clock::time_point now) const {
    // Silence alone is not enough: a probe must have gone out since the last answer and
    // had its time, or a board asked only before it answered would count as gone.
    return now - m_lastAnswer >= kGoneSilence && m_lastProbe && *m_lastProbe > m_lastAnswer &&
           now - *m_lastProbe >= kProbeAnswerTime;
}

CBoardGoneWatch::Clock::time_point CBoardGoneWatch::NextLook() const {
    if (!m_lastProbe) {
        return m_lastAnswer;
    }
    Clock::time_point next = *m_lastProbe + kGoneProbePeriod;
    if (*m_lastProbe > m_lastAnswer) {
        next =
            std::min(next, std::max(m_lastAnswer + kGoneSilence, *m_lastProbe + kProbeAnswerTime));
    }
    return next;
}

}  // namespace tarvik
