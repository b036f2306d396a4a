// The listing of `tarvik-cli ports`, the same on every platform.
#include <algorithm>

#include "cli/port_list.h"
#include "cli/text_format.h"

namespace tarvik::cli {

namespace {

constexpr const char kColumnGap[] = "  ";

}  // namespace

std::string FormatPorts(const std::vector<PortEntry>& ports) {
    if (ports.empty()) {
        return NoPortsNote() + "\n";
    }
    std::vector<std::vector<std::string>> rows;
    for (const PortEntry& p : ports) {
        const std::string where = p.path == p.device ? p.path : p.path + " -> " + p.device;
        rows.push_back({p.comName, where, p.usbId, p.serial, p.description});
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += PadWidth(row[c], widths[c]);
            line += kColumnGap;
        }
        out += TrimRight(line) + "\n";
    }
    return out;
}

}  // namespace tarvik::cli
