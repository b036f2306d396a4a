// UTF-8 inside the program, UTF-16 at the Windows API: the two conversions. Windows only.
// Bytes that are not valid UTF-8 (or unpaired surrogates) become U+FFFD, never an error.
#pragma once

#include <string>
#include <string_view>

namespace tarvik {

std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);

}  // namespace tarvik
