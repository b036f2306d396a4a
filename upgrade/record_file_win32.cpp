// The record log's file on Windows: opened with FILE_APPEND_DATA only, so that every
// WriteFile lands whole at the end of the file, and flushed with FlushFileBuffers.
#include <windows.h>

#include "serial/handle_win32.h"
#include "serial/wide_text.h"
#include "upgrade/board_record.h"

namespace tarvik {

namespace {

class CWinRecordFile final : public CRecordFile {
public:
    explicit CWinRecordFile(HANDLE handle) : m_file(handle) {}

    uint32_t AppendAndFlush(const std::string& bytes) override {
        DWORD written = 0;
        if (!WriteFile(m_file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr)) {
            return GetLastError();
        }
        if (written != bytes.size()) {
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

private:
    CFileHandle m_file;
};

}  // namespace

uint32_t CRecordFile::Open(const std::string& path, std::unique_ptr<CRecordFile>& file,
                           uint64_t& size) {
    if (path.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system places every write at the end,
    // whoever else appends. Others may read and append at the same time.
    HANDLE handle = CreateFileW(WideFromUtf8(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    auto opened = std::make_unique<CWinRecordFile>(handle);
    LARGE_INTEGER length{};
    size = GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &length)
               ? static_cast<uint64_t>(length.QuadPart)
               : 0;
    file = std::move(opened);
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
