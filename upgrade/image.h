// The firmware image: the one static buffer, loading a file into it, the marker test and
// the arithmetic the transfer relies on.
#pragma once

#include <cstdint>
#include <string>

namespace tarvik {

inline constexpr uint32_t kFirmwareCapacity = 0xA00000;  // 10,485,760 bytes
inline constexpr uint8_t kImageAccepted = 0x00;
inline constexpr uint8_t kImageRejected = 0xFF;

// The program's firmware buffer (kFirmwareCapacity bytes, zero at start, never reallocated).
uint8_t* FirmwareBuffer();

// 0x00 when "IO-" stands at some offset p with 1 <= p and p + 3 <= length, else 0xFF.
uint8_t CheckImage(const uint8_t* data, uint32_t length);

enum class LoadResult {
    Ok,          // `length` holds the bytes read
    OpenFailed,  // missing, unreadable, a folder or not a regular file: "打开文件失败";
                 // buffer and `length` untouched
    TooBig,      // longer than the capacity: "file is huge!!!"; buffer and `length` untouched
    ReadFailed,  // the read itself failed; the buffer may be partly overwritten, `length` is 0
};
// Reads the whole file `path` (UTF-8) into `buffer` (at most `capacity` bytes) from its start. A
// file of exactly `capacity` bytes loads. No file stays open when this returns; never blocks on a
// pipe or device. Called on the thread that owns the buffer.
LoadResult LoadImageFile(const std::string& path, uint8_t* buffer, uint32_t capacity,
                         uint32_t& length);

// A loaded image that passed the marker test, read-only for whoever sends it: its bytes,
// their count and the sum the board must report for them. The bytes must stay as they are
// while any upgrade started on it runs.
struct FirmwareImage {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t expectedSum = 0;
};

enum class ImageCheck { Ok, OpenFailed, TooBig, ReadFailed, BadImage };
// Loads `path` into `buffer` as LoadImageFile does and applies the marker test; on Ok,
// `image` describes the checked bytes, sum included. Otherwise `image` is left as it was.
ImageCheck LoadCheckedImage(const std::string& path, uint8_t* buffer, uint32_t capacity,
                            FirmwareImage& image);

// (length div 128) + 1: the last block always carries the fill.
uint32_t TotalBlocks(uint32_t length);
// Block n's 128 data bytes: image bytes for n < total - 1, else the tail and 0xFF fill.
void BlockData(const uint8_t* image, uint32_t length, uint32_t n, uint8_t out[128]);
// Sum of every block data byte sent, fill included, wrapping at 2^32.
uint32_t ExpectedSum(const uint8_t* image, uint32_t length);

}  // namespace tarvik
