// The marker test, loading a file into the firmware buffer, and the image arithmetic.
#include "upgrade/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "image_fixture.h"
#include "upgrade/frames.h"

namespace tarvik {
namespace {

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

struct MarkerCase {
    std::string name;
    Bytes buffer;     // what the buffer holds
    uint32_t length;  // how much of it is the image
    uint8_t expected;
};

TEST(CheckImage, MarkerMustStandInsideTheImageAfterTheFirstByte) {
    const std::vector<MarkerCase> cases = {
        {"empty", {}, 0, kImageRejected},
        {"one byte", Text("I"), 1, kImageRejected},
        {"two bytes", Text("IO"), 2, kImageRejected},
        {"three bytes, marker at offset 0", Text("IO-"), 3, kImageRejected},
        {"four bytes, marker at offset 1", Text("xIO-"), 4, kImageAccepted},
        {"four bytes, marker at offset 0 only", Text("IO-x"), 4, kImageRejected},
        {"four bytes without marker", Bytes(4, 0x00), 4, kImageRejected},
        {"offset 0 only, longer image", Text("IO-abcdefgh"), 11, kImageRejected},
        {"offset 0 and again later", Text("IO-abIO-"), 8, kImageAccepted},
        {"offset 1", Text("\x01IO-\x02\x03"), 6, kImageAccepted},
        {"repeated I before the marker", Text("IIO-"), 4, kImageAccepted},
        {"last three bytes", Text("abcdefIO-"), 9, kImageAccepted},
        {"ends in I O, dash beyond the length", Text("abcdIO-"), 6, kImageRejected},
        {"marker wholly beyond the length", Text("abcdIO-"), 4, kImageRejected},
        {"lower case is no marker", Text("xio-"), 4, kImageRejected},
        {"marker broken by a byte", Text("xIOx-"), 5, kImageRejected},
    };
    for (const MarkerCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.length, c.buffer.size());
        EXPECT_EQ(CheckImage(c.buffer.data(), c.length), c.expected);
    }
}

TEST_F(LoadImage, ReadsTheWholeFileAndLeavesTheRestOfTheBuffer) {
    const Bytes image = {0x00, 0x49, 0x4F, 0x2D, 0x00};
    WriteFile(m_dir.File("fw.bin"), image);
    ASSERT_EQ(Load(m_dir.File("fw.bin"), m_buffer.size()), LoadResult::Ok);
    EXPECT_EQ(m_length, image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), m_buffer.begin()));
    EXPECT_EQ(m_buffer[image.size()], kStale);
    EXPECT_EQ(CheckImage(m_buffer.data(), m_length), kImageAccepted);
}

TEST_F(LoadImage, EmptyFileLoadsAsAnEmptyImage) {
    WriteFile(m_dir.File("empty.bin"), {});
    ASSERT_EQ(Load(m_dir.File("empty.bin"), m_buffer.size()), LoadResult::Ok);
    EXPECT_EQ(m_length, 0u);
    EXPECT_EQ(CheckImage(m_buffer.data(), m_length), kImageRejected);
}

TEST_F(LoadImage, WhatCannotBeOpenedAsAFileLeavesEverythingAlone) {
    for (const std::string& path : {m_dir.File("missing.bin"), m_dir.Path(), std::string()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Load(path, m_buffer.size()), LoadResult::OpenFailed);
        EXPECT_EQ(m_length, kStaleLength);
        EXPECT_TRUE(BufferUntouched());
    }
}

TEST_F(LoadImage, FolderAndFileNamesOutsideAsciiLoad) {
    // Operators keep images in folders named in Chinese; the path is UTF-8 whatever the
    // system's code page.
    const std::string folder = m_dir.File("固件 升级");
    std::filesystem::create_directory(testing::PathFromUtf8(folder));
    const Bytes image = {0x00, 0x49, 0x4F, 0x2D, 0x07};
    WriteFile(folder + "/继电器板.bin", image);
    ASSERT_EQ(Load(folder + "/继电器板.bin", m_buffer.size()), LoadResult::Ok);
    EXPECT_EQ(m_length, image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), m_buffer.begin()));
}

