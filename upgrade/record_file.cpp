// The record log's file on Linux: appended with O_APPEND in one write, flushed with fsync.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "upgrade/board_record.h"

namespace tarvik {

namespace {

constexpr mode_t kLogFileMode = 0644;  // narrowed by the user's umask

class CPosixRecordFile final : public CRecordFile {
public:
    explicit CPosixRecordFile(int fd) : m_fd(fd) {}
    ~CPosixRecordFile() override { ::close(m_fd); }
    CPosixRecordFile(const CPosixRecordFile&) = delete;
    CPosixRecordFile& operator=(const CPosixRecordFile&) = delete;

    uint32_t AppendAndFlush(const std::string& bytes) override {
        // One write with O_APPEND: the kernel places the whole record at the end at once, so
        // a second tool appending to the same file cannot land inside it. A short write
        // (the disk filled up mid-record) is a failure: a partial line is no record.
        ssize_t written;
        do {
            written = ::write(m_fd, bytes.data(), bytes.size());
        } while (written < 0 && errno == EINTR);
        if (written < 0) {
            return static_cast<uint32_t>(errno);
        }
        if (static_cast<size_t>(written) != bytes.size()) {
            return ENOSPC;
        }
        if (::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS) {
            // EINVAL/EROFS: a pipe or a device that cannot be synced has nothing to flush.
            return static_cast<uint32_t>(errno);
        }
        return 0;
    }

private:
    int m_fd;
};

}  // namespace

uint32_t CRecordFile::Open(const std::string& path, std::unique_ptr<CRecordFile>& file,
                           uint64_t& size) {
    if (path.empty()) {
        return ENOENT;
    }
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, kLogFileMode);
    if (fd < 0) {
        return static_cast<uint32_t>(errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int code = errno;
        ::close(fd);
        return static_cast<uint32_t>(code);
    }
    size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    file = std::make_unique<CPosixRecordFile>(fd);
    return 0;
}

std::string RecordFileErrorText(uint32_t code) {
    return std::strerror(static_cast<int>(code));
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    return name;
}

}  // namespace tarvik
