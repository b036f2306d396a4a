// Reading an image file on Windows: the UTF-8 path goes to the wide API, so a folder with a
// Chinese name works whatever the system's code page.
#include <windows.h>

#include "serial/handle_win32.h"
#include "serial/wide_text.h"
#include "upgrade/image.h"

namespace tarvik {

LoadResult LoadImageFile(const std::string& path, uint8_t* buffer, uint32_t capacity,
                         uint32_t& length) {
    if (path.empty()) {
        return LoadResult::OpenFailed;
    }
    // Others may keep the file open, even for writing, as they may on Linux. A folder does
    // not open this way at all.
    const CFileHandle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return LoadResult::OpenFailed;
    }

    // A device or a pipe is no firmware image: reading one could block or never end.
    LARGE_INTEGER size{};
    if (GetFileType(file.Get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.Get(), &size)) {
        return LoadResult::OpenFailed;
    }
    if (static_cast<uint64_t>(size.QuadPart) > capacity) {
        return LoadResult::TooBig;
    }

    // Reads up to `capacity` bytes from the start; the loop only resumes a short read. A file
    // that grew since its size was taken is still cut at the capacity.
    uint32_t total = 0;
    while (total < capacity) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), buffer + total, capacity - total, &got, nullptr)) {
            // The buffer may be partly overwritten: it no longer holds the previous image.
            length = 0;
            return LoadResult::ReadFailed;
        }
        if (got == 0) {
            break;
        }
        total += got;
    }
    length = total;
    return LoadResult::Ok;
}

}  // namespace tarvik
