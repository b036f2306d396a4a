// The record log's file on Windows: appended at its end under a LockFileEx lock that every
// tool appending to the log takes, flushed with FlushFileBuffers, cut back with SetEndOfFile
// when a record could not be written whole.
#include <windows.h>

#include "serial/handle_win32.h"
#include "serial/wide_text.h"
#include "upgrade/board_record.h"

namespace tarvik {

namespace {

// The byte the tools lock: far beyond any log's end, so that the lock, which Windows enforces
// on reads and writes of the bytes it covers, never keeps a reader from the records.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0;
constexpr DWORD kLockLength = 1;
// Both halves of a write's offset: "at the end of the file".
constexpr DWORD kWriteAtEnd = 0xFFFFFFFF;

// Holds the file's exclusive lock for its lifetime. A file that cannot be locked (a console,
// a pipe, a share that refuses) is written unlocked, with one write per record as before.
class CFileLock {
public:
    explicit CFileLock(HANDLE file) : m_file(file) {
        m_locked = LockFileEx(m_file, LOCKFILE_EXCLUSIVE_LOCK, 0, kLockLength, 0, Where()) != 0;
    }
    ~CFileLock() {
        if (m_locked) {
            UnlockFileEx(m_file, 0, kLockLength, 0, Where());
        }
    }
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;
    bool Held() const { return m_locked; }

private:
    OVERLAPPED* Where() {
        m_where = OVERLAPPED{};
        m_where.Offset = kLockOffsetLow;
        m_where.OffsetHigh = kLockOffsetHigh;
        return &m_where;
    }

    HANDLE m_file;
    OVERLAPPED m_where{};
    bool m_locked = false;
};

class CWinRecordFile final : public CRecordFile {
public:
    explicit CWinRecordFile(HANDLE handle) : m_file(handle) {}

    uint32_t Append(const std::string& header, const std::string& bytes) override {
        const CFileLock lock(m_file.Get());
        LARGE_INTEGER length{};
        // A console or a pipe has no length: the header goes first in what this log writes.
        const bool disk = GetFileType(m_file.Get()) == FILE_TYPE_DISK;
        if (disk && !GetFileSizeEx(m_file.Get(), &length)) {
            return GetLastError();
        }
        const bool empty = disk ? length.QuadPart == 0 : !m_wroteAny;
        const std::string out = empty ? header + bytes : bytes;
        const uint32_t code = WriteAndFlush(out, disk);
        if (code != 0) {
            if (disk && lock.Held()) {
                // Under the lock nobody else has appended since: the length before is where
                // the failed record began. Should the cut fail too, the error already says that
                // the board is not recorded.
                FILE_END_OF_FILE_INFO end{};
                end.EndOfFile = length;
                SetFileInformationByHandle(m_file.Get(), FileEndOfFileInfo, &end, sizeof end);
            }
            return code;
        }
        m_wroteAny = true;
        return 0;
    }

private:
    // A file on a disk is written at its end, wherever that is by then (the system places it,
    // as for an append-only handle); a console or a pipe where it stands.
    uint32_t WriteAndFlush(const std::string& out, bool disk) {
        OVERLAPPED atEnd{};
        atEnd.Offset = kWriteAtEnd;
        atEnd.OffsetHigh = kWriteAtEnd;
        DWORD written = 0;
        if (!WriteFile(m_file.Get(), out.data(), static_cast<DWORD>(out.size()), &written,
                       disk ? &atEnd : nullptr)) {
            return GetLastError();
        }
        if (written != out.size()) {
            return ERROR_DISK_FULL;
        }
        if (!FlushFileBuffers(m_file.Get())) {
            const DWORD code = GetLastError();
            // A console or a pipe has nothing to flush.
            if (code != ERROR_INVALID_HANDLE && code != ERROR_INVALID_FUNCTION) {
                return code;
            }
        }
        return 0;
    }

    CFileHandle m_file;
    bool m_wroteAny = false;
};

}  // namespace

uint32_t CRecordFile::Open(const std::string& path, std::unique_ptr<CRecordFile>& file) {
    if (path.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    // Write access, not append-only: cutting back a failed record needs it; every record is
    // still written at the end. Others may read and append at the same time.
    HANDLE handle = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    file = std::make_unique<CWinRecordFile>(handle);
    return 0;
}

std::string RecordFileErrorText(uint32_t code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (length != 0 && text != nullptr) {
        out = Utf8FromWide(std::wstring_view(text, length));
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
            out.pop_back();
        }
    }
    LocalFree(text);
    return out.empty() ? "error " + std::to_string(code) : out;
}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length)) {
        return "";
    }
    return Utf8FromWide(std::wstring_view(name, length));
}

}  // namespace tarvik
