// UTF-8 inside the program, UTF-16 at the Windows API: the two conversions. Windows only.
// Bytes that are not valid UTF-8 (or unpaired surrogates) become U+FFFD, never an error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);
// The program's command line as the system split it, its own name first, each in UTF-8
// (the narrow argv of a Windows program is in the machine's code page); empty when the
// system could not split it.
std::vector<std::string> CommandLineUtf8();

}  // namespace tarvik
