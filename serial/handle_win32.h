// A handle of the Windows API closed on every path out of its scope. Windows only.
#pragma once

#include <windows.h>

namespace tarvik {

// Owns a handle from CreateFileW and the like (INVALID_HANDLE_VALUE when the call failed).
// Close reports whether the close succeeded: for a file just written, the last chance to
// learn that its bytes did not reach the disk.
class CFileHandle {
public:
    explicit CFileHandle(HANDLE handle) : m_handle(handle) {}
    ~CFileHandle() { Close(); }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }
    bool Close() {
        const bool closed = !Valid() || CloseHandle(m_handle) != 0;
        m_handle = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE m_handle;
};

}  // namespace tarvik
