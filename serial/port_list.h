// Every COM name that leads to a present device, with what the system knows about it (the
// adapter's maker, product and serial number): `tarvik-cli ports` prints it, the station
// windows show it beside their ports. One file per platform (udev, setup API).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvik {

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

}  // namespace tarvik
