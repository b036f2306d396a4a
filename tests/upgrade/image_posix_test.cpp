// Loading image files where only Linux can show the fault: a FIFO, a failing read, leaked
// descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>

#include "image_fixture.h"

namespace tarvik {
namespace {

size_t OpenDescriptors() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
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

}  // namespace
}  // namespace tarvik
