// Where a COM name leads on this machine.
//
// "COMn" (with or without the "\\.\" prefix, any letter case) resolves, in this order, to
//   1. the entry "comn" of the ports folder, a symbolic link to any serial device;
//   2. the fixed map COM1-32 -> /dev/ttyS0-31, COM33-64 -> /dev/ttyUSB0-31,
//      COM65-96 -> /dev/ttyACM0-31. COM97-COM256 exist only through the ports folder.
// Anything that is not a COM name is a plain device path and is used as given.
// On Windows a COM name leads to the system's device "\\.\COMn" and nothing else; the
// configuration folder there is %APPDATA%.
#pragma once

#include <optional>
#include <string>

namespace tarvik {

inline constexpr int kComNameCount = 256;

// The configuration folder: $XDG_CONFIG_HOME, else $HOME/.config.
std::string ConfigFolder();
// The ports folder: <configuration folder>/tarvik-ports.
std::string PortsFolder();

// The COM number of "COMn" or "\\.\COMn" (1..256), or nothing if the name is not one.
std::optional<int> ComNumber(const std::string& name);

// The device path a name leads to. For a COM name: the ports-folder entry if it exists
// (the link itself, not followed), else the fixed map, else nothing. A plain path is
// returned unchanged.
std::optional<std::string> ResolveDeviceName(const std::string& name);

// The device at `path` (a link is followed) exists, but this user may not open it for
// reading and writing: its permissions refuse (a serial device usually belongs to the
// dialout group). False when the user may, and when there is no such device.
bool DeviceRefusesUser(const std::string& path);

}  // namespace tarvik
