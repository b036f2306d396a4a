// Many upgrades, one after the other, in one process, over one port, against one board that
// loses replies at random (--loss 0.03). Every run either succeeds with the board holding
// exactly that run's image, or ends with the failure text; none hangs; and the tool's memory
// stays where it was once the first runs have warmed it up.
//
// TARVIK_SOAK_RUNS sets the number of runs (ctest runs a few, bench/run many) and
// TARVIK_SOAK_SEED the board's seed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "hardening_support.h"
#include "upgrade/texts.h"

namespace tarvik::hardening {
namespace {

constexpr int kDefaultRuns = 6;
constexpr unsigned kDefaultSeed = 7;
constexpr char kLoss[] = "0.03";
constexpr int kWarmUpRuns = 2;
// Images of a few kilobytes, a different length and content every run.
constexpr uint32_t kBaseLength = 2000;
constexpr uint32_t kLengthStep = 397;
constexpr uint32_t kLengthSpread = 4096;
// Longer than the longest resend period: a stall that no timer ends is taken as final.
constexpr Ms kQuiet{2500};
// What may still come and go on the heap between runs: buffered output, a vector that has
// grown to its final size. A per-run leak adds up far beyond it over many runs.
constexpr size_t kHeapSlackBytes = 64 * 1024;

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

TEST(Soak, RepeatedUpgradesWithRandomLossSucceedOrSayFailed) {
    const int runs = EnvInt("TARVIK_SOAK_RUNS", kDefaultRuns);
    const unsigned seed = static_cast<unsigned>(EnvInt("TARVIK_SOAK_SEED", kDefaultSeed));
    ASSERT_GT(runs, kWarmUpRuns);

    TempFolder folder;
    Board board(folder, {"--loss", kLoss, "--seed", std::to_string(seed)});
    Tool tool;
    ASSERT_EQ(tool.Open(board.path()), kErrSuccess);

    int succeeded = 0, failed = 0, unconfirmed = 0;
    std::optional<size_t> heapAfterWarmUp;
    size_t residentAfterWarmUp = 0;
    const std::string imagePath = folder.file("image.bin");

    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const uint32_t length = kBaseLength + (run * kLengthStep) % kLengthSpread;
        const Bytes image = MakeImage(length, static_cast<uint32_t>(run) + 1);
        WriteFile(imagePath, image);

        tool.ClearRecords();  // the test's own records must not pass for the tool's growth
        ASSERT_EQ(tool.Start(imagePath), StartResult::Started);
        ASSERT_TRUE(tool.RunUntilSettled(kQuiet, kUpgradeBound)) << "an upgrade hung";
        CUpgradeEngine& engine = tool.Engine();
        const std::string status = tool.Driver().Status();

        if (engine.Outcome() == UpgradeOutcome::Succeeded) {
            ++succeeded;
            const std::optional<Bytes> received = board.Received();
            ASSERT_TRUE(received.has_value());
            ASSERT_EQ(*received, ReceivedForm(image)) << "success for a different image";
        } else if (engine.Phase() == UpgradePhase::Finishing) {
            // The finish command's answer was lost: nothing confirms it, nothing claims it.
            ++unconfirmed;
            EXPECT_NE(status, text::kUpgradeSucceeded);
            engine.OnStop();
        } else {
            ++failed;
            EXPECT_EQ(status.rfind(text::kUpgradeFailed, 0), 0u) << "ended without saying so";
            if (engine.Phase() != UpgradePhase::Idle) {
                engine.OnStop();  // stalled: the operator's Stop
            }
        }

        if (run + 1 == kWarmUpRuns) {
            heapAfterWarmUp = HeapInUse();
            residentAfterWarmUp = ResidentKiB();
        }
    }
    tool.Close();
    const nlohmann::json summary = board.Stop();

    const std::optional<size_t> heapAtEnd = HeapInUse();
    const size_t residentAtEnd = ResidentKiB();
    std::printf(
        "soak: %d runs: %d succeeded, %d failed, %d unconfirmed; board lost %s replies; "
        "heap in use after warm-up %zu B, at end %zu B; resident %zu KiB -> %zu KiB\n",
        runs, succeeded, failed, unconfirmed, summary["lost_replies"].dump().c_str(),
        heapAfterWarmUp.value_or(0), heapAtEnd.value_or(0), residentAfterWarmUp, residentAtEnd);
    EXPECT_GT(succeeded, 0);
    if (heapAfterWarmUp && heapAtEnd) {
        EXPECT_LE(*heapAtEnd, *heapAfterWarmUp + kHeapSlackBytes) << "the heap grows per run";
    }
}

}  // namespace
}  // namespace tarvik::hardening
