// Whole upgrades in real time: the engine on the loop driver, its reader on the real port,
// and tarvik-sim as the board. Bounds are generous; nothing here asserts speed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <optional>

#include "e2e_support.h"
#include "fake_driver.h"
#include "sim_process.h"
#include "upgrade/texts.h"

namespace tarvik::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kUpgradeBound = std::chrono::seconds(180);
constexpr Ms kSimExitBound{20000};

bool SimAvailable() {
    return access(SimExecutable().c_str(), X_OK) == 0;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Padded(const Bytes& image) {
    Bytes out = image;
    out.resize((image.size() / 128 + 1) * 128, 0xFF);
    return out;
}

enum class Expect { Succeeded, Failed, Stalled, Finishing };

struct SimRun {
    std::string name;
    uint32_t length = 0;
    std::vector<std::string> simArgs;
    Expect expect = Expect::Succeeded;
    std::string finalStatus;  // "" to skip
    std::string alsoShowed;   // a status shown on the way, "" to skip
    std::vector<std::string> messages;
    bool fastResend = false;  // found only by the fast resend after the scan

    SimRun Showing(const std::string& status) const {
        SimRun r = *this;
        r.alsoShowed = status;
        return r;
    }
    SimRun WithMessage(const std::string& message) const {
        SimRun r = *this;
        r.messages.push_back(message);
        return r;
    }
    SimRun ByFastResend() const {
        SimRun r = *this;
        r.fastResend = true;
        return r;
    }
};

SimRun Make(const std::string& name, uint32_t length, std::vector<std::string> simArgs,
            Expect expect, const std::string& finalStatus) {
    SimRun r;
    r.name = name;
    r.length = length;
    r.simArgs = std::move(simArgs);
    r.expect = expect;
    r.finalStatus = finalStatus;
    return r;
}

std::ostream& operator<<(std::ostream& out, const SimRun& r) {
    return out << r.name;
}

class UpgradeAgainstSim : public ::testing::TestWithParam<SimRun> {};

TEST_P(UpgradeAgainstSim, EndsAsPromised) {
    const SimRun& run = GetParam();
    if (!SimAvailable()) {
        GTEST_SKIP() << "tarvik-sim is not built: " << SimExecutable();
    }
    const Bytes image = MakeImage(run.length, run.length + 3);
    TempImage file(image);
    const std::string out = file.path() + ".received";
    std::vector<std::string> args = {"--once", "--out", out, "--timeout", "300"};
    args.insert(args.end(), run.simArgs.begin(), run.simArgs.end());
    SimProcess sim(args);

    CEventLoop loop;
    RecordingDriver rec(loop);
    CLoopDriver& d = rec.driver;
    ASSERT_EQ(d.OpenPort(sim.slavePath(), 115200), kErrSuccess);
    ASSERT_EQ(d.Engine().Start(file.path(), file.name()), StartResult::Started);
    CUpgradeEngine& engine = d.Engine();
    const auto ended = [&] {
        switch (run.expect) {
            case Expect::Stalled:
                return engine.Phase() == UpgradePhase::Stalled;
            case Expect::Finishing:
                return engine.Phase() == UpgradePhase::Finishing;
            case Expect::Succeeded:
            case Expect::Failed:
                break;
        }
        return engine.Phase() == UpgradePhase::Idle;
    };
    ASSERT_TRUE(loop.RunUntil(ended, Clock::now() + kUpgradeBound))
        << "phase " << static_cast<int>(engine.Phase()) << ", status " << d.Status() << ", info "
        << d.Info();

    switch (run.expect) {
        case Expect::Succeeded:
            EXPECT_EQ(engine.Outcome(), UpgradeOutcome::Succeeded);
            EXPECT_EQ(d.Info(), text::kUpgradeSucceeded);
            EXPECT_TRUE(d.IsStartEnabled());
            EXPECT_EQ(d.ProgressPos(), run.length / 128 + 1);
            break;
        case Expect::Failed:
            EXPECT_EQ(engine.Outcome(), UpgradeOutcome::Failed);
            EXPECT_TRUE(d.IsStartEnabled());
            break;
        case Expect::Stalled:
        case Expect::Finishing:
            EXPECT_EQ(engine.Outcome(), UpgradeOutcome::None);
            EXPECT_FALSE(d.IsStartEnabled()) << "nothing resends, and Start stays disabled";
            EXPECT_FALSE(d.AnyTimerArmed());
            break;
    }
    if (!run.finalStatus.empty()) {
        EXPECT_EQ(d.Status(), run.finalStatus);
    }
    if (!run.alsoShowed.empty()) {
        EXPECT_TRUE(rec.Showed(rec.statuses, run.alsoShowed)) << run.alsoShowed;
    }
    EXPECT_EQ(d.Messages(), run.messages);
    EXPECT_EQ(d.ProgressMax(), run.length / 128 + 1);
    EXPECT_EQ(rec.Showed(rec.infos, std::string(text::kNotFoundPowerUp) + "0"), run.fastResend);
    EXPECT_TRUE(engine.DeviceFound());

    d.ClosePort();
    EXPECT_FALSE(d.Port().IsOpen());
    if (run.expect == Expect::Succeeded) {
        ASSERT_TRUE(sim.waitExit(kSimExitBound).has_value()) << "the board saw no finish";
        EXPECT_EQ(ReadFile(out), Padded(image)) << "the board received another image";
    }
}

const std::string kFailed = text::kUpgradeFailed;
const std::string kSucceeded = text::kUpgradeSucceeded;

std::vector<SimRun> Sizes() {
    std::vector<SimRun> runs;
    for (uint32_t length : {5u, 127u, 128u, 129u, 300u, 65536u}) {
        runs.push_back(
            Make("at115200_" + std::to_string(length), length, {}, Expect::Succeeded, kSucceeded));
        runs.push_back(Make("at9600_" + std::to_string(length), length, {"--baud", "9600"},
                            Expect::Succeeded, kSucceeded));
    }
    return runs;
}

INSTANTIATE_TEST_SUITE_P(Images, UpgradeAgainstSim, ::testing::ValuesIn(Sizes()),
                         [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    PowerUp, UpgradeAgainstSim,
    ::testing::Values(
        // Asleep through the three passes of the scan (7.4 s): the fast resend finds it.
        Make("afterThePowerUpWindow", 300, {"--boot-after", "8.5"}, Expect::Succeeded, kSucceeded)
            .ByFastResend(),
        // Awake during the first pass, at 9600: the second pass finds it.
        Make("duringTheScan", 300, {"--baud", "9600", "--boot-after", "1.5"}, Expect::Succeeded,
             kSucceeded)),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Faults, UpgradeAgainstSim,
    ::testing::Values(
        Make("replyLostThreeTimesRecovers", 1000, {"--drop", "27@5x3"}, Expect::Succeeded,
             kSucceeded),
        Make("replyLostFourTimesFails", 1000, {"--drop", "27@5x4"}, Expect::Failed,
             kFailed + "(0x1b)"),
        Make("finalBlockReplyLostFourTimesFails", 300, {"--drop", "28@1x4"}, Expect::Failed,
             kFailed + "(0x1c)"),
        Make("beginReplyLostFourTimesFails", 300, {"--drop", "26@1x4"}, Expect::Failed,
             kFailed + "(0x1a)"),
        // The acknowledgement of the third block twice, the second 100 ms later; the
        // board's answer to the fourth comes only after 1.5 s, so the two do not meet in
        // one burst and the stall in between is seen.
        Make("duplicatedAcknowledgementFailsThenContinues", 2000,
             {"--dup", "27@3:100", "--delay", "27@4:1500"}, Expect::Succeeded, kSucceeded)
            .Showing(kFailed),
        Make("wrongSumStalls", 300, {"--wrong-sum"}, Expect::Stalled, kFailed),
        Make("failureReplyEndsIt", 1000, {"--fail", "27@3"}, Expect::Failed, kFailed)
            .WithMessage(text::kFailureReply),
        Make("corruptReplyIsResent", 1000, {"--corrupt", "27@3"}, Expect::Succeeded, kSucceeded),
        Make("twoRepliesInOneBurstAreResent", 1000, {"--burst", "27@3"}, Expect::Succeeded,
             kSucceeded),
        Make("garbageBeforeAReplyIsResent", 1000, {"--garbage", "27@3"}, Expect::Succeeded,
             kSucceeded),
        Make("repliesEndingWithADot", 1000, {"--end-dot"}, Expect::Succeeded, kSucceeded),
        Make("noAnswerToTheFinishWaits", 300, {"--silent-finish"}, Expect::Finishing, "")),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarvik::testing
