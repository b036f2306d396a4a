// The marker test, loading a file into the firmware buffer, and the image arithmetic.
#include "upgrade/image.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <numeric>
#include <string>
#include <vector>

#include "upgrade/frames.h"

namespace tarvik {
namespace {

using Bytes = std::vector<uint8_t>;

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

// A temporary folder removed with everything in it.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvik-image-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const Bytes& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// A sparse file of `size` bytes (zeros) with `tail` written over its last bytes.
void WriteSparseFile(const std::string& path, off_t size, const Bytes& tail) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::ftruncate(fd, size), 0) << std::strerror(errno);
    const off_t at = size - static_cast<off_t>(tail.size());
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), at), static_cast<ssize_t>(tail.size()));
    ::close(fd);
}

size_t OpenDescriptors() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

constexpr uint8_t kStale = 0xA5;       // what the buffer held before a load
constexpr uint32_t kStaleLength = 77;  // the image length before a load

class LoadImage : public ::testing::Test {
protected:
    void SetUp() override { std::fill(m_buffer.begin(), m_buffer.end(), kStale); }

    LoadResult Load(const std::string& path, uint32_t capacity) {
        m_length = kStaleLength;
        return LoadImageFile(path, m_buffer.data(), capacity, m_length);
    }
    bool BufferUntouched() const {
        return std::all_of(m_buffer.begin(), m_buffer.end(), [](uint8_t b) { return b == kStale; });
    }

    TempDir m_dir;
    Bytes m_buffer = Bytes(1024);
    uint32_t m_length = 0;
};

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

TEST_F(LoadImage, PipeWithoutWriterIsRefusedWithoutWaiting) {
    // Opening a FIFO with no writer the ordinary way waits for one forever. Should the load
    // block, a writer opened here lets it go so the test fails instead of hanging.
    constexpr auto kBound = std::chrono::seconds(60);
    const std::string pipe = m_dir.File("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0) << std::strerror(errno);
    auto result = std::async(std::launch::async, [&] { return Load(pipe, m_buffer.size()); });
    if (result.wait_for(kBound) != std::future_status::ready) {
        const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        result.wait();
        if (writer >= 0) {
            ::close(writer);
        }
        FAIL() << "loading a FIFO blocked";
    }
    EXPECT_EQ(result.get(), LoadResult::OpenFailed);
    EXPECT_EQ(m_length, kStaleLength);
    EXPECT_TRUE(BufferUntouched());
}

TEST_F(LoadImage, ReadErrorIsReportedAndForgetsTheOldLength) {
    // A regular file of size 0 whose read fails: offset 0 of this process's memory.
    if (::access("/proc/self/mem", R_OK) != 0) {
        GTEST_SKIP() << "no /proc/self/mem";
    }
    EXPECT_EQ(Load("/proc/self/mem", m_buffer.size()), LoadResult::ReadFailed);
    EXPECT_EQ(m_length, 0u);
}

TEST_F(LoadImage, NoFileStaysOpen) {
    WriteFile(m_dir.File("fw.bin"), Bytes(100, 0x01));
    WriteFile(m_dir.File("big.bin"), Bytes(m_buffer.size() + 1, 0x01));
    const size_t before = OpenDescriptors();
    EXPECT_EQ(Load(m_dir.File("fw.bin"), m_buffer.size()), LoadResult::Ok);
    EXPECT_EQ(Load(m_dir.File("big.bin"), m_buffer.size()), LoadResult::TooBig);
    EXPECT_EQ(Load(m_dir.Path(), m_buffer.size()), LoadResult::OpenFailed);
    if (::access("/proc/self/mem", R_OK) == 0) {
        EXPECT_EQ(Load("/proc/self/mem", m_buffer.size()), LoadResult::ReadFailed);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(LoadFirmware, CapacityLoadsAndOneByteMoreIsRefused) {
    TempDir dir;
    const Bytes marker = {0x49, 0x4F, 0x2D};
    WriteSparseFile(dir.File("exact.bin"), kFirmwareCapacity, marker);
    WriteSparseFile(dir.File("over.bin"), off_t{kFirmwareCapacity} + 1, marker);

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
