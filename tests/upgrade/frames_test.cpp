// Wire images of the frames the tool sends, the reply check and the reply fields.
#include "upgrade/frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "upgrade/image.h"

namespace tarvik {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes Repeat(uint8_t value, size_t count) {
    return Bytes(count, value);
}

Bytes WireOf(CCmdFrame frame) {
    const uint8_t* wire = frame.Pack();
    return Bytes(wire, wire + kCmdFrameSize);
}

Bytes WireOf(CDataFrame frame) {
    const uint8_t* wire = frame.Pack();
    return Bytes(wire, wire + kDataFrameSize);
}

struct CommandCase {
    std::string name;
    std::function<CCmdFrame()> make;
    Bytes expected;
};

TEST(CommandFrames, CatalogueWireImagesAreExact) {
    const std::vector<CommandCase> cases = {
        {"enter-upgrade", MakeEnterUpgradeFrame,
         Concat({{0x68, 0x3A, 0x57, 0x19}, Repeat(0x00, 16), {0x12, 0x45, 0x2E}})},
        {"begin-transfer", MakeBeginTransferFrame,
         Concat({{0x68, 0x3A, 0x57, 0x1A}, Repeat(0x00, 16), {0x13, 0x45, 0x2E}})},
        {"checksum request", MakeChecksumRequestFrame,
         Concat({{0x68, 0x3A, 0x52, 0x1D}, Repeat(0x00, 16), {0x11, 0x45, 0x2E}})},
        {"finish", MakeFinishFrame,
         Concat({{0x68, 0x3A, 0x57, 0x1E, 0x01}, Repeat(0x00, 15), {0x18, 0x45, 0x2E}})},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.expected.size(), kCmdFrameSize);
        EXPECT_EQ(WireOf(c.make()), c.expected);
    }
}

TEST(CommandFrames, ChecksumWrapsAtEightBits) {
    // 68 3A 57 00 FF 07 00.. sums to 0x1FF: the checksum byte keeps the low eight bits.
    CCmdFrame frame;
    frame.m_command = kCommandWrite;
    frame.m_step = 0x00;
    frame.m_payload[0] = 0xFF;
    frame.m_payload[1] = 0x07;
    const Bytes wire = WireOf(frame);
    EXPECT_EQ(std::accumulate(wire.begin(), wire.begin() + 20, 0u), 0x1FFu);
    EXPECT_EQ(wire[20], 0xFF);
    EXPECT_EQ(wire[21], 0x45);
    EXPECT_EQ(wire[22], 0x2E);
}

TEST(CommandFrames, PackAgainAfterAChangeRecomputesTheChecksum) {
    CCmdFrame frame = MakeEnterUpgradeFrame();
    frame.Pack();
    frame.m_step = kStepBeginTransfer;
    EXPECT_EQ(WireOf(frame), WireOf(MakeBeginTransferFrame()));
}

struct ReplyCase {
    std::string name;
    Bytes reply;
    bool accepted;
};

// A well-formed reply: 'h' ':' 'W' step, payload, checksum, 'E' '.'.
Bytes Reply(uint8_t step, Bytes payload, int checksumError = 0, uint8_t header0 = 0x68,
            uint8_t header1 = 0x3A, uint8_t trailer0 = 0x45, uint8_t trailer1 = 0x2E) {
    payload.resize(kCmdPayloadSize, 0x00);
    Bytes reply = Concat({{header0, header1, kCommandWrite, step}, payload});
    const unsigned sum = std::accumulate(reply.begin(), reply.end(), 0u);
    reply.push_back(static_cast<uint8_t>(sum + checksumError));
    reply.push_back(trailer0);
    reply.push_back(trailer1);
    return reply;
}

