#include <cstring>

#include "serial/com_port.h"

namespace tarvik {

std::string ComErrorText(uint32_t code) {
    if (code == kErrSuccess) {
        return {};
    }
    // The port's own codes first: 6 would otherwise read as errno ENXIO.
    switch (code) {
        case kErrInvalidHandle:
            return "port not open";
        case kErrAlreadyInitialized:
            return "already open";
        case kErrTimeout:
            return "timed out";
        case kErrInvalidArg:
            return "unsupported mode";
        default:
            return std::strerror(static_cast<int>(code));
    }
}

}  // namespace tarvik
