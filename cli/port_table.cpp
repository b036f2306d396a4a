// The listing of `tarvik-cli ports`, the same on every platform.
#include "cli/port_table.h"

#include "cli/text_format.h"

namespace tarvik::cli {

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
