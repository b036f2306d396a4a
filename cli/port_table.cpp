// The listing of `tarvik-cli ports`, the same on every platform.
#include "cli/port_list.h"
#include "cli/text_format.h"
#include "serial/com_names.h"

namespace tarvik::cli {

std::optional<PortEntry> AddressEntry(int number) {
    std::optional<std::string> address = EntryAddress(number);
    if (!address) {
        return std::nullopt;
    }
    PortEntry entry;
    entry.comName = "COM" + std::to_string(number);
    entry.path = *address;
    entry.device = *address;
    entry.description = "network line";
    return entry;
}

std::string FormatPorts(const std::vector<PortEntry>& ports) {
    if (ports.empty()) {
        return NoPortsNote() + "\n";
    }
    std::vector<std::vector<std::string>> rows;
    for (const PortEntry& p : ports) {
        const std::string where = p.path == p.device ? p.path : p.path + " -> " + p.device;
        rows.push_back({p.comName, where, p.usbId, p.serial, p.description});
    }
    return TableText(rows);
}

}  // namespace tarvik::cli
