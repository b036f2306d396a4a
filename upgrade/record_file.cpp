// The record log's file on Linux: appended with O_APPEND under an flock that every tool
// appending to the log takes, flushed with fsync, cut back with ftruncate when a record could
// not be written whole.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "upgrade/board_record.h"

namespace tarvik {

namespace {

constexpr mode_t kLogFileMode = 0644;  // narrowed by the user's umask

// Holds the file's exclusive lock for its lifetime. A file system that cannot lock (some
// network mounts) leaves the file unlocked: the records still go out with one append each,
// as they always did there.
class CFileLock {
public:
    explicit CFileLock(int fd) : m_fd(fd) {
        int result;
        do {
            result = ::flock(m_fd, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        m_locked = result == 0;
    }
    ~CFileLock() {
        if (m_locked) {
            ::flock(m_fd, LOCK_UN);
        }
    }
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;
    bool Held() const { return m_locked; }

private:
    int m_fd;
    bool m_locked = false;
};

class CPosixRecordFile final : public CRecordFile {
public:
    explicit CPosixRecordFile(int fd) : m_fd(fd) {}
    ~CPosixRecordFile() override { ::close(m_fd); }
    CPosixRecordFile(const CPosixRecordFile&) = delete;
    CPosixRecordFile& operator=(const CPosixRecordFile&) = delete;

    uint32_t Append(const std::string& header, const std::string& bytes) override {
        const CFileLock lock(m_fd);
        struct stat info {};
        if (::fstat(m_fd, &info) != 0) {
            return static_cast<uint32_t>(errno);
        }
        // A pipe or a device has no length: the header goes first in what this log writes.
        const bool regular = S_ISREG(info.st_mode);
        const bool empty = regular ? info.st_size == 0 : !m_wroteAny;
        const std::string out = empty ? header + bytes : bytes;
        const uint32_t code = WriteAndFlush(out);
        if (code != 0) {
            if (regular && lock.Held()) {
                // Under the lock nobody else has appended since: the file's length before is
                // where the failed record began. Should the cut fail too, the error already
                // says that the board is not recorded.
                [[maybe_unused]] const int cut = ::ftruncate(m_fd, info.st_size);
            }
            return code;
        }
        m_wroteAny = true;
        return 0;
    }

private:
    uint32_t WriteAndFlush(const std::string& out) {
        // One write with O_APPEND: the kernel places the whole record at the end at once. A
        // short write (the disk filled up mid-record) is a failure: a partial line is no
        // record.
        ssize_t written;
        do {
            written = ::write(m_fd, out.data(), out.size());
        } while (written < 0 && errno == EINTR);
        if (written < 0) {
            return static_cast<uint32_t>(errno);
        }
        if (static_cast<size_t>(written) != out.size()) {
            return ENOSPC;
        }
        if (::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS) {
            // EINVAL/EROFS: a pipe or a device that cannot be synced has nothing to flush.
            return static_cast<uint32_t>(errno);
        }
        return 0;
    }

    int m_fd;
    bool m_wroteAny = false;
};

}  // namespace

uint32_t CRecordFile::Open(const std::string& path, std::unique_ptr<CRecordFile>& file) {
    if (path.empty()) {
        return ENOENT;
    }
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, kLogFileMode);
    if (fd < 0) {
        return static_cast<uint32_t>(errno);
    }
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
