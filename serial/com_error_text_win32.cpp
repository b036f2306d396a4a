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

}  // namespace tarvik
