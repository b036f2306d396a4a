// Reading an image file on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "upgrade/image.h"

namespace tarvik {

namespace {

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

}  // namespace tarvik
