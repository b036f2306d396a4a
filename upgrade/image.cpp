#include "upgrade/image.h"

#include <algorithm>
#include <cstring>

#include "upgrade/frames.h"

namespace tarvik {

namespace {

constexpr uint8_t kMarker[] = {0x49, 0x4F, 0x2D};  // "IO-", no terminator
constexpr size_t kMarkerSize = sizeof kMarker;
// A marker at the very first byte does not count: the search starts here.
constexpr uint32_t kFirstMarkerOffset = 1;

constexpr uint8_t kFinalFill = 0xFF;  // what the final block carries after the image's tail

// Static storage: zero at program start, never reallocated, outlives every user.
uint8_t g_firmware[kFirmwareCapacity];

}  // namespace

uint8_t* FirmwareBuffer() {
    return g_firmware;
}

uint8_t CheckImage(const uint8_t* data, uint32_t length) {
    for (uint64_t p = kFirstMarkerOffset; p + kMarkerSize <= length; ++p) {
        if (std::memcmp(data + p, kMarker, kMarkerSize) == 0) {
            return kImageAccepted;
        }
    }
    return kImageRejected;
}

ImageCheck LoadCheckedImage(const std::string& path, uint8_t* buffer, uint32_t capacity,
                            FirmwareImage& image) {
    uint32_t length = 0;
    switch (LoadImageFile(path, buffer, capacity, length)) {
        case LoadResult::Ok:
            break;
        case LoadResult::OpenFailed:
            return ImageCheck::OpenFailed;
        case LoadResult::TooBig:
            return ImageCheck::TooBig;
        case LoadResult::ReadFailed:
            return ImageCheck::ReadFailed;
    }
    if (CheckImage(buffer, length) == kImageRejected) {
        return ImageCheck::BadImage;
    }
    image = FirmwareImage{buffer, length, ExpectedSum(buffer, length)};
    return ImageCheck::Ok;
}

uint32_t TotalBlocks(uint32_t length) {
    return length / kBlockSize + 1;
}

void BlockData(const uint8_t* image, uint32_t length, uint32_t n, uint8_t out[kBlockSize]) {
    if (static_cast<uint64_t>(n) + 1 < TotalBlocks(length)) {
        std::memcpy(out, image + static_cast<uint64_t>(n) * kBlockSize, kBlockSize);
        return;
    }
    const uint32_t tail = length % kBlockSize;
    std::fill(out, out + kBlockSize, kFinalFill);
    if (tail > 0) {
        std::memcpy(out, image + (length - tail), tail);
    }
}

uint32_t ExpectedSum(const uint8_t* image, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) {
        sum += image[i];
    }
    const uint32_t fillBytes = kBlockSize - length % kBlockSize;
    return sum + fillBytes * kFinalFill;
}

}  // namespace tarvik
