#include "upgrade/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Closes the descriptor on every path out of LoadImageFile.
class FileCloser {
public:
    explicit FileCloser(int fd) : m_fd(fd) {}
    ~FileCloser() { ::close(m_fd); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    int m_fd;
};

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

LoadResult LoadImageFile(const std::string& path, uint8_t* buffer, uint32_t capacity,
                         uint32_t& length) {
    // O_NONBLOCK: opening a FIFO by mistake must not wait for a writer that never comes.
    // It changes nothing for a regular file, the only kind accepted below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return LoadResult::OpenFailed;
    }
    FileCloser closer(fd);

    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        // A folder, a device or a pipe is no firmware image: reading one could block or
        // never end.
        return LoadResult::OpenFailed;
    }
    if (static_cast<uint64_t>(info.st_size) > capacity) {
        return LoadResult::TooBig;
    }

    // One read of up to `capacity` bytes from the start of the file; the loop only resumes
    // a read the kernel handed back short or interrupted. A file that grew since fstat is
    // still cut at the capacity.
    uint32_t total = 0;
    while (total < capacity) {
        const ssize_t got = ::read(fd, buffer + total, capacity - total);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // The buffer may be partly overwritten: it no longer holds the previous image.
            length = 0;
            return LoadResult::ReadFailed;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<uint32_t>(got);
    }
    length = total;
    return LoadResult::Ok;
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
