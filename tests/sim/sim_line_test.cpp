// tarvik-sim as a program, through a real pseudo-terminal: a small scripted client in the
// test plays the tool, sends the frames written out in line_bytes.h and checks every byte
// that comes back.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "line_bytes.h"
#include "pty_pair.h"
#include "sim_process.h"

namespace {

using namespace simtest;
using tarvik::testing::SimProcess;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Bounds, generous for a loaded machine: a reply that is due may take this long to come.
constexpr auto kReplyWait = 10s;
// After a reply, stray bytes (a duplicate in the wrong place) are looked for this long.
constexpr auto kStrayWindow = 150ms;
// A frame that must not be answered is given this long to stay unanswered.
constexpr auto kSilenceWindow = 600ms;
constexpr auto kExitWait = 10s;

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-sim-XXXXXX");
        if (!mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// The tool's side of the line, reduced to a script: raw mode, a line speed, whole frames out.
class Client {
public:
    explicit Client(std::string path) : m_path(std::move(path)) { open(); }
    ~Client() { close(); }

    void open() {
        m_fd = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0) {
            throw std::runtime_error("cannot open " + m_path);
        }
        setBaud(B115200);
    }
    void close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    // Raw 8N1 at `speed`, set on the slave as the tool sets its port.
    void setBaud(speed_t speed) {
        termios tio{};
        ASSERT_EQ(tcgetattr(m_fd, &tio), 0);
        cfmakeraw(&tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        ASSERT_EQ(tcsetattr(m_fd, TCSANOW, &tio), 0);
    }

    void send(const Bytes& bytes) {
        m_sentAt = Clock::now();
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{m_fd, POLLOUT, 0};
                poll(&p, 1, 100);
            } else {
                FAIL() << "write failed: " << std::strerror(errno);
            }
        }
    }

    struct Arrival {
        Bytes bytes;
        std::vector<std::size_t> reads;  // size of each read
        Clock::duration sinceSend{};     // when the last byte came, from the last send
        bool lineGone = false;           // the read failed: the device vanished
    };

    // Reads until `count` bytes came, `timeout` passed or the line is gone.
    Arrival receive(std::size_t count, Clock::duration timeout) {
        Arrival a;
        const auto deadline = Clock::now() + timeout;
        while (a.bytes.size() < count) {
            const auto left = deadline - Clock::now();
            if (left <= 0s) {
                break;
            }
            pollfd p{m_fd, POLLIN, 0};
            const int ms =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
            if (poll(&p, 1, ms) <= 0) {
                continue;
            }
            std::uint8_t buf[512];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0) {
                a.bytes.insert(a.bytes.end(), buf, buf + n);
                a.reads.push_back(static_cast<std::size_t>(n));
                a.sinceSend = Clock::now() - m_sentAt;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                a.lineGone = true;
                break;
            } else if (p.revents & POLLHUP) {
                a.lineGone = true;
                break;
            }
        }
        return a;
    }

    // Whatever arrives within `window`.
    Bytes within(Clock::duration window) { return receive(SIZE_MAX, window).bytes; }

private:
    std::string m_path;
    int m_fd = -1;
    Clock::time_point m_sentAt{};
};

nlohmann::json summaryOf(SimProcess& sim) {
    const std::string line = sim.summary();
    auto j = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
    return j;
}

Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------------------
// A whole upgrade of a 300-byte image.

class WholeUpgrade : public ::testing::TestWithParam<bool> {};

