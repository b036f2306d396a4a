// Where a COM name leads on this machine.
//
// "COMn" (with or without the "\\.\" prefix, any letter case) resolves, in this order, to
//   1. the entry "comn" of the ports folder, a symbolic link to any serial device;
//   2. the fixed map COM1-32 -> /dev/ttyS0-31, COM33-64 -> /dev/ttyUSB0-31,
//      COM65-96 -> /dev/ttyACM0-31. COM97-COM256 exist only through the ports folder.
// Anything that is not a COM name is a plain device path (or a network address) and is used
// as given.
// A ports-folder entry may also be a plain file holding one network address
// ("rfc2217://10.0.0.5:4001"): the COM name then leads to that address.
// On Windows a COM name leads to the system's device "\\.\COMn", unless the address folder
// (%LOCALAPPDATA%\tarvik\ports) has a file "comn" holding an address, which takes
// precedence; the configuration folder there is %APPDATA%.
#pragma once

#include <optional>
#include <string>

namespace tarvik {

inline constexpr int kComNameCount = 256;

// The configuration folder: $XDG_CONFIG_HOME, else $HOME/.config.
std::string ConfigFolder();
// The ports folder: <configuration folder>/tarvik-ports.
std::string PortsFolder();

// The folder whose files "comN" map COM names to network addresses: the ports folder on
// Linux, %LOCALAPPDATA%\tarvik\ports on Windows.
std::string AddressFolder();
// The address the address folder's entry for COM `number` holds, when that entry is a plain
// file whose first line (whitespace around it dropped) is written as a network address
// (net_line.h; not necessarily a valid one); nothing otherwise.
std::optional<std::string> EntryAddress(int number);

// The COM number of "COMn" or "\\.\COMn" (1..256), or nothing if the name is not one.
std::optional<int> ComNumber(const std::string& name);

// The device path a name leads to. For a COM name: the address its entry holds, else the
// ports-folder entry if it exists (the link itself, not followed), else the fixed map, else
// nothing. A plain path or an address is returned unchanged.
std::optional<std::string> ResolveDeviceName(const std::string& name);

// The device at `path` (a link is followed) exists, but this user may not open it for
// reading and writing: its permissions refuse (a serial device usually belongs to the
// dialout group). False when the user may, and when there is no such device.
bool DeviceRefusesUser(const std::string& path);

}  // namespace tarvik
