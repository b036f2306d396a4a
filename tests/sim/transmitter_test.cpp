// The transmit line: when replies go out, in what order, and at what pace.
#include "transmitter.h"

#include <gtest/gtest.h>

#include "line_bytes.h"

namespace {

using namespace simtest;
using tarvik::sim::Clock;
using tarvik::sim::Transmitter;
using namespace std::chrono_literals;

const Clock::time_point t0{};  // a made-up clock

// Everything ready at `now`, written at once.
Bytes take(Transmitter& tx, Clock::time_point now, bool* replyDone = nullptr) {
    const auto span = tx.ready(now);
    Bytes out(span.begin(), span.end());
    const bool done = tx.written(out.size(), now);
    if (replyDone) {
        *replyDone = done;
    }
    return out;
}

TEST(TransmitterUnpaced, ItemGoesOutWholeAtItsTime) {
    Transmitter tx(false);
    tx.schedule(t0 + 100ms, fill(23, 1), 115200, true);
    EXPECT_EQ(tx.nextReady(), t0 + 100ms);
    EXPECT_TRUE(take(tx, t0 + 99ms).empty());
    bool done = false;
    EXPECT_EQ(take(tx, t0 + 100ms, &done), fill(23, 1));
    EXPECT_TRUE(done);
    EXPECT_TRUE(tx.idle());
    EXPECT_FALSE(tx.nextReady());
}

TEST(TransmitterUnpaced, ItemsGoInTheOrderOfTheirTimes) {
    Transmitter tx(false);
    tx.schedule(t0 + 400ms, fill(1, 0xC), 115200, true);  // a delayed reply
    tx.schedule(t0 + 10ms, fill(1, 0xA), 115200, true);
    tx.schedule(t0 + 10ms, fill(1, 0xB), 115200, true);  // same time: after A
    EXPECT_EQ(take(tx, t0 + 10ms), fill(1, 0xA));
    EXPECT_EQ(take(tx, t0 + 10ms), fill(1, 0xB));
    EXPECT_TRUE(take(tx, t0 + 10ms).empty());
    EXPECT_EQ(tx.nextReady(), t0 + 400ms);
    EXPECT_EQ(take(tx, t0 + 400ms), fill(1, 0xC));
}

TEST(TransmitterUnpaced, PartialWriteKeepsTheRestAndReportsTheEndOnce) {
    Transmitter tx(false);
    tx.schedule(t0, fill(23, 7), 115200, true);
    ASSERT_EQ(tx.ready(t0).size(), 23u);
    EXPECT_FALSE(tx.written(5, t0));
    EXPECT_EQ(tx.ready(t0).size(), 18u);
    EXPECT_TRUE(tx.written(18, t0));
    EXPECT_TRUE(tx.idle());
}

TEST(TransmitterUnpaced, GarbageAloneIsNoReply) {
    Transmitter tx(false);
    tx.schedule(t0, fill(4, 0), 9600, false);
    bool done = true;
    take(tx, t0, &done);
    EXPECT_FALSE(done);
}

TEST(TransmitterPaced, BytesCrossTheLineAtTenBitsEach) {
    // At 1200 baud a byte takes 10/1200 s = 8,333,333 ns.
    constexpr auto kByte = 8'333'333ns;
    Transmitter tx(true);
    tx.schedule(t0, fill(23, 3), 1200, true);
    EXPECT_TRUE(take(tx, t0).empty());
    EXPECT_EQ(tx.nextReady(), t0 + kByte);
    EXPECT_EQ(take(tx, t0 + kByte).size(), 1u);
    EXPECT_EQ(tx.nextReady(), t0 + 2 * kByte);
    EXPECT_EQ(take(tx, t0 + 10 * kByte).size(), 9u);  // a late wake-up catches up
    bool done = true;
    EXPECT_EQ(take(tx, t0 + 22 * kByte, &done).size(), 12u);
    EXPECT_FALSE(done);
    EXPECT_EQ(take(tx, t0 + 23 * kByte, &done).size(), 1u);
    EXPECT_TRUE(done);
}

TEST(TransmitterPaced, NextItemWaitsForTheLine) {
    constexpr auto kByte = 86'805ns;  // 115200 baud
    Transmitter tx(true);
    tx.schedule(t0, fill(23, 1), 115200, true);
    tx.schedule(t0, fill(23, 2), 115200, true);  // a burst right behind it
    EXPECT_EQ(take(tx, t0 + 23 * kByte).size(), 23u);
    // The second starts when the first has left the line, not when it was due.
    EXPECT_EQ(tx.nextReady(), t0 + 23 * kByte);
    EXPECT_TRUE(take(tx, t0 + 23 * kByte).empty());
    EXPECT_EQ(take(tx, t0 + 24 * kByte).size(), 1u);
    EXPECT_EQ(take(tx, t0 + 46 * kByte).size(), 22u);
    EXPECT_TRUE(tx.idle());
}

}  // namespace