TEST_P(WholeUpgrade, EveryReplyExactTheImageWrittenAndTheSumReported) {
    const bool endDot = GetParam();
    TempDir dir;
    const std::string out = dir.file("received.bin");
    std::vector<std::string> args = {"--once", "--out", out, "--timeout", "60"};
    if (endDot) {
        args.push_back("--end-dot");
    }
    SimProcess sim(args);
    Client client(sim.slavePath());

    const Bytes image = patternImage(300);
    const Exchange x = upgradeOf(image, endDot);
    for (std::size_t i = 0; i < x.frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        client.send(x.frames[i]);
        const auto got = client.receive(23, kReplyWait);
        EXPECT_EQ(got.bytes, x.replies[i]);
    }
    // The file is whole by the time the answer to the finish command is in.
    const Bytes written = readFile(out);
    ASSERT_EQ(sim.waitExit(kExitWait), 0);

    ASSERT_EQ(written.size(), 384u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 300), image);
    EXPECT_EQ(Bytes(written.begin() + 300, written.end()), fill(84, 0xFF));

    const auto s = summaryOf(sim);
    std::uint32_t expectedSum = 0;
    for (std::uint8_t b : image) {
        expectedSum += b;
    }
    expectedSum += 84u * 0xFF;
    EXPECT_EQ(s["sum"], expectedSum);
    EXPECT_EQ(s["finished"], true);
    EXPECT_EQ(s["upgrades"], 1);
    EXPECT_EQ(s["frames"],
              nlohmann::json({{"25", 1}, {"26", 1}, {"27", 2}, {"28", 1}, {"29", 1}, {"30", 1}}));
    EXPECT_EQ(s["bad_frames"], 0);
    EXPECT_EQ(s["resends"], 0);
    EXPECT_EQ(s["out_of_order"], 0);
    EXPECT_EQ(s["speeds"], nlohmann::json({115200}));
    EXPECT_EQ(s["reason"], "once");
    // One turnaround per reply the client answered with a frame: all but the last.
    EXPECT_EQ(s["turnaround_us"]["count"], x.frames.size() - 1);
    EXPECT_LE(s["turnaround_us"]["median"], s["turnaround_us"]["p99"]);
}

INSTANTIATE_TEST_SUITE_P(Endings, WholeUpgrade, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "EndDot" : "EndD"; });

// ---------------------------------------------------------------------------------------
// Line speed: a frame sent at another rate is not understood.

struct SpeedStep {
    speed_t clientBaud;
    Bytes frame;
    enum { kReply, kSilence, kGarbage } expect;
};

struct SpeedCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<SpeedStep> steps;
    std::vector<unsigned> speedsHeard;
};

void PrintTo(const SpeedCase& c, std::ostream* os) {
    *os << c.name;
}

class LineSpeed : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(LineSpeed, AnswersOnlyAtTheRateItListensAt) {
    const SpeedCase& c = GetParam();
    SimProcess sim(c.args);
    Client client(sim.slavePath());
    std::uint64_t wrong = 0;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const SpeedStep& step = c.steps[i];
        client.setBaud(step.clientBaud);
        client.send(step.frame);
        switch (step.expect) {
            case SpeedStep::kReply: {
                Bytes expected = step.frame;
                expected[22] = 0x44;  // the board's reply to a bare command mirrors it
                EXPECT_EQ(client.receive(23, kReplyWait).bytes, expected);
                break;
            }
            case SpeedStep::kSilence:
                EXPECT_EQ(client.within(kSilenceWindow), Bytes{});
                ++wrong;
                break;
            case SpeedStep::kGarbage: {
                Bytes got = client.receive(1, kReplyWait).bytes;
                got = got + client.within(kStrayWindow);
                EXPECT_FALSE(got.empty());
                EXPECT_LT(got.size(), 23u) << "garbage, not a reply";
                EXPECT_EQ(std::count(got.begin(), got.end(), 0x68), 0);
                ++wrong;
                break;
            }
        }
    }
    EXPECT_EQ(sim.stop(), 0);
    const auto s = summaryOf(sim);
    EXPECT_EQ(s["wrong_speed"], wrong);
    EXPECT_EQ(s["speeds"], nlohmann::json(c.speedsHeard));
}

const Bytes kEnter = command('W', 25);
const Bytes kBegin = command('W', 26);