TEST(LoadFirmware, CapacityLoadsAndOneByteMoreIsRefused) {
    TempDir dir;
    const Bytes marker = {0x49, 0x4F, 0x2D};
    WriteSparseFile(dir.File("exact.bin"), kFirmwareCapacity, marker);
    WriteSparseFile(dir.File("over.bin"), uint64_t{kFirmwareCapacity} + 1, marker);

    uint8_t* buffer = FirmwareBuffer();
    ASSERT_EQ(buffer, FirmwareBuffer());
    std::memset(buffer, kStale, kFirmwareCapacity);

    uint32_t length = kStaleLength;
    EXPECT_EQ(LoadImageFile(dir.File("over.bin"), buffer, kFirmwareCapacity, length),
              LoadResult::TooBig);
    EXPECT_EQ(length, kStaleLength);
    EXPECT_TRUE(
        std::all_of(buffer, buffer + kFirmwareCapacity, [](uint8_t b) { return b == kStale; }));

    ASSERT_EQ(LoadImageFile(dir.File("exact.bin"), buffer, kFirmwareCapacity, length),
              LoadResult::Ok);
    EXPECT_EQ(length, kFirmwareCapacity);
    EXPECT_TRUE(std::all_of(buffer, buffer + kFirmwareCapacity - marker.size(),
                            [](uint8_t b) { return b == 0x00; }));
    EXPECT_TRUE(std::equal(marker.begin(), marker.end(), buffer + kFirmwareCapacity - 3));
    EXPECT_EQ(CheckImage(buffer, length), kImageAccepted);
}

struct ArithmeticCase {
    std::string name;
    Bytes image;
    uint32_t totalBlocks;
    uint32_t expectedSum;
};

TEST(ImageArithmetic, BlockCountsAndExpectedSums) {
    const std::vector<ArithmeticCase> cases = {
        {"empty: one block of fill", {}, 1, 32640},
        {"the 5-byte image", {0x00, 0x49, 0x4F, 0x2D, 0x00}, 1, 31562},
        {"127 bytes of 01", Bytes(127, 0x01), 1, 127 + 255},
        {"128 bytes of FF", Bytes(128, 0xFF), 2, 65280},
        {"129 bytes of 01", Bytes(129, 0x01), 2, 129 + 127 * 255},
        {"256 bytes of 02", Bytes(256, 0x02), 3, 512 + 32640},
        {"300 bytes of 01", Bytes(300, 0x01), 3, 21720},
    };
    for (const ArithmeticCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto length = static_cast<uint32_t>(c.image.size());
        EXPECT_EQ(TotalBlocks(length), c.totalBlocks);
        EXPECT_EQ(ExpectedSum(c.image.data(), length), c.expectedSum);
    }
}

TEST(ImageArithmetic, LargestImageSumFitsInThirtyTwoBits) {
    uint8_t* buffer = FirmwareBuffer();
    std::memset(buffer, 0xFF, kFirmwareCapacity);
    EXPECT_EQ(TotalBlocks(kFirmwareCapacity), kFirmwareCapacity / 128 + 1);
    EXPECT_EQ(ExpectedSum(buffer, kFirmwareCapacity), 2673901440u);  // 10,485,760 * 255 + 32,640
}

TEST(ImageArithmetic, BlockContentsOfAThreeHundredByteImage) {
    Bytes image(300);
    std::iota(image.begin(), image.end(), uint8_t{1});
    uint8_t block[kBlockSize];

    BlockData(image.data(), 300, 1, block);
    EXPECT_TRUE(std::equal(block, block + kBlockSize, image.begin() + 128));

    BlockData(image.data(), 300, 2, block);
    EXPECT_TRUE(std::equal(block, block + 44, image.begin() + 256));
    EXPECT_TRUE(std::all_of(block + 44, block + kBlockSize, [](uint8_t b) { return b == 0xFF; }));

    // When the length is a multiple of 128 the final block holds no image byte.
    BlockData(image.data(), 256, 2, block);
    EXPECT_TRUE(std::all_of(block, block + kBlockSize, [](uint8_t b) { return b == 0xFF; }));
}

}  // namespace
}  // namespace tarvik
