// Fault rules as written on the command line, and which frames they hit.
#include "faults.h"

#include <gtest/gtest.h>

#include "summary.h"

namespace {

using tarvik::sim::FaultKind;
using tarvik::sim::FaultPlan;
using tarvik::sim::FaultRule;
using tarvik::sim::parseFaultRule;
using namespace std::chrono_literals;

struct ParseCase {
    FaultKind kind;
    const char* text;
    bool ok;
    int step;
    std::uint64_t first;
    std::uint64_t count;
    std::chrono::milliseconds length;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class FaultRuleParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FaultRuleParsing, ReadsKindNumberRepeatAndLength) {
    const ParseCase& c = GetParam();
    std::string error;
    const auto rule = parseFaultRule(c.kind, c.text, error);
    ASSERT_EQ(rule.has_value(), c.ok) << c.text << ": " << error;
    if (!c.ok) {
        EXPECT_NE(error.find(c.text), std::string::npos) << "the message names the rule";
        return;
    }
    EXPECT_EQ(rule->step, c.step);
    EXPECT_EQ(rule->first, c.first);
    EXPECT_EQ(rule->count, c.count);
    EXPECT_EQ(rule->length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FaultRuleParsing,
    ::testing::Values(ParseCase{FaultKind::kDrop, "27@5", true, 27, 5, 1, 0ms},
                      ParseCase{FaultKind::kDrop, "27@5x4", true, 27, 5, 4, 0ms},
                      ParseCase{FaultKind::kCorrupt, "25@1", true, 25, 1, 1, 0ms},
                      ParseCase{FaultKind::kFail, "30@2", true, 30, 2, 1, 0ms},
                      ParseCase{FaultKind::kDelay, "29@1:1500", true, 29, 1, 1, 1500ms},
                      ParseCase{FaultKind::kDelay, "27@3x2:40", true, 27, 3, 2, 40ms},
                      ParseCase{FaultKind::kDup, "26@1", true, 26, 1, 1, 30ms},
                      ParseCase{FaultKind::kDup, "26@1:250", true, 26, 1, 1, 250ms},
                      ParseCase{FaultKind::kDrop, "24@1", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "31@1", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "27", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "27@0", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "27@1x0", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "27@1x", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "27@1:50", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "27@-1", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "x@1", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDrop, "27@1 ", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDelay, "27@1", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kDelay, "27@1:", false, 0, 0, 0, 0ms},
                      ParseCase{FaultKind::kBurst, "", false, 0, 0, 0, 0ms}));

TEST(FaultPlanMatching, RuleHitsItsFramesOfItsKindOnly) {
    FaultPlan plan;
    plan.add(FaultRule{FaultKind::kDrop, 27, 5, 4, {}});
    plan.add(FaultRule{FaultKind::kCorrupt, 28, 1, 1, {}});
    for (std::uint64_t n = 1; n <= 12; ++n) {
        EXPECT_EQ(plan.match(27, n).drop, n >= 5 && n <= 8) << n;
        EXPECT_FALSE(plan.match(27, n).corrupt) << n;
        EXPECT_FALSE(plan.match(26, n).any()) << n;
        EXPECT_EQ(plan.match(28, n).corrupt, n == 1) << n;
    }
}

TEST(FaultPlanMatching, OverlappingDelaysTakeTheLongest) {
    FaultPlan plan;
    plan.add(FaultRule{FaultKind::kDelay, 29, 1, 2, 100ms});
    plan.add(FaultRule{FaultKind::kDelay, 29, 2, 1, 300ms});
    EXPECT_EQ(plan.match(29, 1).delay, 100ms);
    EXPECT_EQ(plan.match(29, 2).delay, 300ms);
    EXPECT_EQ(plan.match(29, 3).delay, 0ms);
}

TEST(TurnaroundPercentiles, NearestRank) {
    using tarvik::sim::percentiles;
    const auto none = percentiles({});
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(none.median, 0);
    EXPECT_EQ(none.p99, 0);
    const auto three = percentiles({500, 100, 300});
    EXPECT_EQ(three.median, 300);
    EXPECT_EQ(three.p99, 500);
    std::vector<std::int64_t> hundred;
    for (int i = 100; i >= 1; --i) {
        hundred.push_back(i);
    }
    const auto h = percentiles(hundred);
    EXPECT_EQ(h.count, 100u);
    EXPECT_EQ(h.median, 50);
    EXPECT_EQ(h.p99, 99);
}

}  // namespace