TEST(ReplyVerify, OnlyTheSumOfBytesZeroToNineteenDecides) {
    const std::vector<ReplyCase> cases = {
        {"acknowledgement", Reply(kStepDataBlock, {0x05, 0x00}), true},
        {"trailer E D", Reply(kStepDataBlock, {0x05, 0x00}, 0, 0x68, 0x3A, 0x45, 0x44), true},
        {"other header", Reply(kStepEnterUpgrade, {}, 0, 0x00, 0xFF), true},
        {"garbage trailer", Reply(kStepFinish, {}, 0, 0x68, 0x3A, 0xFF, 0x00), true},
        {"sum wraps", Reply(kStepChecksum, {0xFF, 0xFF, 0xFF, 0xFF}), true},
        {"checksum one high", Reply(kStepDataBlock, {0x05, 0x00}, +1), false},
        {"checksum one low", Reply(kStepDataBlock, {0x05, 0x00}, -1), false},
        {"failure reply, bad sum", Reply(kStepFailure, {}, +1), false},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.reply.size(), kCmdFrameSize);
        CCmdFrame frame;
        frame.Load(c.reply.data());
        EXPECT_EQ(frame.Verify(), c.accepted);
    }
}

TEST(ReplyVerify, EveryCoveredByteCounts) {
    // A single corrupted byte anywhere in 0..19 must be caught, the command byte included.
    const Bytes good = Reply(kStepDataBlock, {0x34, 0x12});
    for (size_t i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        Bytes bad = good;
        bad[i] ^= 0x01;
        CCmdFrame frame;
        frame.Load(bad.data());
        EXPECT_FALSE(frame.Verify());
    }
}

TEST(ReplyFields, NumbersAreLittleEndian) {
    CCmdFrame ack;
    ack.Load(Reply(kStepDataBlock, {0x34, 0x12, 0x99}).data());
    EXPECT_EQ(ack.m_step, kStepDataBlock);
    EXPECT_EQ(ReplyBlockNumber(ack), 0x1234);

    CCmdFrame top;
    top.Load(Reply(kStepDataBlock, {0xFF, 0xFF}).data());
    EXPECT_EQ(ReplyBlockNumber(top), 65535);

    CCmdFrame sum;
    sum.Load(Reply(kStepChecksum, {0x4A, 0x7B, 0x00, 0x00, 0x77}).data());
    EXPECT_EQ(ReplySum(sum), 31562u);

    CCmdFrame high;
    high.Load(Reply(kStepChecksum, {0xEF, 0xCD, 0xAB, 0x89}).data());
    EXPECT_EQ(ReplySum(high), 0x89ABCDEFu);
}

TEST(ReplyFields, LoadedReplyPacksBackToTheSameBytes) {
    // A reply passed through a frame is byte for byte what came in, odd framing included.
    const Bytes reply = Reply(kStepChecksum, {1, 2, 3, 4}, 0, 0x00, 0x01, 0x45, 0x44);
    CCmdFrame frame;
    frame.Load(reply.data());
    EXPECT_EQ(WireOf(frame), reply);
}

struct BlockCase {
    std::string name;
    Bytes image;
    uint32_t n;
    bool final;
    Bytes expected;
};

TEST(DataFrames, BlockWireImagesAreExact) {
    Bytes image256(256);
    std::iota(image256.begin(), image256.end(), uint8_t{0});
    const Bytes marker5 = {0x00, 0x49, 0x4F, 0x2D, 0x00};

    const std::vector<BlockCase> cases = {
        {"data block 0 of zeros", Repeat(0x00, 300), 0, false,
         Concat({{0x68, 0x3A, 0x57, 0x1B, 0x00, 0x00}, Repeat(0x00, 128), {0x14, 0x45, 0x2E}})},
        {"final block of 256 bytes", image256, 2, true,
         Concat({{0x68, 0x3A, 0x57, 0x1C, 0x02, 0x00}, Repeat(0xFF, 128), {0x97, 0x45, 0x2E}})},
        {"final block of the 5-byte image", marker5, 0, true,
         Concat({{0x68, 0x3A, 0x57, 0x1C, 0x00, 0x00},
                 marker5,
                 Repeat(0xFF, 123),
                 {0x5F, 0x45, 0x2E}})},
    };
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.expected.size(), kDataFrameSize);
        const auto length = static_cast<uint32_t>(c.image.size());
        const Bytes wire = c.final ? WireOf(MakeFinalBlockFrame(c.image.data(), length, c.n))
                                   : WireOf(MakeDataBlockFrame(c.image.data(), length, c.n));
        EXPECT_EQ(wire, c.expected);
    }
}

