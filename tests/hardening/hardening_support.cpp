#include "hardening_support.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "upgrade/frames.h"
#include "upgrade/texts.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVIK_HARDENING_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARVIK_HARDENING_SANITIZED 1
#endif
#endif

namespace tarvik::hardening {

namespace {

constexpr uint32_t kBlockBytes = 128;
constexpr uint8_t kFill = 0xFF;
constexpr char kMarker[] = "IO-";
constexpr size_t kMarkerOffset = 1;
constexpr size_t kStepOffset = 3;
constexpr size_t kBlockOffset = 4;  // of a data frame, low byte first
// A running board outlives any test; this only ends one a crashed test left behind.
constexpr char kSimSafetyTimeout[] = "600";
// How long one turn of the loop lasts at most while a test waits for something.
constexpr Ms kLoopSlice{50};

}  // namespace

TempFolder::TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvik-hardening-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    m_path = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

Bytes MakeImage(uint32_t length, uint32_t seed) {
    Bytes image(length);
    uint32_t state = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        // The block number in every block's first byte shows a block stored in the wrong place.
        image[i] = (i % kBlockBytes == 0) ? static_cast<uint8_t>(i / kBlockBytes)
                                          : static_cast<uint8_t>(state >> 24);
    }
    for (size_t i = 0; i + 1 < sizeof kMarker && kMarkerOffset + i < length; ++i) {
        image[kMarkerOffset + i] = static_cast<uint8_t>(kMarker[i]);
    }
    return image;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        throw std::runtime_error("cannot write " + path);
    }
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes ReceivedForm(const Bytes& image) {
    Bytes out = image;
    const size_t blocks = image.size() / kBlockBytes + 1;
    out.resize(blocks * kBlockBytes, kFill);
    return out;
}

// ---- Board ----

Board::Board(const TempFolder& folder, const std::vector<std::string>& args,
             const std::string& outName)
    : m_out(folder.file(outName)) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--out", m_out, "--timeout", kSimSafetyTimeout});
    m_sim = std::make_unique<testing::SimProcess>(all);
}

nlohmann::json Board::Stop() {
    m_sim->stop();
    return Summary();
}

nlohmann::json Board::Summary() {
    return nlohmann::json::parse(m_sim->summary(), nullptr, false);
}

std::optional<Bytes> Board::Received() const {
    if (!std::filesystem::exists(m_out)) {
        return std::nullopt;
    }
    return ReadFile(m_out);
}

// ---- Tool ----

Tool::Tool() : m_driver(std::make_unique<CLoopDriver>(m_loop)) {
    m_driver->onChange = [this] {
        const std::string status = m_driver->Status();
        if (m_status.empty() || m_status.back() != status) {
            m_status.push_back(status);
        }
    };
    m_driver->onTrace = [this](TraceDirection direction, const uint8_t* bytes, size_t length) {
        if (direction == TraceDirection::Sent && length > kStepOffset) {
            const uint16_t block =
                length == kDataFrameSize
                    ? static_cast<uint16_t>(bytes[kBlockOffset] | (bytes[kBlockOffset + 1] << 8))
                    : 0;
            m_sent.push_back(Sent{Clock::now(), bytes[kStepOffset], block, length});
        }
    };
}

Tool::~Tool() {
    m_driver.reset();  // stops the reader before the loop goes
}

uint32_t Tool::Open(const std::string& port, uint32_t baud) {
    return m_driver->OpenPort(port, baud);
}

StartResult Tool::Start(const std::string& imagePath) {
    const size_t slash = imagePath.find_last_of('/');
    const std::string name = slash == std::string::npos ? imagePath : imagePath.substr(slash + 1);
    return m_driver->Engine().Start(imagePath, name);
}

bool Tool::RunUntil(const std::function<bool()>& done, Ms bound) {
    const Clock::time_point deadline = Clock::now() + bound;
    while (!done()) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        // Short turns: `done` may look at things that change without an event on the loop.
        m_loop.RunUntil(done, std::min(deadline, now + kLoopSlice));
    }
    return true;
}

void Tool::RunFor(Ms duration) {
    RunUntil([] { return false; }, duration);
}

bool Tool::RunUntilSettled(Ms quiet, Ms bound) {
    std::optional<Clock::time_point> waitingSince;
    return RunUntil(
        [&] {
            const UpgradePhase phase = Engine().Phase();
            if (Engine().Outcome() != UpgradeOutcome::None && phase == UpgradePhase::Idle) {
                return true;
            }
            // A failure shown, or the finish command sent, and no timer left: only a further
            // reply can move it on. Settled once none has come for `quiet`.
            const bool waiting =
                (phase == UpgradePhase::Stalled || phase == UpgradePhase::Finishing) &&
                !m_driver->AnyTimerArmed();
            if (!waiting) {
                waitingSince.reset();
                return false;
            }
            const Clock::time_point now = Clock::now();
            if (!waitingSince) {
                waitingSince = now;
            }
            return now - *waitingSince >= quiet;
        },
        bound);
}

void Tool::ClearRecords() {
    m_status.clear();
    m_sent.clear();
}

bool Tool::EverShown(const std::string& status) const {
    for (const std::string& s : m_status) {
        if (s == status) {
            return true;
        }
    }
    return false;
}

// ---- child processes ----

ChildRun RunChild(const std::string& program, const std::vector<std::string>& args, Ms bound) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> copy = args;
    std::string exe = program;
    std::vector<char*> argv{exe.data()};
    for (std::string& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);

    ChildRun run;
    const Clock::time_point deadline = Clock::now() + bound;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* into[2] = {&run.out, &run.err};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
        if (left.count() <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        const int ready = poll(fds, 2, killed ? -1 : static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    } else if (!killed && WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    return run;
}

// ---- process figures ----

std::chrono::microseconds ProcessCpuTime() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

std::optional<size_t> HeapInUse() {
#ifdef TARVIK_HARDENING_SANITIZED
    return std::nullopt;
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

size_t ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtoul(line.c_str() + sizeof "VmRSS:" - 1, nullptr, 10);
        }
    }
    return 0;
}

}  // namespace tarvik::hardening
