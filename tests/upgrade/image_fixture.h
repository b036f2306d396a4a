// Loading image files in tests: a temporary folder, files written into it, and a fixture
// whose buffer shows what a load touched.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "temp_folder.h"
#include "upgrade/image.h"

namespace tarvik {

using Bytes = std::vector<uint8_t>;

// A temporary folder removed with everything in it. Paths are UTF-8.
class TempDir {
public:
    TempDir() : m_path(testing::Utf8Path(testing::MakeTempFolder("tarvik-image"))) {}
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(testing::PathFromUtf8(m_path), ignored);
    }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(testing::PathFromUtf8(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

// A file of `size` bytes (zeros, sparse where the file system can) with `tail` written over
// its last bytes.
inline void WriteSparseFile(const std::string& path, uint64_t size, const Bytes& tail) {
    const std::filesystem::path file = testing::PathFromUtf8(path);
    WriteFile(path, {});
    std::filesystem::resize_file(file, size);
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(size - tail.size()));
    out.write(reinterpret_cast<const char*>(tail.data()),
              static_cast<std::streamsize>(tail.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline constexpr uint8_t kStale = 0xA5;       // what the buffer held before a load
inline constexpr uint32_t kStaleLength = 77;  // the image length before a load

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

}  // namespace tarvik
