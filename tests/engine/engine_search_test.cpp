// The upgrade start and the device search, on the virtual clock.
#include <gtest/gtest.h>

#include <numeric>

#include "engine_fixture.h"

namespace tarvik::testing {
namespace {

// The board's side of the search as the tool has always run it.
constexpr uint32_t kBauds[16] = {115200, 9600, 57600,  56000,  38400,  19200,  14400,  4800,
                                 2400,   1200, 128000, 230400, 256000, 460800, 921600, 1024000};
constexpr int kPeriodsMs[16] = {50,  200, 100, 100, 100, 100, 100, 200,
                                400, 500, 50,  50,  50,  50,  50,  50};
const Bytes kEnterUpgrade = {0x68, 0x3A, 0x57, 0x19, 0, 0, 0, 0, 0,    0,    0,   0,
                             0,    0,    0,    0,    0, 0, 0, 0, 0x12, 0x45, 0x2E};

using SearchTest = EngineTest;

TEST_F(SearchTest, SilentBoardIsScannedThreeTimesThenAskedToPowerUp) {
    driver.selections = {0, 2, 1};  // 7 data bits, even parity, 1.5 stop bits
    const LineSetting fromLists{0, 7, 2, 1};
    StartWith(MakeImage(300));

    ASSERT_EQ(driver.port.sent.size(), 1u);
    EXPECT_EQ(driver.port.sent[0].bytes, kEnterUpgrade);
    EXPECT_EQ(driver.port.sent[0].time, Ms{0});
    EXPECT_EQ(driver.port.sent[0].timeoutMs, 10001000u);
    EXPECT_EQ(engine.Phase(), UpgradePhase::Scanning);

    driver.Advance(Ms{999});
    EXPECT_EQ(driver.port.sent.size(), 1u) << "the first scan step comes after 1000 ms";

    // 48 steps: three passes over the table.
    std::vector<Ms> times;
    Ms t{1000};
    for (int pass = 0; pass < 3; ++pass) {
        for (int i = 0; i < 16; ++i) {
            times.push_back(t);
            t += Ms{kPeriodsMs[i]};
        }
    }
    ASSERT_EQ(times.back(), Ms{7400});
    driver.Advance(times.back() - driver.Now());
    ASSERT_EQ(driver.port.sent.size(), 49u);
    std::string dots = kSearching;
    for (size_t step = 0; step < 48; ++step) {
        const SentFrame& frame = driver.port.sent[step + 1];
        SCOPED_TRACE("scan step " + std::to_string(step));
        EXPECT_EQ(frame.time, times[step]);
        LineSetting expected = fromLists;
        expected.baud = kBauds[step % 16];
        EXPECT_EQ(frame.line, expected);
        EXPECT_EQ(frame.bytes, kEnterUpgrade);
        dots += ".";
        EXPECT_EQ(driver.infoHistory.at(step), dots);
    }
    // After the 48th step: the power-up request, the port back at 115200, the fast resend.
    EXPECT_EQ(driver.info, kPowerUp);
    EXPECT_EQ(driver.port.setups.size(), 49u);
    LineSetting fast = fromLists;
    fast.baud = 115200;
    EXPECT_EQ(driver.port.setups.back(), fast);
    EXPECT_FALSE(driver.TimerArmed(kScanTimer));
    ASSERT_TRUE(driver.TimerArmed(kFastResendTimer));
    EXPECT_EQ(driver.TimerPeriod(kFastResendTimer), Ms{90});
    EXPECT_EQ(engine.Phase(), UpgradePhase::FastResend);

    driver.Advance(Ms{90 * 3});
    ASSERT_EQ(driver.port.sent.size(), 52u);
    for (int n = 0; n < 3; ++n) {
        const SentFrame& frame = driver.port.sent[49 + n];
        EXPECT_EQ(frame.time, Ms{7400 + 90 * (n + 1)});
        EXPECT_EQ(frame.line, fast);
        EXPECT_EQ(frame.bytes, kEnterUpgrade);
        EXPECT_EQ(driver.infoHistory.at(49 + n), kPowerUp + std::to_string(n));
    }
    EXPECT_EQ(driver.port.setups.size(), 49u) << "the fast resend does not reconfigure";
    EXPECT_FALSE(driver.startEnabled);
    EXPECT_FALSE(engine.DeviceFound());

    // A scan tick that was already on its way when the scan ended does nothing.
    engine.OnTimer(kScanTimer);
    EXPECT_EQ(driver.port.sent.size(), 52u);
    EXPECT_EQ(driver.port.setups.size(), 49u);
    EXPECT_FALSE(driver.TimerArmed(kScanTimer));
}

TEST_F(SearchTest, ListChangesTakeEffectAtTheNextStep) {
    StartWith(MakeImage(300));
    driver.Advance(Ms{1000});
    EXPECT_EQ(driver.port.setups.back(), (LineSetting{115200, 8, 0, 0}));
    driver.selections = {0, 1, 2};
    driver.Advance(Ms{50});
    EXPECT_EQ(driver.port.setups.back(), (LineSetting{9600, 7, 1, 2}));
    EXPECT_EQ(driver.port.line, (LineSetting{9600, 7, 1, 2}));
    // A list without a selection (index -1) reaches the port as it stands. From the
    // data-bits list that is 6 data bits, which the line takes.
    driver.selections = {-1, 0, 0};
    driver.Advance(Ms{200});
    EXPECT_EQ(driver.port.line, (LineSetting{57600, 6, 0, 0}));
    // From the parity and stop-bits lists it is a code the port refuses: the line keeps its
    // settings and the step still goes out, at them.
    driver.selections = {-1, -1, -1};
    driver.Advance(Ms{100});
    EXPECT_EQ(driver.port.setups.back(), (LineSetting{56000, 6, 255, 255}));
    EXPECT_EQ(driver.port.line, (LineSetting{57600, 6, 0, 0}));
    ASSERT_EQ(driver.port.sent.size(), 5u);
    EXPECT_EQ(driver.port.sent.back().line, (LineSetting{57600, 6, 0, 0}));
}

TEST_F(SearchTest, StartSendsArmsAndShowsInItsOrder) {
    StartWith(MakeImage(1000));
    const std::vector<std::string> expected = {"write 25 23", "arm 2 1000", "enable 0",
                                               "range 0 8",   "status  ",   "pos 1"};
    EXPECT_EQ(driver.calls, expected);
    EXPECT_EQ(driver.info, "") << "the info line waits for the first scan step";
}

TEST_F(SearchTest, ProgressRangeIsTheBlockCount) {
    const struct {
        uint32_t length;
        uint32_t blocks;
    } cases[] = {{4, 1}, {127, 1}, {128, 2}, {1000, 8}, {1024, 9}, {1025, 9}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        StartWith(MakeImage(c.length));
        EXPECT_EQ(driver.rangeMin, 0u);
        EXPECT_EQ(driver.rangeMax, c.blocks);
        EXPECT_EQ(driver.position, 1u);
        EXPECT_EQ(driver.status, " ");
        engine.OnStop();
    }
}

TEST_F(SearchTest, StopEndsTheSearchAndStartBeginsItAfresh) {
    StartWith(MakeImage(300));
    driver.Advance(Ms{1000 + 50 + 200});  // three steps
    ASSERT_EQ(engine.State().searchIndex, 3);
    engine.OnStop();
    EXPECT_FALSE(driver.TimerArmed(kScanTimer));
    EXPECT_TRUE(driver.startEnabled);
    EXPECT_EQ(driver.info, kStopped);
    EXPECT_EQ(engine.Phase(), UpgradePhase::Idle);
    EXPECT_EQ(engine.Outcome(), UpgradeOutcome::Stopped);
    const size_t sent = driver.port.sent.size();
    driver.Advance(Ms{20000});
    EXPECT_EQ(driver.port.sent.size(), sent) << "nothing goes out after Stop";

    StartWith(MakeImage(300));
    EXPECT_EQ(engine.Outcome(), UpgradeOutcome::None);
    EXPECT_EQ(driver.port.sent.size(), sent + 1);
    driver.Advance(Ms{999});
    EXPECT_EQ(driver.port.sent.size(), sent + 1);
    driver.Advance(Ms{1});
    ASSERT_EQ(driver.port.sent.size(), sent + 2);
    EXPECT_EQ(driver.port.sent.back().line.baud, 115200u);
    EXPECT_EQ(driver.info, kSearching + ".");
    EXPECT_EQ(engine.State().passCount, 0);

    // Through to the fast resend: its count starts at 0 again.
    driver.Advance(Ms{6400 + 90});
    EXPECT_EQ(driver.info, kPowerUp + "0");
    driver.Advance(Ms{90});
    EXPECT_EQ(driver.info, kPowerUp + "1");
    engine.OnStop();
    StartWith(MakeImage(300));
    EXPECT_EQ(engine.State().fastResendCount, 2) << "kept until the fast resend starts again";
    driver.Advance(Ms{7400 + 90});
    EXPECT_EQ(driver.info, kPowerUp + "0");
}

TEST_F(SearchTest, FailedLoadStillResetsTheSearch) {
    StartWith(MakeImage(300));
    driver.Advance(Ms{1000 + 50});
    engine.OnStop();
    ASSERT_EQ(engine.State().searchIndex, 2);
    EXPECT_EQ(engine.Start("/nonexistent/tarvik/image.bin", "image.bin"), StartResult::OpenFailed);
    EXPECT_EQ(engine.State().searchIndex, 0);
    EXPECT_EQ(engine.State().passCount, 0);
    EXPECT_EQ(engine.State().searchText, kSearching);
}

TEST_F(SearchTest, ClosedPortSkipsTheSendsButNotTheTicks) {
    StartWith(MakeImage(300));
    driver.Advance(Ms{1000});
    driver.port.open = false;
    engine.OnPortClosed();
    const size_t writes = Writes();
    driver.Advance(Ms{6400});  // to the last scan step
    EXPECT_EQ(Writes(), writes);
    EXPECT_EQ(driver.info, kPowerUp);
    EXPECT_EQ(engine.Phase(), UpgradePhase::FastResend);
    driver.Advance(Ms{90 * 2});
    EXPECT_EQ(driver.info, kPowerUp + "1") << "the count runs on with nothing written";
    EXPECT_EQ(Writes(), writes);
    engine.OnStop();
    EXPECT_FALSE(driver.TimerArmed(kFastResendTimer));
}

// Start's checks, with a 1 KiB buffer so that "too big" needs only a small file.
class StartCheckTest : public EngineTest {
protected:
    StartCheckTest() : EngineTest(1024) {}
};

TEST_F(StartCheckTest, EachFailedCheckReportsAndStartsNothing) {
    enum class File { None, Missing, Folder, Sized };
    const struct {
        const char* name;
        bool portOpen;
        File file;
        Bytes image;
        bool emptyName;
        StartResult result;
        std::string message;  // "" when no box is shown
        std::string status;   // "" when the status line is not touched
    } cases[] = {
        {"port closed, no file",
         false,
         File::None,
         {},
         false,
         StartResult::PortNotOpen,
         "请先打开串口",
         ""},
        {"port closed, good file", false, File::Sized, MakeImage(300), false,
         StartResult::PortNotOpen, "请先打开串口", ""},
        {"no path",
         true,
         File::None,
         {},
         false,
         StartResult::NoFileChosen,
         "请选择要升级的文件！",
         ""},
        {"no name", true, File::Sized, MakeImage(300), true, StartResult::NoFileChosen,
         "请选择要升级的文件！", ""},
        {"missing file",
         true,
         File::Missing,
         {},
         false,
         StartResult::OpenFailed,
         "打开文件失败",
         ""},
        {"a folder", true, File::Folder, {}, false, StartResult::OpenFailed, "打开文件失败", ""},
        {"one byte above the buffer", true, File::Sized, MakeImage(1025), false,
         StartResult::TooBig, "file is huge!!!", ""},
        {"no marker", true, File::Sized, Bytes(300, 0x11), false, StartResult::BadImage, "",
         "bin file is bad!!!"},
        {"marker only at offset 0", true, File::Sized, Bytes{'I', 'O', '-', 0, 0}, false,
         StartResult::BadImage, "", "bin file is bad!!!"},
        {"three bytes", true, File::Sized, Bytes{0, 'I', 'O'}, false, StartResult::BadImage, "",
         "bin file is bad!!!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver d;
        std::vector<uint8_t> buffer(1024);
        CUpgradeEngine e(d, buffer.data(), 1024);
        d.Attach(e);
        d.port.open = c.portOpen;
        std::unique_ptr<TempImage> file;
        std::string path, name;
        if (c.file == File::Sized) {
            file = std::make_unique<TempImage>(c.image);
            path = file->path();
            name = c.emptyName ? "" : file->name();
        } else if (c.file == File::Missing) {
            path = "/nonexistent/tarvik/missing.bin";
            name = "missing.bin";
        } else if (c.file == File::Folder) {
            file = std::make_unique<TempImage>(Bytes{});
            path = file->path().substr(0, file->path().rfind('/'));
            name = "folder";
        }
        EXPECT_EQ(e.Start(path, name), c.result);
        EXPECT_EQ(d.messages, c.message.empty() ? std::vector<std::string>{}
                                                : std::vector<std::string>{c.message});
        EXPECT_EQ(d.status, c.status);
        EXPECT_EQ(d.port.writeCount, 0u);
        EXPECT_TRUE(d.startEnabled);
        EXPECT_FALSE(d.TimerArmed(kScanTimer));
        EXPECT_EQ(e.Phase(), UpgradePhase::Idle);
        d.Advance(Ms{10000});
        EXPECT_EQ(d.port.writeCount, 0u);
    }
}

TEST_F(StartCheckTest, ImageFillingTheWholeBufferStarts) {
    StartWith(MakeImage(1024));
    EXPECT_EQ(engine.ImageLength(), 1024u);
    EXPECT_EQ(driver.rangeMax, 9u);
}

// The rate recorded for the board is the one its answered frame went out at. The last step of
// the third pass goes out at 1,024,000 baud and the port is set to 115,200 for the fast
// resend at once: an answer to that step arrives with the port already at the other rate.
TEST_F(SearchTest, FoundRateIsTheRateOfTheAnsweredStep) {
    const struct {
        const char* name;
        Ms answerAt;  // virtual time the answer is handed over
        uint32_t baud;
    } cases[] = {
        {"the second step", Ms{1060}, 9600},
        {"the last step, answered after the port went back to 115200", Ms{7410}, 1024000},
        {"the fast resend", Ms{7400 + 95}, 115200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver d;
        std::vector<uint8_t> buffer(4096);
        CUpgradeEngine e(d, buffer.data(), 4096);
        d.Attach(e);
        TempImage file(MakeImage(300));
        ASSERT_EQ(e.Start(file.path(), file.name()), StartResult::Started);
        d.Advance(c.answerAt);
        EXPECT_EQ(e.FoundBaud(), 0u);
        d.Reply(BoardReply(25));
        d.Advance(Ms{0});
        ASSERT_TRUE(e.DeviceFound());
        EXPECT_EQ(e.FoundBaud(), c.baud);
    }
}

}  // namespace
}  // namespace tarvik::testing