TEST(DataFrames, FramesCarryTheImageAndItsFillAcrossAnUpgrade) {
    // Sending blocks 0 .. total-1 as the transfer does must deliver the image, then 0xFF, and
    // the block data must add up to the sum the board is expected to report.
    for (uint32_t length : {0u, 1u, 5u, 127u, 128u, 129u, 256u, 300u, 1000u}) {
        SCOPED_TRACE(length);
        Bytes image(length);
        for (uint32_t i = 0; i < length; ++i) {
            image[i] = static_cast<uint8_t>(i * 37 + 11);
        }
        const uint32_t total = TotalBlocks(length);
        Bytes delivered;
        uint32_t sum = 0;
        for (uint32_t n = 0; n < total; ++n) {
            const bool final = n + 1 == total;
            CDataFrame frame = final ? MakeFinalBlockFrame(image.data(), length, n)
                                     : MakeDataBlockFrame(image.data(), length, n);
            const Bytes wire = WireOf(frame);
            EXPECT_EQ(wire[3], final ? kStepFinalBlock : kStepDataBlock);
            EXPECT_EQ(wire[4] | (wire[5] << 8), static_cast<int>(n));
            const Bytes data(wire.begin() + 6, wire.begin() + 6 + kBlockSize);
            uint8_t fromImage[kBlockSize];
            BlockData(image.data(), length, n, fromImage);
            EXPECT_EQ(data, Bytes(fromImage, fromImage + kBlockSize));
            delivered.insert(delivered.end(), data.begin(), data.end());
            sum = std::accumulate(data.begin(), data.end(), sum);
        }
        ASSERT_EQ(delivered.size(), static_cast<size_t>(total) * kBlockSize);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), delivered.begin()));
        EXPECT_TRUE(std::all_of(delivered.begin() + length, delivered.end(),
                                [](uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(sum, ExpectedSum(image.data(), length));
    }
}

TEST(DataFrames, BlockNumberWrapsAtSixteenBits) {
    // An image of 65537 whole blocks and a few bytes (block 65537 is the final one): the data
    // in every frame still comes from the block's true offset while the number on the wire
    // wraps.
    const uint32_t length = 65537u * kBlockSize + 3;
    Bytes image(length);
    for (uint32_t i = 0; i < length; ++i) {
        image[i] = static_cast<uint8_t>((i >> 7) ^ (i >> 15) ^ i);
    }
    struct Case {
        uint32_t n;
        uint8_t low;
        uint8_t high;
    };
    for (const Case& c : {Case{255, 0xFF, 0x00}, Case{256, 0x00, 0x01}, Case{65535, 0xFF, 0xFF},
                          Case{65536, 0x00, 0x00}, Case{65537, 0x01, 0x00}}) {
        SCOPED_TRACE(c.n);
        const bool final = c.n + 1 == TotalBlocks(length);
        const Bytes wire = WireOf(final ? MakeFinalBlockFrame(image.data(), length, c.n)
                                        : MakeDataBlockFrame(image.data(), length, c.n));
        EXPECT_EQ(wire[4], c.low);
        EXPECT_EQ(wire[5], c.high);
        uint8_t expected[kBlockSize];
        BlockData(image.data(), length, c.n, expected);
        EXPECT_TRUE(std::equal(expected, expected + kBlockSize, wire.begin() + 6));
    }
}

TEST(DataFrames, DataBlockNeverReadsPastTheImage) {
    // A block number beyond the image's last whole block copies only the bytes that exist
    // (the sanitizer build catches any byte read past the end of this exact-size vector).
    const Bytes image = {0x10, 0x20, 0x30, 0x40, 0x50};
    const Bytes wire = WireOf(MakeDataBlockFrame(image.data(), 5, 0));
    EXPECT_EQ(Bytes(wire.begin() + 6, wire.begin() + 11), image);
    EXPECT_TRUE(
        std::all_of(wire.begin() + 11, wire.begin() + 134, [](uint8_t b) { return b == 0x00; }));
    const Bytes far = WireOf(MakeDataBlockFrame(image.data(), 5, 0xFFFFFFFFu));
    EXPECT_TRUE(
        std::all_of(far.begin() + 6, far.begin() + 134, [](uint8_t b) { return b == 0x00; }));
}

}  // namespace
}  // namespace tarvik
