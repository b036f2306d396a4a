// The items of the line-setting lists, in index order: a list's selection index is the code
// the port takes (parity, stop bits) or that code less a base (data bits). The window and the
// page fill their lists from here, so the two cannot drift apart.
#pragma once

namespace tarvik::lists {

inline constexpr const char* kBauds[] = {
    "1200",  "2400",   "4800",   "9600",   "14400",  "19200",  "38400",  "56000",
    "57600", "115200", "128000", "230400", "256000", "460800", "921600", "1024000",
};
inline constexpr const char* kParities[] = {"NONE", "ODD", "EVEN"};
inline constexpr const char* kDataBits[] = {"7", "8"};
inline constexpr const char* kStopBits[] = {"1", "1.5", "2"};

}  // namespace tarvik::lists
