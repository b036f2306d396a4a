// `tarvik-cli ports` on Windows: the COM ports the system knows, as Device Manager shows
// them (class Ports), with VID:PID and serial number for USB adapters; then the ports that
// only the serial-port map in the registry names (virtual ports, and Wine's).
// <windows.h> first: the other system headers build on it.
#include <windows.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <map>
#include <optional>

#include "serial/com_names.h"
#include "serial/port_list.h"
#include "serial/wide_text.h"

namespace tarvik {

namespace {

constexpr const wchar_t kSerialCommKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const wchar_t kPortNameValue[] = L"PortName";
constexpr const char kUsbPrefix[] = "USB\\";
constexpr const char kVendorTag[] = "VID_";
constexpr const char kProductTag[] = "PID_";
constexpr size_t kIdDigits = 4;
// A USB adapter's port sits a level or two below its USB device (FTDI: FTDIBUS under USB).
constexpr int kMaxParentLevels = 4;
constexpr size_t kTextBufferChars = 512;

std::string RegistryText(HKEY key, const wchar_t* name) {
    wchar_t buffer[kTextBufferChars] = {};
    DWORD type = 0;
    DWORD bytes = sizeof buffer - sizeof(wchar_t);  // room for a terminator of our own
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return Utf8FromWide(buffer);
}

std::string DeviceText(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    wchar_t buffer[kTextBufferChars] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &info, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - sizeof(wchar_t), nullptr)) {
        return {};
    }
    return Utf8FromWide(buffer);
}

// The four hex digits after `tag` in a device id ("USB\VID_0403&PID_6001\A50285BI").
std::string IdPart(const std::string& id, const char* tag) {
    const size_t at = id.find(tag);
    if (at == std::string::npos) {
        return {};
    }
    std::string digits = id.substr(at + std::char_traits<char>::length(tag), kIdDigits);
    for (char& c : digits) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return digits;
}

// VID:PID and serial number from the nearest USB device above the port.
void DescribeUsb(DEVINST node, PortEntry& entry) {
    for (int level = 0; level < kMaxParentLevels; ++level) {
        wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) {
            const std::string text = Utf8FromWide(id);
            if (text.rfind(kUsbPrefix, 0) == 0) {
                if (entry.usbId.empty()) {
                    entry.usbId = IdPart(text, kVendorTag) + ":" + IdPart(text, kProductTag);
                }
                // The last part is the adapter's serial number, unless the system made one
                // up (those hold '&'): a composite device's interface has it one level up.
                const std::string last = text.substr(text.find_last_of('\\') + 1);
                if (last.find('&') == std::string::npos) {
                    entry.serial = last;
                    return;
                }
            }
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
            return;
        }
        node = parent;
    }
}

std::optional<PortEntry> EntryFor(const std::string& portName) {
    const std::optional<int> number = ComNumber(portName);
    if (!number) {
        return std::nullopt;  // a printer port, or a name that is no COM name
    }
    PortEntry entry;
    entry.comName = "COM" + std::to_string(*number);
    entry.path = ResolveDeviceName(entry.comName).value_or(entry.comName);
    entry.device = entry.path;
    return entry;
}

}  // namespace

std::vector<PortEntry> ListPorts() {
    std::map<int, PortEntry> found;
    const HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
            const HKEY key =
                SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key == INVALID_HANDLE_VALUE) {
                continue;
            }
            const std::string portName = RegistryText(key, kPortNameValue);
            RegCloseKey(key);
            std::optional<PortEntry> entry = EntryFor(portName);
            if (!entry) {
                continue;
            }
            entry->description = DeviceText(set, info, SPDRP_FRIENDLYNAME);
            if (entry->description.empty()) {
                entry->description = DeviceText(set, info, SPDRP_DEVICEDESC);
            }
            DescribeUsb(info.DevInst, *entry);
            found[*ComNumber(entry->comName)] = std::move(*entry);
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    HKEY map = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &map) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t name[kTextBufferChars] = {};
            wchar_t value[kTextBufferChars] = {};
            DWORD nameChars = kTextBufferChars;
            DWORD valueBytes = sizeof value - sizeof(wchar_t);
            DWORD type = 0;
            if (RegEnumValueW(map, i, name, &nameChars, nullptr, &type,
                              reinterpret_cast<BYTE*>(value), &valueBytes) != ERROR_SUCCESS) {
                break;
            }
            if (type != REG_SZ) {
                continue;
            }
            if (std::optional<PortEntry> entry = EntryFor(Utf8FromWide(value))) {
                found.try_emplace(*ComNumber(entry->comName), std::move(*entry));
            }
        }
        RegCloseKey(map);
    }
    for (int n = 1; n <= kComNameCount; ++n) {
        if (std::optional<PortEntry> entry = AddressEntry(n)) {
            found.insert_or_assign(n, std::move(*entry));
        }
    }
    std::vector<PortEntry> ports;
    for (auto& [number, entry] : found) {
        ports.push_back(std::move(entry));
    }
    return ports;
}

std::string NoPortsNote() {
    return "no serial port found (Device Manager lists none under Ports)";
}

}  // namespace tarvik
