// When a station takes a board as gone: silence after its last answer, with a probe sent since
// then that has had its time, never sooner.
#include "upgrade/board_gone.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "upgrade/frames.h"

namespace tarvik {
namespace {

using Ms = std::chrono::milliseconds;
using Clock = CBoardGoneWatch::Clock;

// Drives the watch on a test clock in 10 ms steps: a probe whenever one is due, answered
// while `answers(t, kind)` says the board is there and listens at the probe's settings.
// Returns when it first says gone (or never).
std::optional<Ms> GoneAfter(const std::function<bool(Ms, ProbeKind)>& answers, Ms limit) {
    const Clock::time_point start{};
    CBoardGoneWatch watch;
    watch.Begin(start);
    for (Ms t{0}; t <= limit; t += Ms{10}) {
        const Clock::time_point now = start + t;
        if (watch.Gone(now)) {
            return t;
        }
        if (watch.ProbeDue(now)) {
            const ProbeKind kind = watch.NextKind();
            watch.ProbeSent(now);
            if (answers(t, kind)) {
                watch.AnswerSeen(now + Ms{10});
            }
        }
    }
    return std::nullopt;
}

TEST(BoardGoneTest, GoneOnlyAfterTheSilenceWithAProbeUnanswered) {
    struct Case {
        const char* what;
        std::function<bool(Ms, ProbeKind)> answers;
        std::optional<Ms> earliest;  // nothing: never gone within the limit
        std::optional<Ms> latest;
    };
    const std::vector<Case> cases = {
        {"silent at once", [](Ms, ProbeKind) { return false; }, kGoneSilence,
         kGoneSilence + kGoneProbePeriod},
        // Asked twice a second, the kinds in turn: its last answer is to the probe at 2 s.
        {"answering for 2.5 s", [](Ms t, ProbeKind) { return t < Ms{2500}; },
         Ms{2000} + kGoneSilence, Ms{2500} + kGoneSilence + kGoneProbePeriod + kProbeAnswerTime},
        {"answering all along", [](Ms, ProbeKind) { return true; }, std::nullopt, std::nullopt},
        // A board that failed after it answered enter-upgrade listens at the transfer
        // settings only; one that never got that far, at the rate it was found at only.
        {"answering the transfer settings only",
         [](Ms, ProbeKind kind) { return kind == ProbeKind::Transfer; }, std::nullopt,
         std::nullopt},
        {"answering the found rate only",
         [](Ms, ProbeKind kind) { return kind == ProbeKind::Found; }, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<Ms> gone = GoneAfter(c.answers, Ms{20000});
        if (!c.earliest) {
            EXPECT_FALSE(gone.has_value());
            continue;
        }
        ASSERT_TRUE(gone.has_value());
        EXPECT_GE(*gone, *c.earliest);
        EXPECT_LE(*gone, *c.latest);
    }
}

TEST(BoardGoneTest, ProbesTakeTurnsFoundRateFirstAndBeginStartsAfresh) {
    const Clock::time_point start{};
    CBoardGoneWatch watch;
    watch.Begin(start);
    std::vector<ProbeKind> kinds;
    for (int i = 0; i < 4; ++i) {
        kinds.push_back(watch.NextKind());
        watch.ProbeSent(start + kGoneProbePeriod * i);
    }
    EXPECT_EQ(kinds, (std::vector<ProbeKind>{ProbeKind::Found, ProbeKind::Transfer,
                                             ProbeKind::Found, ProbeKind::Transfer}));
    watch.ProbeSent(start + kGoneProbePeriod * 4);  // a found-rate probe: next is the other
    watch.Begin(start + kGoneProbePeriod * 5);
    EXPECT_EQ(watch.NextKind(), ProbeKind::Found);
    EXPECT_TRUE(watch.ProbeDue(start + kGoneProbePeriod * 5));
}

TEST(BoardGoneTest, OnlyAWholeValidEnterUpgradeReplyCountsAsAnAnswer) {
    CCmdFrame enter = MakeEnterUpgradeFrame();
    const uint8_t* wire = enter.Pack();
    std::vector<uint8_t> reply(wire, wire + kCmdFrameSize);
    EXPECT_TRUE(IsEnterUpgradeAnswer(reply.data(), kCmdFrameSize));
    EXPECT_FALSE(IsEnterUpgradeAnswer(reply.data(), kCmdFrameSize - 1));
    EXPECT_FALSE(IsEnterUpgradeAnswer(nullptr, kCmdFrameSize));
    std::vector<uint8_t> broken = reply;
    broken[kCmdFrameSize - 3] ^= 1;  // the checksum byte
    EXPECT_FALSE(IsEnterUpgradeAnswer(broken.data(), kCmdFrameSize));
    CCmdFrame begin = MakeBeginTransferFrame();
    EXPECT_FALSE(IsEnterUpgradeAnswer(begin.Pack(), kCmdFrameSize));
}

}  // namespace
}  // namespace tarvik
