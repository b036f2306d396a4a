#include <cstring>

#include "serial/com_port.h"

namespace tarvik {

std::string ComErrorText(uint32_t code) {
    if (code == kErrSuccess) {
        return {};
    }
    // The port's own codes lie beyond every errno value, except 6 (not open), which Open
    // never returns on Linux: there it is ENXIO, a device with nothing behind it. A network
    // line's name that does not resolve has no errno either.
    switch (code) {
        case kErrAlreadyInitialized:
            return "already open";
        case kErrTimeout:
            return "timed out";
        case kErrInvalidArg:
            return "unsupported mode";
        case kErrNameUnknown:
            return "name unknown";
        default:
            return std::strerror(static_cast<int>(code));
    }
}

bool IsDeviceGoneCode(uint32_t code) {
    // A write on Linux fails only for a reason of the device (EIO after a hang-up, ENXIO,
    // ENODEV) or of the call; the call's own reasons are the few below.
    return code != kErrSuccess && code != kErrTimeout && code != kErrCancelled &&
           code != kErrBadArgument && code != kErrInvalidArg && code != EAGAIN;
}

}  // namespace tarvik
