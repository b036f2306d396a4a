// `tarvik-cli ports`: every COM name that leads to a present device, with what the system
// knows about it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvik::cli {

struct PortEntry {
    std::string comName;      // "COM7"
    std::string path;         // where the name leads: a ports-folder entry or a /dev node
    std::string device;       // the device node itself, links followed
    std::string usbId;        // "0403:6001", empty when not a USB adapter
    std::string serial;       // the adapter's serial number, when known
    std::string description;  // maker and product, when known
};

// COM1..COM256 in order, as the window resolves them; a name is listed when it leads to a
// character device that is present (for on-board UARTs: the driver found a chip there), or
// to a network address (which is not looked up).
// No device is opened.
std::vector<PortEntry> ListPorts();

// COM `number` as a network line, when the address folder maps it to an address (that
// mapping takes precedence over a device of that number); its path and device are the
// address.
std::optional<PortEntry> AddressEntry(int number);

// What the listing says when there is no port, without a newline.
std::string NoPortsNote();

// The listing as printed: one line per port, columns aligned; a note when there is none.
std::string FormatPorts(const std::vector<PortEntry>& ports);

}  // namespace tarvik::cli
