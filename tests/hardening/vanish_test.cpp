// The board's device vanishes in the middle of a transfer, as a pulled USB adapter does:
// the tool neither crashes nor spins, shows the failure, closes the port when asked, and
// opens it again once the device is back under the same name.
//
// The device is reached by a COM name above COM96, which leads only through the ports folder
// (a link tarvik-sim makes and removes): nothing here can reach a real serial device.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "hardening_support.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik::hardening {
namespace {

constexpr char kComNumber[] = "200";
constexpr char kComName[] = "\\\\.\\COM200";
constexpr uint32_t kImageLength = 8192;  // 65 blocks
constexpr char kVanishAfterBlock[] = "10";
constexpr Ms kQuiet{2500};
// A reader or loop that spins takes a whole core; one that waits takes next to nothing.
// Generous: sanitizers and a loaded machine add to every wake-up.
constexpr double kMostCpuShareWhileGone = 0.2;
constexpr char kFailedOnDataBlock[] = "升级失败(0x1b)";

class Vanish : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_CONFIG_HOME");
        if (old) {
            m_oldConfig = old;
        }
        std::filesystem::create_directories(m_folder.file("config"));
        setenv("XDG_CONFIG_HOME", m_folder.file("config").c_str(), 1);
        m_image = MakeImage(kImageLength);
        m_imagePath = m_folder.file("image.bin");
        WriteFile(m_imagePath, m_image);
    }
    void TearDown() override {
        if (m_oldConfig) {
            setenv("XDG_CONFIG_HOME", m_oldConfig->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
    }

    TempFolder m_folder;
    Bytes m_image;
    std::string m_imagePath;
    std::optional<std::string> m_oldConfig;
};

TEST_F(Vanish, MidTransferFailsQuietlyAndThePortOpensAgainWhenTheDeviceReturns) {
    Tool tool;
    {
        Board board(m_folder, {"--com", kComNumber, "--vanish-after", kVanishAfterBlock},
                    "first.bin");
        ASSERT_EQ(tool.Open(kComName), kErrSuccess);
        ASSERT_EQ(tool.Start(m_imagePath), StartResult::Started);
        ASSERT_TRUE(tool.RunUntil([&] { return board.process().waitExit(Ms{0}).has_value(); },
                                  kUpgradeBound))
            << "the board never vanished";
        EXPECT_EQ(board.Summary().value("reason", ""), "vanish");

        const Clock::time_point goneAt = Clock::now();
        const auto cpuAtGone = ProcessCpuTime();
        ASSERT_TRUE(tool.RunUntilSettled(kQuiet, kUpgradeBound)) << "no end after the device went";
        const double elapsed = std::chrono::duration<double>(Clock::now() - goneAt).count();
        const double cpu = std::chrono::duration<double>(ProcessCpuTime() - cpuAtGone).count();

        EXPECT_EQ(tool.Engine().Outcome(), UpgradeOutcome::Failed);
        EXPECT_EQ(tool.Driver().Status(), kFailedOnDataBlock);
        EXPECT_TRUE(tool.Driver().IsStartEnabled());
        EXPECT_FALSE(tool.EverShown(text::kUpgradeSucceeded));
        EXPECT_LT(cpu, elapsed * kMostCpuShareWhileGone)
            << cpu << " s of CPU in " << elapsed << " s with the device gone";

        // The operator closes the port; it closes although the device is gone.
        tool.Close();
        EXPECT_FALSE(tool.Driver().Port().IsOpen());
    }

    // Gone: opening fails and leaves the port closed, ready for the next try.
    EXPECT_NE(tool.Open(kComName), kErrSuccess);
    EXPECT_FALSE(tool.Driver().Port().IsOpen());

    // Back under the same name: the port opens and a whole upgrade goes through.
    Board back(m_folder, {"--com", kComNumber}, "second.bin");
    ASSERT_EQ(tool.Open(kComName), kErrSuccess);
    ASSERT_EQ(tool.Start(m_imagePath), StartResult::Started);
    ASSERT_TRUE(tool.RunUntilSettled(kQuiet, kUpgradeBound));
    EXPECT_EQ(tool.Engine().Outcome(), UpgradeOutcome::Succeeded);
    tool.Close();
    back.Stop();
    const std::optional<Bytes> received = back.Received();
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, ReceivedForm(m_image));
}

#ifdef TARVIK_CLI_PATH
// The command line, which scripts run unattended: it must end, say why, and exit 1.
TEST_F(Vanish, CommandLineEndsWithTheFailureAndExitCode1) {
    Board board(m_folder, {"--com", kComNumber, "--vanish-after", kVanishAfterBlock});
    const ChildRun run =
        RunChild(TARVIK_CLI_PATH,
                 {"upgrade", "--port", kComName, "--image", m_imagePath, "--quiet"}, kUpgradeBound);
    ASSERT_TRUE(run.exitCode.has_value()) << "tarvik-cli did not end; it printed: " << run.out;
    EXPECT_EQ(*run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find(kFailedOnDataBlock), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(text::kUpgradeSucceeded), std::string::npos) << run.out;
}
#endif

}  // namespace
}  // namespace tarvik::hardening
