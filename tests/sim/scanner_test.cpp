// Finding the tool's frames in the bytes the board receives.
#include "scanner.h"

#include <gtest/gtest.h>

#include "line_bytes.h"

namespace {

using namespace simtest;
using tarvik::sim::Clock;
using tarvik::sim::FrameScanner;
using namespace std::chrono_literals;

const Bytes kEnter = command('W', 25);
const Bytes kBegin = command('W', 26);
const Bytes kBlock = block(27, 3, fill(128, 0x5A));

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes withChecksumOffByOne(Bytes frame) {
    frame[frame.size() - 3] = static_cast<std::uint8_t>(frame[frame.size() - 3] + 1);
    return frame;
}

struct ScanCase {
    const char* name;
    std::vector<Bytes> pushes;  // arriving one after the other
    std::vector<Bytes> frames;  // the frames found, in order
    std::uint64_t bad;          // runs of dropped bytes
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

class Scanning : public ::testing::TestWithParam<ScanCase> {};

TEST_P(Scanning, FindsTheFramesAndCountsWhatIsDropped) {
    const ScanCase& c = GetParam();
    FrameScanner scanner;
    std::vector<Bytes> found;
    const auto t0 = Clock::now();
    for (const Bytes& chunk : c.pushes) {
        scanner.push(chunk.data(), chunk.size(), t0, 0ns, 115200);
        while (auto f = scanner.next()) {
            found.push_back(f->bytes);
        }
    }
    EXPECT_EQ(found, c.frames);
    EXPECT_EQ(scanner.badFrames(), c.bad);
}

// A data frame whose block data holds "h:" and a valid-looking command frame inside it.
Bytes blockWithFrameInside() {
    Bytes data = fill(128, 0);
    std::copy(kEnter.begin(), kEnter.end(), data.begin() + 10);
    return block(27, 0, data);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Scanning,
    ::testing::Values(
        ScanCase{"WholeCommandFrame", {kEnter}, {kEnter}, 0},
        ScanCase{"WholeDataFrame", {kBlock}, {kBlock}, 0},
        ScanCase{"SplitIntoThreeReads",
                 {slice(kBlock, 0, 1), slice(kBlock, 1, 4), slice(kBlock, 4, 137)},
                 {kBlock},
                 0},
        ScanCase{"TwoFramesInOneRead", {kEnter + kBegin}, {kEnter, kBegin}, 0},
        ScanCase{"JunkBeforeAFrame", {hex("00 FF 45 44") + kEnter}, {kEnter}, 1},
        ScanCase{"JunkAcrossReadsIsOneRun", {hex("01 02"), hex("03") + kBegin}, {kBegin}, 1},
        ScanCase{"WrongChecksum", {withChecksumOffByOne(kEnter)}, {}, 1},
        ScanCase{
            "WrongChecksumThenAGoodFrame", {withChecksumOffByOne(kEnter) + kBegin}, {kBegin}, 1},
        ScanCase{
            "ReplyEndingIsNotAToolFrame", {slice(kEnter, 0, 22) + hex("44") + kBegin}, {kBegin}, 1},
        ScanCase{"TruncatedFrameThenAWholeOne", {slice(kEnter, 0, 10) + kBegin}, {kBegin}, 1},
        ScanCase{
            "TruncatedDataFrameWaitsForItsLength", {slice(kBlock, 0, 30) + kEnter + kBegin}, {}, 0},
        ScanCase{
            "HeaderSplitAfterJunk", {hex("00 68"), hex("3A") + slice(kBegin, 2, 23)}, {kBegin}, 1},
        ScanCase{"FrameInsideBlockDataIsNotSplitOut",
                 {blockWithFrameInside()},
                 {blockWithFrameInside()},
                 0},
        ScanCase{"TwoBadCandidatesAreTwoBadFrames",
                 {withChecksumOffByOne(kEnter) + withChecksumOffByOne(kBegin) + kEnter},
                 {kEnter},
                 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScannerTiming, FrameCarriesItsLastBytesTimeAndRate) {
    FrameScanner scanner;
    const auto t0 = Clock::now();
    scanner.push(kEnter.data(), 10, t0, 1ms, 9600);
    EXPECT_FALSE(scanner.next());
    scanner.push(kEnter.data() + 10, 13, t0 + 50ms, 1ms, 19200);
    const auto f = scanner.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->complete, t0 + 50ms + 12ms);
    EXPECT_EQ(f->baud, 19200u);
}

TEST(ScannerTiming, PartialFrameExpiresAfterTheGapAsOneBadFrame) {
    FrameScanner scanner;
    const auto t0 = Clock::now();
    scanner.push(kEnter.data(), 10, t0, 0ns, 115200);
    EXPECT_FALSE(scanner.next());
    ASSERT_TRUE(scanner.expiresAt(200ms));
    EXPECT_EQ(*scanner.expiresAt(200ms), t0 + 200ms);
    EXPECT_FALSE(scanner.expire(t0 + 199ms, 200ms));
    EXPECT_EQ(scanner.buffered(), 10u);
    EXPECT_EQ(scanner.badFrames(), 0u);
    EXPECT_TRUE(scanner.expire(t0 + 200ms, 200ms));
    EXPECT_FALSE(scanner.next());
    EXPECT_EQ(scanner.buffered(), 0u);
    EXPECT_EQ(scanner.badFrames(), 1u);
    EXPECT_FALSE(scanner.expiresAt(200ms));
    // The next frame is found whole.
    scanner.push(kBegin.data(), kBegin.size(), t0 + 1s, 0ns, 115200);
    const auto f = scanner.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bytes, kBegin);
}

TEST(ScannerTiming, FramesBehindAStaleDataFrameAreFoundOnceItExpires) {
    // A data frame cut short: its length would swallow the two commands behind it.
    FrameScanner scanner;
    const auto t0 = Clock::now();
    const Bytes stream = slice(kBlock, 0, 30) + kEnter + kBegin;
    scanner.push(stream.data(), stream.size(), t0, 0ns, 115200);
    EXPECT_FALSE(scanner.next());
    std::vector<Bytes> found;
    do {
        while (auto f = scanner.next()) {
            found.push_back(f->bytes);
        }
    } while (scanner.expire(t0 + 1s, 200ms));
    EXPECT_EQ(found, (std::vector<Bytes>{kEnter, kBegin}));
    EXPECT_EQ(scanner.badFrames(), 1u);
    EXPECT_EQ(scanner.buffered(), 0u);
}

}  // namespace
