#include "serial/port_list.h"

#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "serial/com_names.h"

namespace tarvik {

namespace {

// The serial core reports the UART type of on-board ports; 0 means no chip answered there,
// so the node exists but leads nowhere.
constexpr std::string_view kUnknownUartType = "0";

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

// An attribute's text without the spaces some adapters pad it with.
std::string Attribute(udev_device* device, const char* name) {
    const char* value = device != nullptr ? udev_device_get_sysattr_value(device, name) : nullptr;
    if (value == nullptr) {
        return std::string();
    }
    const std::string text(value);
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// Fills in what udev knows; false when the device is an on-board UART without a chip.
bool Describe(udev* context, dev_t number, PortEntry& entry) {
    if (context == nullptr) {
        return true;
    }
    UdevDevicePtr tty(udev_device_new_from_devnum(context, 'c', number));
    if (!tty) {
        return true;  // pseudo-terminals and the like: present, nothing more known
    }
    if (Attribute(tty.get(), "type") == kUnknownUartType) {
        return false;
    }
    // Not owned: the parent lives as long as `tty`.
    udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
    if (usb != nullptr) {
        const std::string vendor = Attribute(usb, "idVendor");
        const std::string product = Attribute(usb, "idProduct");
        if (!vendor.empty() || !product.empty()) {
            entry.usbId = vendor + ":" + product;
        }
        entry.serial = Attribute(usb, "serial");
        const std::string maker = Attribute(usb, "manufacturer");
        const std::string name = Attribute(usb, "product");
        entry.description = maker.empty() ? name : (name.empty() ? maker : maker + " " + name);
    }
    return true;
}

}  // namespace

std::vector<PortEntry> ListPorts() {
    UdevPtr context(udev_new());
    std::vector<PortEntry> ports;
    for (int n = 1; n <= kComNameCount; ++n) {
        if (std::optional<PortEntry> entry = AddressEntry(n)) {
            ports.push_back(std::move(*entry));
            continue;
        }
        const std::string name = "COM" + std::to_string(n);
        const std::optional<std::string> path = ResolveDeviceName(name);
        if (!path) {
            continue;
        }
        struct stat info {};
        if (stat(path->c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
            continue;
        }
        PortEntry entry;
        entry.comName = name;
        entry.path = *path;
        entry.device = RealPath(*path);
        if (Describe(context.get(), info.st_rdev, entry)) {
            ports.push_back(std::move(entry));
        }
    }
    return ports;
}

std::string NoPortsNote() {
    return "no serial port found (links in " + PortsFolder() +
           "/comN add COM names for any device)";
}

}  // namespace tarvik