INSTANTIATE_TEST_SUITE_P(Rates, LineSpeed,
                         ::testing::Values(SpeedCase{"DefaultListensAt115200",
                                                     {},
                                                     {{B9600, kEnter, SpeedStep::kSilence},
                                                      {B57600, kEnter, SpeedStep::kSilence},
                                                      {B115200, kEnter, SpeedStep::kReply}},
                                                     {9600, 57600, 115200}},
                                           SpeedCase{"BoardAt9600SwitchesTo115200AfterEnterUpgrade",
                                                     {"--baud", "9600"},
                                                     {{B115200, kEnter, SpeedStep::kSilence},
                                                      {B9600, kEnter, SpeedStep::kReply},
                                                      {B9600, kBegin, SpeedStep::kSilence},
                                                      {B115200, kBegin, SpeedStep::kReply}},
                                                     {115200, 9600}},
                                           SpeedCase{"GarbleAnswersTheWrongRateWithGarbage",
                                                     {"--garble", "--baud", "4800"},
                                                     {{B2400, kEnter, SpeedStep::kGarbage},
                                                      {B4800, kEnter, SpeedStep::kReply}},
                                                     {2400, 4800}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Faults: each happens where it was asked for and nowhere else.

// What the client sees for one frame.
enum class Effect {
    kNormal,        // the normal reply, and nothing after it
    kSilent,        // nothing; the client resends the frame
    kCorrupt,       // the normal reply with its checksum byte one off; resent
    kTwiceApart,    // the reply, then again after the rule's gap (300 ms)
    kTwiceAtOnce,   // the reply twice in one read
    kLate,          // the reply, 400 ms late at the earliest
    kGarbageFirst,  // garbage, then the reply, in one read
    kRefused,       // a reply with step 0; resent
    kSumPlusOne,    // the checksum reply with the sum plus one
    kThenVanish,    // the normal reply, then the port disappears and the board ends
};

struct Hit {
    std::uint8_t step;
    std::uint64_t nth;
    Effect effect;
};

struct FaultCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<Hit> hits;
    std::uint64_t resends;
    std::uint64_t lostReplies;
};

constexpr auto kDupGap = 300ms;
constexpr auto kDelay = 400ms;

// The client resends a frame that got no usable answer, as the tool's resend timer does;
// the tool never resends the finish command.
bool resendsAfter(Effect e, std::uint8_t step) {
    return step != 30 && (e == Effect::kSilent || e == Effect::kCorrupt || e == Effect::kRefused);
}

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, HappenWhereAskedAndNowhereElse) {
    const FaultCase& c = GetParam();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--timeout", "120"});
    SimProcess sim(args);
    Client client(sim.slavePath());
    const Exchange x = upgradeOf(patternImage(300));

    std::map<std::uint8_t, std::uint64_t> sent;  // frames of each kind sent
    bool vanished = false;
    for (std::size_t i = 0; i < x.frames.size() && !vanished; ++i) {
        const Bytes& frame = x.frames[i];
        const Bytes& normal = x.replies[i];
        const std::uint8_t step = frame[3];
        for (;;) {
            const std::uint64_t nth = ++sent[step];
            SCOPED_TRACE("step " + std::to_string(step) + " #" + std::to_string(nth));
            Effect effect = Effect::kNormal;
            for (const Hit& h : c.hits) {
                if (h.step == step && h.nth == nth) {
                    effect = h.effect;
                }
            }
            client.send(frame);
            switch (effect) {
                case Effect::kNormal:
                    EXPECT_EQ(client.receive(23, kReplyWait).bytes, normal);
                    EXPECT_EQ(client.within(kStrayWindow), Bytes{});
                    break;
                case Effect::kSilent:
                    EXPECT_EQ(client.within(kSilenceWindow), Bytes{});
                    break;
                case Effect::kCorrupt: {
                    Bytes bad = normal;
                    bad[20] = static_cast<std::uint8_t>(bad[20] + 1);
                    EXPECT_EQ(client.receive(23, kReplyWait).bytes, bad);
                    break;
                }
                case Effect::kTwiceApart: {
                    const auto got = client.receive(46, kReplyWait);
                    EXPECT_EQ(got.bytes, normal + normal);
                    EXPECT_GE(got.sinceSend, kDupGap) << "the second burst came early";
                    break;
                }
                case Effect::kTwiceAtOnce: {
                    const auto got = client.receive(46, kReplyWait);
                    EXPECT_EQ(got.bytes, normal + normal);
                    EXPECT_EQ(got.reads.size(), 1u) << "one write, one read";
                    break;
                }
                case Effect::kLate: {
                    const auto got = client.receive(23, kReplyWait);
                    EXPECT_EQ(got.bytes, normal);
                    EXPECT_GE(got.sinceSend, kDelay) << "the reply came early";
                    break;
                }
                case Effect::kGarbageFirst: {
                    const auto got = client.receive(24, kReplyWait);
                    const Bytes stray = client.within(kStrayWindow);
                    const Bytes all = got.bytes + stray;
                    ASSERT_GT(all.size(), 23u);
                    EXPECT_EQ(Bytes(all.end() - 23, all.end()), normal);
                    const Bytes prefix(all.begin(), all.end() - 23);
                    EXPECT_EQ(std::count(prefix.begin(), prefix.end(), 0x68), 0);
                    EXPECT_EQ(got.reads.size(), 1u) << "garbage and reply in one write";
                    break;
                }
                case Effect::kRefused:
                    EXPECT_EQ(client.receive(23, kReplyWait).bytes, reply(frame[2], 0x00));
                    break;
                case Effect::kSumPlusOne: {
                    const std::uint32_t sum = x.sum + 1;
                    EXPECT_EQ(client.receive(23, kReplyWait).bytes, reply('R', 29, le32(sum)));
                    break;
                }
                case Effect::kThenVanish: {
                    EXPECT_EQ(client.receive(23, kReplyWait).bytes, normal);
                    EXPECT_EQ(sim.waitExit(kExitWait), 0);
                    EXPECT_TRUE(client.receive(1, kReplyWait).lineGone)
                        << "the port is still there";
                    vanished = true;
                    break;
                }
            }
            if (!resendsAfter(effect, step)) {
                break;
            }
        }
    }
    if (!vanished) {
        EXPECT_EQ(sim.stop(), 0);
    }
    const auto s = summaryOf(sim);
    EXPECT_EQ(s["resends"], c.resends);
    EXPECT_EQ(s["lost_replies"], c.lostReplies);
    for (const auto& [step, count] : sent) {
        EXPECT_EQ(s["frames"][std::to_string(step)], count) << "frames of step " << int(step);
    }
    EXPECT_EQ(s["reason"], vanished ? "vanish" : "signal");
    if (!vanished) {
        EXPECT_EQ(s["sum"], x.sum);
        EXPECT_EQ(s["finished"], true);
    }
}

INSTANTIATE_TEST_SUITE_P(
    OnPurpose, Faults,
    ::testing::Values(
        FaultCase{"None", {}, {}, 0, 0},
        FaultCase{"DropSecondBlock", {"--drop", "27@2"}, {{27, 2, Effect::kSilent}}, 1, 1},
        FaultCase{"DropFirstBlockTwice",
                  {"--drop", "27@1x2"},
                  {{27, 1, Effect::kSilent}, {27, 2, Effect::kSilent}},
                  2,
                  2},
        FaultCase{"CorruptFinalBlock", {"--corrupt", "28@1"}, {{28, 1, Effect::kCorrupt}}, 1, 0},
        FaultCase{"DupBeginTransfer", {"--dup", "26@1:300"}, {{26, 1, Effect::kTwiceApart}}, 0, 0},
        FaultCase{"BurstFirstBlock", {"--burst", "27@1"}, {{27, 1, Effect::kTwiceAtOnce}}, 0, 0},
        FaultCase{"DelayChecksum", {"--delay", "29@1:400"}, {{29, 1, Effect::kLate}}, 0, 0},
        FaultCase{"GarbageBeforeEnterUpgrade",
                  {"--garbage", "25@1"},
                  {{25, 1, Effect::kGarbageFirst}},
                  0,
                  0},
        FaultCase{"FailSecondBlock", {"--fail", "27@2"}, {{27, 2, Effect::kRefused}}, 1, 0},
        FaultCase{"WrongSum", {"--wrong-sum"}, {{29, 1, Effect::kSumPlusOne}}, 0, 0},
        FaultCase{"SilentFinish", {"--silent-finish"}, {{30, 1, Effect::kSilent}}, 0, 0},
        FaultCase{"TwoFaultsTwoPlaces",
                  {"--drop", "25@1", "--corrupt", "27@2"},
                  {{25, 1, Effect::kSilent}, {27, 2, Effect::kCorrupt}},
                  2,
                  1},
        FaultCase{
            "VanishAfterBlockOne", {"--vanish-after", "1"}, {{27, 2, Effect::kThenVanish}}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------

TEST(SimLoss, CertainLossAnswersNothingAndCountsIt) {
    SimProcess sim({"--loss", "1", "--seed", "3"});
    Client client(sim.slavePath());
    for (int i = 0; i < 3; ++i) {
        client.send(kEnter);
        EXPECT_EQ(client.within(kSilenceWindow), Bytes{});
    }
    EXPECT_EQ(sim.stop(), 0);
    const auto s = summaryOf(sim);
    EXPECT_EQ(s["lost_replies"], 3);
    EXPECT_EQ(s["replies"], 0);
}

TEST(SimPowerUp, IgnoresEverythingUntilItHasBooted) {
    constexpr auto kBoot = 2s;
    const auto launched = Clock::now();
    SimProcess sim({"--boot-after", "2"});
    Client client(sim.slavePath());
    // Resend every 100 ms, as the tool's fast resend does, until the board answers.
    std::optional<Clock::time_point> answered;
    const auto deadline = Clock::now() + kBoot + kReplyWait;
    while (!answered && Clock::now() < deadline) {
        client.send(kEnter);
        const Bytes got = client.within(100ms);
        if (!got.empty()) {
            answered = Clock::now();
            EXPECT_EQ(Bytes(got.begin(), got.begin() + std::min<std::size_t>(23, got.size())),
                      reply('W', 25));
        }
    }
    ASSERT_TRUE(answered) << "never answered";
    EXPECT_GE(*answered - launched, kBoot) << "answered before power-up";
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimPacing, FramesAndRepliesTakeTheirTimeOnTheLine) {
    // At 1200 baud 23 bytes take 191.7 ms each way.
    constexpr auto kFrameTime = 191ms;
    SimProcess sim({"--pace", "--baud", "1200"});
    Client client(sim.slavePath());
    client.setBaud(B1200);
    client.send(kEnter);
    const auto got = client.receive(23, kReplyWait);
    EXPECT_EQ(got.bytes, reply('W', 25));
    EXPECT_GE(got.sinceSend, 2 * kFrameTime) << "the frame in, then the reply out";
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimLinks, LinkLeadsToThePortAndGoesAtExit) {
    TempDir dir;
    const std::string link = dir.file("ports/com9");
    {
        SimProcess sim({"--link", link});
        std::error_code ec;
        EXPECT_EQ(std::filesystem::read_symlink(link, ec), sim.slavePath());
        Client client(link);  // the port opens by its link
        client.send(kEnter);
        EXPECT_EQ(client.receive(23, kReplyWait).bytes, reply('W', 25));
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SimLinks, ComNumberGoesInThePortsFolderOfTheConfiguration) {
    TempDir dir;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string link = dir.file("tarvik-ports/com7");
    {
        SimProcess sim({"--com", "7"});
        std::error_code ec;
        EXPECT_EQ(std::filesystem::read_symlink(link, ec), sim.slavePath());
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    if (saved) {
        setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

TEST(SimImageFile, WrittenAtExitAlsoWithoutAFinish) {
    TempDir dir;
    const std::string out = dir.file("partial.bin");
    SimProcess sim({"--out", out});
    Client client(sim.slavePath());
    const Exchange x = upgradeOf(patternImage(300));
    for (std::size_t i = 0; i < 3; ++i) {  // enter-upgrade, begin-transfer, block 0
        client.send(x.frames[i]);
        EXPECT_EQ(client.receive(23, kReplyWait).bytes, x.replies[i]);
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(readFile(out), Bytes(x.received.begin(), x.received.begin() + 128));
    EXPECT_EQ(summaryOf(sim)["finished"], false);
}

TEST(SimEnding, OnceGivesUpAtTheTimeoutWithExitCodeOne) {
    SimProcess sim({"--once", "--timeout", "0.5"});
    EXPECT_EQ(sim.waitExit(kExitWait), 1);
    const auto s = summaryOf(sim);
    EXPECT_EQ(s["reason"], "timeout");
    EXPECT_EQ(s["finished"], false);
}

TEST(SimEnding, TimeoutWithoutOnceIsNoFailure) {
    SimProcess sim({"--timeout", "0.5"});
    EXPECT_EQ(sim.waitExit(kExitWait), 0);
    EXPECT_EQ(summaryOf(sim)["reason"], "timeout");
}

TEST(SimEnding, SignalEndsWithTheSummaryAsTheLastLine) {
    for (int sig : {SIGTERM, SIGINT}) {
        SimProcess sim({});
        Client client(sim.slavePath());
        client.send(kEnter);
        EXPECT_EQ(client.receive(23, kReplyWait).bytes, reply('W', 25));
        kill(sim.pid(), sig);
        EXPECT_EQ(sim.waitExit(kExitWait), 0);
        const auto s = summaryOf(sim);
        EXPECT_EQ(s["reason"], "signal");
        EXPECT_EQ(s["frames"]["25"], 1);
    }
}

TEST(SimEnding, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--drop", "99@1"},
                                                 {"--delay", "27@1"},
                                                 {"--loss", "2"},
                                                 {"--link", "/tmp/x", "--com", "3"},
                                                 {"--boards", "2", "--out", "/tmp/b.bin"},
                                                 {"--boards", "0"},
                                                 {"--fail", "0/27@1"},
                                                 {"--fail", "x/27@1"},
                                                 {"--swap", "-1"},
                                                 {"--no-such-option"}}) {
        bool threw = false;
        try {
            SimProcess sim(args);  // prints no path: the constructor reports it
            EXPECT_EQ(sim.waitExit(kExitWait), 2);
        } catch (const std::runtime_error&) {
            threw = true;
        }
        EXPECT_TRUE(threw) << args[0];
    }
}

// ---------------------------------------------------------------------------------------
// Boards in a row: each takes its upgrade, stays (--stay), runs its application (--swap),
// then the next one answers in boot mode with its own fault counts and its own file.

TEST(SimRow, BoardsOneAfterAnotherEachWithItsOwnFaultsAndFile) {
    TempDir dir;
    SimProcess sim({"--boards", "2", "--stay", "1.5", "--swap", "0.3", "--out",
                    dir.file("board-%d.bin"), "--drop", "2/26@1", "--once", "--timeout", "60"});
    Client client(sim.slavePath());
    const Exchange first = upgradeOf(patternImage(300));
    for (std::size_t i = 0; i < first.frames.size(); ++i) {
        client.send(first.frames[i]);
        ASSERT_EQ(client.receive(23, kReplyWait).bytes, first.replies[i]) << "frame " << i;
    }
    EXPECT_EQ(readFile(dir.file("board-1.bin")), first.received);

    // Finished and staying: enter-upgrade is answered, the transfer is not.
    client.send(first.frames[0]);
    EXPECT_EQ(client.receive(23, kReplyWait).bytes, first.replies[0]);
    client.send(first.frames[1]);
    EXPECT_TRUE(client.within(kSilenceWindow).empty());

    // Asked again and again: answered while it stays, silent while its application runs, then
    // the next board answers. Every step is seen.
    enum Seen { kStaying, kSilent, kNext };
    Seen seen = kStaying;
    const auto deadline = Clock::now() + 30s;
    while (seen != kNext && Clock::now() < deadline) {
        client.send(first.frames[0]);
        const bool answered = client.receive(23, 250ms).bytes == first.replies[0];
        if (!answered && seen == kStaying) {
            seen = kSilent;
        } else if (answered && seen == kSilent) {
            seen = kNext;
        }
    }
    ASSERT_EQ(seen, kNext);

    // Board 2 drops its answer to the first begin-transfer (the fault counts its own frames,
    // and board 1 did not have it), then takes its image.
    const Exchange second = upgradeOf(patternImage(200));
    client.send(second.frames[1]);
    EXPECT_TRUE(client.within(kSilenceWindow).empty());
    for (std::size_t i = 1; i < second.frames.size(); ++i) {
        client.send(second.frames[i]);
        ASSERT_EQ(client.receive(23, kReplyWait).bytes, second.replies[i]) << "frame " << i;
    }
    EXPECT_EQ(sim.waitExit(kExitWait), 0);
    EXPECT_EQ(readFile(dir.file("board-2.bin")), second.received);
    EXPECT_EQ(readFile(dir.file("board-1.bin")), first.received);
    const auto s = summaryOf(sim);
    EXPECT_EQ(s["boards"], 2);
    EXPECT_EQ(s["upgrades"], 2);
    EXPECT_EQ(s["sum"], second.sum);
    EXPECT_EQ(s["reason"], "once");
}

// A board that refuses a frame is given up by the tool: it is taken off like a finished one,
// and the next board comes after the swap.
TEST(SimRow, RefusingBoardIsTakenOffAndTheNextComes) {
    SimProcess sim(
        {"--boards", "2", "--swap", "0.3", "--fail", "1/26@1", "--once", "--timeout", "60"});
    Client client(sim.slavePath());
    const Exchange x = upgradeOf(patternImage(150));
    client.send(x.frames[0]);
    ASSERT_EQ(client.receive(23, kReplyWait).bytes, x.replies[0]);
    client.send(x.frames[1]);
    const Bytes refusal = client.receive(23, kReplyWait).bytes;
    ASSERT_EQ(refusal.size(), 23u);
    EXPECT_EQ(refusal[3], 0) << "the failure step";
    bool answered = false;
    const auto deadline = Clock::now() + 30s;
    while (!answered && Clock::now() < deadline) {
        client.send(x.frames[0]);
        answered = client.receive(23, 250ms).bytes == x.replies[0];
    }
    ASSERT_TRUE(answered);
    for (std::size_t i = 1; i < x.frames.size(); ++i) {
        client.send(x.frames[i]);
        ASSERT_EQ(client.receive(23, kReplyWait).bytes, x.replies[i]) << "frame " << i;
    }
    EXPECT_EQ(sim.waitExit(kExitWait), 0);
    const auto s = summaryOf(sim);
    EXPECT_EQ(s["boards"], 2);
    EXPECT_EQ(s["upgrades"], 1);
}

// Reads the CPU time the process has used, in clock ticks.
long cpuTicks(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream rest(content.substr(content.rfind(')') + 2));
    std::vector<std::string> fields{std::istream_iterator<std::string>(rest),
                                    std::istream_iterator<std::string>()};
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return std::stol(fields.at(11)) + std::stol(fields.at(12));
}

TEST(SimPort, ClosingAndReopeningThePortNeitherSpinsNorLosesTheBoard) {
    SimProcess sim({});
    Client client(sim.slavePath());
    client.send(kEnter);
    EXPECT_EQ(client.receive(23, kReplyWait).bytes, reply('W', 25));
    client.close();
    const long before = cpuTicks(sim.pid());
    std::this_thread::sleep_for(1500ms);
    const long used = cpuTicks(sim.pid()) - before;
    // A loop spinning on a hung-up master would use most of a core in that time.
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "busy while the port was closed";
    client.open();
    client.send(kBegin);
    EXPECT_EQ(client.receive(23, kReplyWait).bytes, reply('W', 26));
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimPort, JunkAndBrokenFramesAreCountedAndSkipped) {
    SimProcess sim({});
    Client client(sim.slavePath());
    Bytes broken = kEnter;
    broken[20] ^= 0x01;
    client.send(hex("00 11 22") + broken + kBegin);
    EXPECT_EQ(client.receive(23, kReplyWait).bytes, reply('W', 26));
    EXPECT_EQ(client.within(kStrayWindow), Bytes{});
    EXPECT_EQ(sim.stop(), 0);
    const auto s = summaryOf(sim);
    EXPECT_EQ(s["bad_frames"], 2);
    EXPECT_EQ(s["frames"]["25"], 0);
    EXPECT_EQ(s["frames"]["26"], 1);
}

TEST(SimPort, ServesAnExistingDeviceAtTheBoardsOwnRate) {
    // The far end of the pair plays the tool; the board serves the pair's slave as its UART
    // and sets it to the rate it listens at, 115200 once enter-upgrade is answered.
    tarvik::testing::PtyPair pair;
    SimProcess sim({"--device", pair.slavePath(), "--baud", "9600"});
    EXPECT_EQ(sim.slavePath(), pair.slavePath());
    auto rate = [&pair] {
        termios tio{};
        tcgetattr(pair.master(), &tio);
        return cfgetospeed(&tio);
    };
    EXPECT_EQ(rate(), B9600);
    pair.send(kEnter);
    EXPECT_EQ(pair.receive(23, std::chrono::duration_cast<std::chrono::milliseconds>(kReplyWait)),
              reply('W', 25));
    const auto deadline = Clock::now() + kReplyWait;
    while (rate() != B115200 && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(rate(), B115200);
    EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
