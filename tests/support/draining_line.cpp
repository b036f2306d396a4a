// The model's device calls: see draining_line.h.
#include "draining_line.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <thread>
#include <utility>

#include "serial/device_calls.h"
#include "serial/termios2.h"

namespace tarvik::testing {
namespace {

using serial::SystemCalls;

DrainingLines* g_lines = nullptr;

// A line whose rate cannot be read drains as one at 115200 8N1 would.
constexpr std::chrono::nanoseconds kFallbackByteTime{86806};
constexpr char kFdFolder[] = "/proc/self/fd/";

std::string PathOf(int fd) {
    char target[PATH_MAX];
    const std::string link = kFdFolder + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

ssize_t ModelWrite(int fd, const void* bytes, size_t length) {
    const ssize_t n = SystemCalls().write(fd, bytes, length);
    if (n <= 0) {
        return n;
    }
    std::string path;
    {
        std::lock_guard<std::mutex> lock(g_lines->m_mutex);
        DrainingLines::Line& line = g_lines->LineOf(fd);
        const auto now = DrainingLines::Clock::now();
        line.busyUntil = std::max(line.busyUntil, now) + g_lines->ByteTime(fd) * n;
        line.draining = true;
        path = line.path;
    }
    if (g_lines->onWrite) {
        g_lines->onWrite(path, static_cast<size_t>(n));
    }
    return n;
}

int ModelOutputQueued(int fd, uint32_t& bytes) {
    bool drained = false;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(g_lines->m_mutex);
        DrainingLines::Line& line = g_lines->LineOf(fd);
        const auto left = line.busyUntil - DrainingLines::Clock::now();
        if (left > DrainingLines::Clock::duration::zero()) {
            const auto byteTime = g_lines->ByteTime(fd);
            bytes =
                static_cast<uint32_t>((left + byteTime - std::chrono::nanoseconds{1}) / byteTime);
        } else {
            bytes = 0;
            drained = std::exchange(line.draining, false);
            path = line.path;
        }
    }
    if (drained && g_lines->onDrained) {
        g_lines->onDrained(path);
    }
    return 0;
}

DrainingLines::Clock::time_point BusyUntil(int fd) {
    std::lock_guard<std::mutex> lock(g_lines->m_mutex);
    return g_lines->LineOf(fd).busyUntil;
}

int ModelDrainOutput(int fd) {
    std::this_thread::sleep_until(BusyUntil(fd));
    return SystemCalls().drainOutput(fd);
}

int ModelSetTermiosDrained(int fd, const termios2& t) {
    std::this_thread::sleep_until(BusyUntil(fd));
    return SystemCalls().setTermiosDrained(fd, t);
}

int ModelGetLowLatency(int fd, bool& on) {
    return SystemCalls().getLowLatency(fd, on);
}

int ModelSetLowLatency(int fd, bool on) {
    return SystemCalls().setLowLatency(fd, on);
}

constexpr serial::DeviceCalls kModel = {
    ModelWrite,         ModelOutputQueued,  ModelDrainOutput, ModelSetTermiosDrained,
    ModelGetLowLatency, ModelSetLowLatency,
};

}  // namespace

DrainingLines::DrainingLines() {
    g_lines = this;
    serial::UseDeviceCalls(&kModel);
}

DrainingLines::~DrainingLines() {
    serial::UseDeviceCalls(nullptr);
    g_lines = nullptr;
}

void DrainingLines::SetByteTime(const std::string& path, std::chrono::nanoseconds byteTime) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_byteTimes[path] = byteTime;
}

DrainingLines::Line& DrainingLines::LineOf(int fd) {
    // A descriptor number is used again once closed: the line is known by what it leads to.
    const std::string path = PathOf(fd);
    Line& line = m_lines[fd];
    if (line.path != path) {
        line = Line{path, Clock::now(), false};
    }
    return line;
}

std::chrono::nanoseconds DrainingLines::ByteTime(int fd) {
    const auto fixed = m_byteTimes.find(LineOf(fd).path);
    if (fixed != m_byteTimes.end()) {
        return fixed->second;
    }
    termios2 t{};
    if (serial::GetDeviceTermios(fd, t) != 0) {
        return kFallbackByteTime;
    }
    const std::chrono::nanoseconds byteTime = serial::ByteTime(serial::ReadLineSettings(t));
    return byteTime > std::chrono::nanoseconds::zero() ? byteTime : kFallbackByteTime;
}

}  // namespace tarvik::testing
