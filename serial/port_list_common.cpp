// The port list's part that is the same on every platform: a COM name mapped to a network
// address.
#include "serial/com_names.h"
#include "serial/port_list.h"

namespace tarvik {

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

}  // namespace tarvik
