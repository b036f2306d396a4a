// Kept apart from every file that includes <termios.h>: see termios2.h.
#include "serial/device_calls.h"

#include <asm/ioctls.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tarvik::serial {
namespace {

// tcdrain's request: TCSBRK with a non-zero argument sends no break, it only waits.
constexpr int kDrainOnly = 1;

int ErrnoOf(int result) {
    return result == 0 ? 0 : errno;
}

ssize_t SystemWrite(int fd, const void* bytes, size_t length) {
    return ::write(fd, bytes, length);
}

int SystemOutputQueued(int fd, uint32_t& bytes) {
    int queued = 0;
    const int error = ErrnoOf(ioctl(fd, TIOCOUTQ, &queued));
    bytes = error == 0 && queued > 0 ? static_cast<uint32_t>(queued) : 0;
    return error;
}

int SystemDrainOutput(int fd) {
    return ErrnoOf(ioctl(fd, TCSBRK, kDrainOnly));
}

int SystemSetTermiosDrained(int fd, const termios2& t) {
    return ErrnoOf(ioctl(fd, TCSETSW2, &t));
}

int SystemGetLowLatency(int fd, bool& on) {
    serial_struct info{};
    const int error = ErrnoOf(ioctl(fd, TIOCGSERIAL, &info));
    on = error == 0 && (info.flags & ASYNC_LOW_LATENCY) != 0;
    return error;
}

int SystemSetLowLatency(int fd, bool on) {
    serial_struct info{};
    if (int error = ErrnoOf(ioctl(fd, TIOCGSERIAL, &info)); error != 0) {
        return error;
    }
    if (on) {
        info.flags |= ASYNC_LOW_LATENCY;
    } else {
        info.flags &= ~ASYNC_LOW_LATENCY;
    }
    return ErrnoOf(ioctl(fd, TIOCSSERIAL, &info));
}

constexpr DeviceCalls kSystemCalls = {
    SystemWrite,         SystemOutputQueued,  SystemDrainOutput, SystemSetTermiosDrained,
    SystemGetLowLatency, SystemSetLowLatency,
};

std::atomic<const DeviceCalls*> g_calls{&kSystemCalls};

}  // namespace

const DeviceCalls& Calls() {
    return *g_calls.load(std::memory_order_acquire);
}

const DeviceCalls& SystemCalls() {
    return kSystemCalls;
}

void UseDeviceCalls(const DeviceCalls* calls) {
    g_calls.store(calls != nullptr ? calls : &kSystemCalls, std::memory_order_release);
}

}  // namespace tarvik::serial
