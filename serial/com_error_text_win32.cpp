#include <windows.h>

#include "serial/com_port.h"
#include "serial/wide_text.h"

namespace tarvik {

std::string ComErrorText(uint32_t code) {
    if (code == kErrSuccess) {
        return {};
    }
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
    LocalFree(text);
    // The system's messages end with a full stop and CR LF.
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.')) {
        message.pop_back();
    }
    if (message.empty()) {
        return "error " + std::to_string(code);
    }
    return Utf8FromWide(message);
}

namespace {

// ERROR_NO_SUCH_DEVICE, which mingw-w64's headers do not name.
constexpr uint32_t kErrorNoSuchDevice = 433;

}  // namespace

bool IsDeviceGoneCode(uint32_t code) {
    // What a USB adapter's driver answers a write once the adapter has been pulled (it
    // differs from one driver to the next), and a handle that is dead. Anything else (a
    // parameter or a mode the driver refused, a time-out) leaves the line usable.
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_BAD_UNIT:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEV_NOT_EXIST:
        case kErrorNoSuchDevice:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return true;
        default:
            return false;
    }
}

}  // namespace tarvik
