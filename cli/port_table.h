// The listing of `tarvik-cli ports` as printed.
#pragma once

#include <string>
#include <vector>

#include "serial/port_list.h"

namespace tarvik::cli {

// The listing as printed: one line per port, columns aligned; a note when there is none.
std::string FormatPorts(const std::vector<PortEntry>& ports);

}  // namespace tarvik::cli
