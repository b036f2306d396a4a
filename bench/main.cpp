// tarvik-bench: measures the tool against tarvik-sim on this machine and writes the figures,
// each beside its target, as a Markdown report.
//
//   tarvik-bench run --sim PATH --cli PATH [--gui PATH] [--soak PATH --soak-runs N]
//                    [--quick] [--only SECTION,...] --out FILE
//       SECTION: line, profile, idle, boards, draining, footprint, soak (all when not given;
//       to measure one part again without the whole twenty minutes)
//   tarvik-bench idle --port PATH --seconds S     (used by run: the port open and idle)
//   tarvik-bench draining --sim PATH --boards N --image PATH   (used by run: N boards on
//                    lines that drain at their rate, in this process)
//   tarvik-bench draining-search --ports N       (used by run: one search pass on N lines)
//
// Nothing here is a test: the figures depend on the machine and its load, so they are
// reported, compared with their targets, and explained where they miss, never asserted.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "draining_line.h"
#include "line_floor.h"
#include "line_relay.h"
#include "upgrade/loop_driver.h"

namespace tarvik::bench {
namespace {

using Ms = std::chrono::milliseconds;
using Seconds = std::chrono::duration<double>;
using Bytes = std::vector<uint8_t>;

constexpr Ms kStartBound{10000};
constexpr Ms kUpgradeBound{1800000};  // the slowest case, 1 MiB paced, takes about 2 min
constexpr Ms kStopBound{30000};
constexpr Ms kGuiSettle{3000};  // the window is up and idle well before this
constexpr Ms kXServerSettle{1000};
constexpr char kSimSafetyTimeout[] = "3600";
constexpr uint32_t kSmallImage = 64 * 1024;
constexpr uint32_t kLargeImage = 1024 * 1024;
constexpr uint32_t kHugeImage = 10 * 1024 * 1024;  // the largest image the tool accepts
constexpr uint32_t kFastBaud = 921600;
constexpr double kTargetRatioAt115200 = 1.03;
constexpr double kTargetRatioAt921600 = 1.10;
constexpr double kTargetTurnaroundAboveGapMs = 0.5;
constexpr double kTargetTransferCpu = 0.03;
constexpr double kTargetIdleCpu = 0.005;
constexpr double kTargetManyBoards = 1.05;
constexpr double kTargetSwitchesPerExchange = 3;
constexpr double kTargetCpuPerMib = 0.5;  // seconds
constexpr double kTargetBlockRatio = 1.01;
constexpr double kTargetOwnTurnMs = 0.05;
constexpr double kTargetEndMs = 5;
constexpr int kIdleSeconds = 10;
constexpr int kSmallImageRuns = 3;
constexpr int kMostBoards = 16;
constexpr uint32_t kDrainingImage = 32 * 1024;
// A search pass: the first frame of its first step to the first frame of the next pass's.
constexpr size_t kFirstScanWrite = 1;  // write 0 is the enter-upgrade frame at Start
constexpr size_t kNextPassWrite = kFirstScanWrite + kSearchSteps;
constexpr Ms kSearchBound{60000};
constexpr Ms kFootprintFirstLook{5000};
constexpr Ms kFootprintSecondLook{20000};
constexpr int kSoakRunBoundSeconds = 120;
constexpr uint8_t kFill = 0xFF;
// lrzsz's runs: the first program's moment to set its terminal up, the bound of a run (its
// wire time several times over, and room for its own time-outs), and the runs a peer is
// given when one ends in nothing.
constexpr Ms kPeerSettle{300};
constexpr double kPeerBoundFactor = 3;
constexpr Ms kPeerBoundExtra{60000};
constexpr int kPeerAttempts = 3;
constexpr Ms kReceiverLinger{2000};

struct Options {
    std::string sim, cli, gui, soak, out;
    int soakRuns = 0;
    bool quick = false;
    std::string only;  // comma-separated sections to run; empty: all

    bool Runs(const std::string& section) const {
        if (only.empty()) {
            return true;
        }
        const std::string list = "," + only + ",";
        return list.find("," + section + ",") != std::string::npos;
    }
};

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Verdict(bool met) {
    return met ? "met" : "**missed**";
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = "/tmp/tarvik-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

Bytes MakeImage(uint32_t length) {
    Bytes image(length);
    uint32_t state = 12345;
    for (uint8_t& b : image) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    image[1] = 'I';
    image[2] = 'O';
    image[3] = '-';
    return image;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

bool BoardHolds(const std::string& path, const Bytes& image) {
    std::ifstream f(path, std::ios::binary);
    const Bytes got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    Bytes want = image;
    want.resize((image.size() / kBlockBytes + 1) * kBlockBytes, kFill);
    return got == want;
}

// A tarvik-sim on its own pseudo-terminal.
class Sim {
public:
    Sim(const Options& o, std::vector<std::string> args) {
        args.insert(args.end(), {"--timeout", kSimSafetyTimeout});
        m_child = std::make_unique<Child>(o.sim, args);
        const std::optional<std::string> line = m_child->ReadLine(kStartBound);
        if (!line) {
            throw std::runtime_error("tarvik-sim printed no port");
        }
        m_path = *line;
    }
    const std::string& Path() const { return m_path; }
    nlohmann::json Stop() {
        m_child->Signal(SIGTERM);
        m_child->Wait(kStopBound);
        std::string out = m_child->Output();
        while (!out.empty() && out.back() == '\n') {
            out.pop_back();
        }
        const size_t newline = out.rfind('\n');
        return nlohmann::json::parse(newline == std::string::npos ? out : out.substr(newline + 1),
                                     nullptr, false);
    }

private:
    std::unique_ptr<Child> m_child;
    std::string m_path;
};

// The paced line of line_relay.h, run as `tarvik-bench line` in a process of its own.
class Line {
public:
    explicit Line(const std::string& self) : m_child(self, {"line"}) {
        const std::optional<std::string> a = m_child.ReadLine(kStartBound);
        const std::optional<std::string> b = m_child.ReadLine(kStartBound);
        if (!a || !b) {
            throw std::runtime_error("the line relay printed no ports");
        }
        m_a = *a;
        m_b = *b;
    }
    const std::string& A() const { return m_a; }
    const std::string& B() const { return m_b; }
    LineRecord Stop() {
        m_child.Signal(SIGTERM);
        m_child.Wait(kStopBound);
        std::string out = m_child.Output();
        while (!out.empty() && out.back() == '\n') {
            out.pop_back();
        }
        const size_t newline = out.rfind('\n');
        return ParseLineRecord(newline == std::string::npos ? out : out.substr(newline + 1));
    }

private:
    Child m_child;
    std::string m_a, m_b;
};

struct Run {
    Usage usage;  // the sender's: tarvik-cli, sz or sx
    double elapsed = 0;
    bool holds = false;
    LineRecord line;
};

// One tarvik-cli upgrade of `image` through the paced line to tarvik-sim listening at `baud`.
Run UpgradeOnLine(const Options& o, const TempFolder& folder, const std::string& self,
                  const Bytes& image, uint32_t baud) {
    const std::string imagePath = folder.File("image.bin");
    const std::string outPath = folder.File("received.bin");
    WriteFile(imagePath, image);
    std::filesystem::remove(outPath);
    Line line(self);
    Run run;
    {
        Sim sim(o, {"--device", line.B(), "--baud", std::to_string(baud), "--out", outPath});
        Child cli(o.cli, {"upgrade", "--port", line.A(), "--image", imagePath, "--baud",
                          std::to_string(baud), "--quiet"});
        const std::optional<Usage> usage = cli.Wait(kUpgradeBound);
        sim.Stop();
        if (usage) {
            run.usage = *usage;
            run.elapsed = usage->wall.count();
        }
        run.holds = usage && usage->exitCode == 0 && BoardHolds(outPath, image);
    }
    run.line = line.Stop();
    return run;
}

// A file transfer program of lrzsz, sender and receiver, as the peer rows run them.
struct Peer {
    const char* name;      // as the tables show it
    const char* protocol;  // its protocol
    std::string sender;
    std::vector<std::string> senderArgs;  // the file's name follows
    std::string receiver;
    std::vector<std::string> receiverArgs;  // the file's name follows, if it takes one
    bool receiverNamesFile;
    bool streaming;       // sends without waiting for each answer (its floor is its own bytes)
    bool senderFirst;     // the side that waits to be called starts first
    uint32_t blockFrame;  // bytes of one block on the line, and of its answer
    uint32_t blockAnswer;
};

// clang-format off
const Peer kPeers[] = {
    {"sz → rz", "ZMODEM", "/usr/bin/sz", {"-q", "-b"}, "/usr/bin/rz", {"-q", "-b", "-y"},
     false, true, false, 0, 0},
    {"sx → rx", "XMODEM-1K", "/usr/bin/sx", {"-q", "-b", "-k"}, "/usr/bin/rx", {"-q", "-b", "-c"},
     true, false, true, kXmodemBlockFrame, kXmodemAnswer},
};
// clang-format on

Run PeerOnce(const TempFolder& folder, const std::string& self, const Bytes& image,
             const Peer& peer) {
    const std::string in = folder.File("peer-in");
    const std::string out = folder.File("peer-out");
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(in);
    std::filesystem::create_directories(out);
    const std::string name = "image.bin";
    WriteFile(in + "/" + name, image);
    // A lost start costs the peer a long time-out; a run that ends in none is one to repeat.
    const Ms bound =
        std::chrono::duration_cast<Ms>(WireTime(image.size(), kTransferBaud) * kPeerBoundFactor) +
        kPeerBoundExtra;
    Line line(self);
    Run run;
    {
        std::vector<std::string> sendArgs = peer.senderArgs;
        sendArgs.push_back(name);
        std::vector<std::string> receiveArgs = peer.receiverArgs;
        if (peer.receiverNamesFile) {
            receiveArgs.push_back(name);
        }
        // The side that waits to be called starts first and gets a moment to set its
        // terminal up (which flushes it): a call that came before would be lost and cost
        // a time-out of many seconds. The transfer is timed from the second start.
        const std::vector<std::pair<std::string, std::string>> noEnv;
        auto start = [&](bool sender) {
            return sender ? std::make_unique<Child>(peer.sender, sendArgs, noEnv, true,
                                                    Child::Place{line.A(), in})
                          : std::make_unique<Child>(peer.receiver, receiveArgs, noEnv, true,
                                                    Child::Place{line.B(), out});
        };
        std::unique_ptr<Child> first = start(peer.senderFirst);
        std::this_thread::sleep_for(kPeerSettle);
        const Clock::time_point begun = Clock::now();
        std::unique_ptr<Child> second = start(!peer.senderFirst);
        Child& sender = peer.senderFirst ? *first : *second;
        Child& receiver = peer.senderFirst ? *second : *first;
        const std::optional<Usage> sent = sender.Wait(bound);
        // The transfer is over when the sender has ended with the file delivered; a
        // receiver that lingers on its own closing time-out is not the line's time.
        if (!receiver.Wait(kReceiverLinger)) {
            receiver.Signal(SIGTERM);
        }
        if (sent) {
            run.usage = *sent;
            run.elapsed = Seconds(sent->ended - begun).count();
        }
        std::ifstream f(out + "/" + name, std::ios::binary);
        const Bytes got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        run.holds = sent && sent->exitCode == 0 && got == image;
    }
    run.line = line.Stop();
    return run;
}

// What the relay saw of a run.
struct LineFigures {
    size_t answered = 0;  // exchanges that got an answer
    double turnMedianMs = 0;
    double turnP99Ms = 0;
    double blockMs = 0;  // median time of one block exchange (its start to the next start)
};

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

LineFigures Figures(const LineRecord& line, uint64_t blockFrame) {
    LineFigures f;
    std::vector<double> turns, blocks;
    for (size_t i = 0; i < line.exchanges.size(); ++i) {
        const LineExchange& e = line.exchanges[i];
        f.answered += e.bBytes > 0;
        if (e.turnUs >= 0) {
            turns.push_back(e.turnUs / 1000);
        }
        if (blockFrame > 0 && e.aBytes == blockFrame && i + 1 < line.exchanges.size()) {
            blocks.push_back((line.exchanges[i + 1].startUs - e.startUs) / 1000);
        }
    }
    f.turnMedianMs = Percentile(turns, 0.5);
    f.turnP99Ms = Percentile(turns, 0.99);
    f.blockMs = Percentile(blocks, 0.5);
    return f;
}

double Mib(uint32_t bytes) {
    return static_cast<double>(bytes) / kMiB;
}

// The median of `runs` by elapsed time (a few runs where they are short: one slow run on a
// shared machine says little).
Run Median(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.elapsed < b.elapsed; });
    return runs[runs.size() / 2];
}

std::string Header(const std::vector<std::string>& columns) {
    std::string line = "|", rule = "|";
    for (const std::string& c : columns) {
        line += " " + c + " |";
        rule += "---|";
    }
    return line + "\n" + rule + "\n";
}

std::string Row(const std::vector<std::string>& cells) {
    std::string line = "|";
    for (const std::string& c : cells) {
        line += " " + c + " |";
    }
    return line + "\n";
}

// The longest time tarvik-cli reports for a port that succeeded ("... 升级成功 ... 8.6 s").
double SlowestBoard(const std::string& output) {
    double slowest = 0;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const size_t unit = line.rfind(" s");
        if (line.find("升级成功") == std::string::npos || unit == std::string::npos || unit == 0) {
            continue;
        }
        const size_t number = line.rfind(' ', unit - 1);
        if (number != std::string::npos) {
            slowest = std::max(slowest, std::atof(line.c_str() + number + 1));
        }
    }
    return slowest;
}

// The peak resident memory of a running process so far (VmHWM), in KiB.
long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + sizeof "VmHWM:" - 1, nullptr, 10);
        }
    }
    return 0;
}

std::string LoadAverage() {
    std::ifstream f("/proc/loadavg");
    std::string one, five, fifteen;
    f >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

class Report {
public:
    explicit Report(const Options& o) : m_options(o) {}

    void Machine() {
        const std::time_t now = std::time(nullptr);
        char date[64];
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
        utsname u{};
        uname(&u);
        m_text << "# tarvik benchmarks\n\n";
        m_text << "Measured " << date << " on " << std::thread::hardware_concurrency() << " cores ("
               << u.sysname << " " << u.release << ", " << u.machine
               << "), Release build. Load average at the start: " << LoadAverage()
               << ". The transfers of the first section cross a paced line (below) between "
                  "two pseudo-terminals; the many-boards rows and the soak run tarvik-sim on its "
                  "own pseudo-terminal, where a paced board (--pace) takes the line's time for "
                  "every byte it sends, 10 bits per byte. The machine is shared with other "
                  "builds: the load average at the start and the end says how much; context "
                  "switches, CPU per MiB and medians are the figures it moves least.\n\n";
    }

    void LineEfficiency(const TempFolder& folder, const std::string& self) {
        m_text
            << "## One paced line: tarvik and its peers\n\n"
            << "Every transfer here crosses a relay between two pseudo-terminals that lets "
               "each byte through only at the line's rate, in both directions (the rate A's "
               "side has set; 10 bits a byte at 8N1, 86.8 us at 115200), as a cable between "
               "two UARTs does. tarvik-cli sends to tarvik-sim (which answers at once; the "
               "relay paces its replies); the peers are lrzsz's ZMODEM (sz → rz) and "
               "XMODEM-1K (sx → rx) on the same relay, measured in the same run.\n\n"
            << "- Elapsed: tarvik-cli from its start to its exit, image loading and port "
               "opening included; a peer from the start of the second of its two programs "
               "(the side that waits to be called starts 0.3 s earlier to set its terminal "
               "up) until its sender has ended with the file delivered (rz may linger on its "
               "own closing time-out afterwards; that is not the line's time).\n"
            << "- Floor: what the protocol itself needs on this line. tarvik: every frame and "
               "reply on the wire (the enter-upgrade exchange at the board's rate, the rest at "
               "115200, to which the protocol switches), 2 ms per reply for the read that ends "
               "a burst, and the fixed 100 ms after the board answers. XMODEM-1K: every byte "
               "it sent both ways (each block waits for its answer). ZMODEM: the bytes the "
               "sender sent (it streams; the receiver's few headers overlap them).\n"
            << "- CPU and context switches: the sender's own (tarvik-cli, sz, sx), every thread, "
               "from the system's accounting at its end; per exchange = per answered frame as "
               "the relay saw it. Voluntary switches are the sender's own waits; involuntary "
               "ones are the scheduler taking the processor from it, which the load of the "
               "machine decides.\n"
            << "- Turn: from the last byte that reached the sender to its next frame's first "
               "byte, as the relay sees it. tarvik's own turn is that less the 2 ms its read "
               "waits after a reply by design.\n"
            << "- Per block: the median time from one data frame's start to the next, against "
               "that exchange's floor (tarvik: 137 + 23 bytes and the 2 ms; XMODEM-1K: 1029 + "
               "1 bytes).\n\n";
        std::vector<uint32_t> sizes = {kSmallImage};
        if (!m_options.quick) {
            sizes.push_back(kLargeImage);
        }
        const double byteMs = WireTime(1, kTransferBaud).count() * 1000;
        const double gapMs = std::chrono::duration<double, std::milli>(kBurstGap).count();
        std::string side = Header({"sender → receiver", "protocol", "image", "result", "elapsed s",
                                   "floor s", "ratio", "sender CPU s per MiB",
                                   "sender switches per exchange, voluntary / involuntary",
                                   "turn median ms", "per block ms / its floor"});
        std::string efficiency = Header(
            {"image", "board's rate", "result", "elapsed s", "floor s", "ratio", "target", ""});
        std::string turnaround = Header({"image", "board's rate", "replies", "median ms", "p99 ms",
                                         "median above 2 ms", "target", ""});
        std::string cpu =
            Header({"image", "board's rate", "CPU s", "elapsed s", "share", "target", ""});
        std::string targets = Header({"figure", "image", "measured", "target", ""});
        for (uint32_t size : sizes) {
            const std::string name = std::to_string(size / 1024) + " KiB";
            const int repeats = size == kSmallImage ? kSmallImageRuns : 1;
            const Bytes image = MakeImage(size);
            for (uint32_t baud : {kTransferBaud, kFastBaud}) {
                std::vector<Run> runs;
                bool allExact = true;
                for (int r = 0; r < repeats; ++r) {
                    runs.push_back(UpgradeOnLine(m_options, folder, self, image, baud));
                    allExact = allExact && runs.back().holds;
                }
                const Run run = Median(runs);
                const LineFigures f = Figures(run.line, kDataFrameBytes);
                const double floor = UpgradeFloor(size, baud).count();
                const double ratio = run.elapsed / floor;
                const double target =
                    baud == kTransferBaud ? kTargetRatioAt115200 : kTargetRatioAt921600;
                const std::string result = allExact ? "升级成功, image exact" : "**FAILED**";
                efficiency += Row({name, std::to_string(baud), result, Format("%.3f", run.elapsed),
                                   Format("%.3f", floor), Format("%.4f", ratio),
                                   Format("≤ %.2f", target), Verdict(allExact && ratio <= target)});
                const double above = f.turnMedianMs - gapMs;
                turnaround +=
                    Row({name, std::to_string(baud), std::to_string(f.answered),
                         Format("%.3f", f.turnMedianMs), Format("%.3f", f.turnP99Ms),
                         Format("%.3f", above), Format("≤ %.1f", kTargetTurnaroundAboveGapMs),
                         Verdict(above <= kTargetTurnaroundAboveGapMs)});
                const double share = run.usage.cpu.count() / run.elapsed;
                cpu += Row({name, std::to_string(baud), Format("%.3f", run.usage.cpu.count()),
                            Format("%.3f", run.elapsed), Format("%.2f %%", share * 100),
                            Format("≤ %.0f %%", kTargetTransferCpu * 100),
                            Verdict(share <= kTargetTransferCpu)});
                if (baud != kTransferBaud) {
                    Flush();
                    continue;
                }
                const double exchanges = std::max<double>(1, static_cast<double>(f.answered));
                const double voluntary = run.usage.voluntarySwitches / exchanges;
                const double involuntary = run.usage.involuntarySwitches / exchanges;
                const double cpuPerMib = run.usage.cpu.count() / Mib(size);
                const double blockFloorMs = BlockFloor(kTransferBaud).count() * 1000;
                const double blockRatio = f.blockMs / blockFloorMs;
                const double ownTurn = above;
                const double endMs = run.line.lastToASteadyNs > 0
                                         ? std::chrono::duration<double, std::milli>(
                                               run.usage.ended.time_since_epoch() -
                                               std::chrono::nanoseconds(run.line.lastToASteadyNs))
                                               .count()
                                         : -1;
                side += Row(
                    {"tarvik-cli → tarvik-sim", "tarvik", name, result, Format("%.3f", run.elapsed),
                     Format("%.3f", floor), Format("%.4f", ratio), Format("%.3f", cpuPerMib),
                     Format("%.2f", voluntary) + " / " + Format("%.2f", involuntary),
                     Format("%.3f", f.turnMedianMs) + " (own " + Format("%.3f", ownTurn) + ")",
                     Format("%.3f", f.blockMs) + " / " + Format("%.4f", blockRatio)});
                targets += Row({"voluntary context switches per block exchange", name,
                                Format("%.2f", voluntary) + " (involuntary " +
                                    Format("%.2f", involuntary) + ")",
                                Format("≤ %.0f", kTargetSwitchesPerExchange),
                                Verdict(voluntary <= kTargetSwitchesPerExchange)});
                targets += Row({"CPU per MiB sent", name, Format("%.3f s", cpuPerMib),
                                Format("≤ %.1f s", kTargetCpuPerMib),
                                Verdict(cpuPerMib <= kTargetCpuPerMib)});
                targets += Row({"steady time per block over its floor", name,
                                Format("%.4f", blockRatio) + " (" + Format("%.3f", f.blockMs) +
                                    " / " + Format("%.3f ms", blockFloorMs) + ")",
                                Format("≤ %.2f", kTargetBlockRatio),
                                Verdict(f.blockMs > 0 && blockRatio <= kTargetBlockRatio)});
                targets += Row({"the tool's own turn, median", name, Format("%.3f ms", ownTurn),
                                Format("≤ %.2f ms", kTargetOwnTurnMs),
                                Verdict(ownTurn <= kTargetOwnTurnMs)});
                targets +=
                    Row({"exit after the final answer's last byte (2 ms of it the read "
                         "that ends it)",
                         name, Format("%.1f ms", endMs), Format("≤ %.0f ms", kTargetEndMs),
                         Verdict(endMs >= 0 && endMs <= kTargetEndMs)});
                m_ratios.push_back(ratio);
                Flush();
            }
            for (const Peer& peer : kPeers) {
                std::vector<Run> runs;
                bool allExact = true;
                int repeated = 0;
                for (int r = 0; r < repeats; ++r) {
                    Run attempt = PeerOnce(folder, self, image, peer);
                    for (int a = 1; a < kPeerAttempts && !attempt.holds; ++a) {
                        ++repeated;
                        attempt = PeerOnce(folder, self, image, peer);
                    }
                    runs.push_back(attempt);
                    allExact = allExact && runs.back().holds;
                }
                const Run run = Median(runs);
                const LineFigures f = Figures(run.line, peer.blockFrame);
                const uint64_t floorBytes =
                    peer.streaming ? run.line.aToB : run.line.aToB + run.line.bToA;
                const double floor = WireTime(floorBytes, kTransferBaud).count();
                std::string switches = "–";
                std::string block = "–";
                if (!peer.streaming) {
                    const double exchanges = std::max<double>(1, static_cast<double>(f.answered));
                    switches = Format("%.2f", run.usage.voluntarySwitches / exchanges) + " / " +
                               Format("%.2f", run.usage.involuntarySwitches / exchanges);
                    const double blockFloorMs = (peer.blockFrame + peer.blockAnswer) * byteMs;
                    block = Format("%.3f", f.blockMs) + " / " +
                            Format("%.4f", f.blockMs / blockFloorMs);
                }
                side += Row({peer.name, peer.protocol, name,
                             std::string(allExact ? "file exact" : "**FAILED**") +
                                 (repeated > 0 ? " (" + std::to_string(repeated) +
                                                     " run(s) that stalled at the start repeated)"
                                               : ""),
                             Format("%.3f", run.elapsed), Format("%.3f", floor),
                             Format("%.4f", run.elapsed / floor),
                             Format("%.3f", run.usage.cpu.count() / Mib(size)), switches,
                             peer.streaming ? "–" : Format("%.3f", f.turnMedianMs), block});
                Flush();
            }
        }
        m_text << "### Side by side (115200 8N1)\n\n"
               << side << "\n### The new targets (115200, paced line)\n\n"
               << targets << "\n### Line efficiency\n\n"
               << efficiency << "\n### Turnaround\n\n"
               << turnaround << "\n### CPU while transferring (paced)\n\n"
               << cpu << "\n";
    }

    void WhereTheTimeGoes(const TempFolder& folder, const std::string& self) {
        const Bytes image = MakeImage(kSmallImage);
        const std::string imagePath = folder.File("profile.bin");
        WriteFile(imagePath, image);
        Line paced(self);
        std::optional<std::string> line;
        {
            Sim sim(m_options, {"--device", paced.B()});
            Child profile(self, {"profile", "--port", paced.A(), "--image", imagePath});
            line = profile.ReadLine(kUpgradeBound);
            profile.Wait(kStopBound);
            sim.Stop();
        }
        const LineFigures seen = Figures(paced.Stop(), kDataFrameBytes);
        const nlohmann::json j =
            line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json::object();
        const double exchanges = j.value("exchanges", 0.0);
        const uint64_t blocks = kSmallImage / kBlockBytes + 1;
        const double wire =
            WireTime(kCommandFrameBytes + kReplyBytes, kTransferBaud).count() * 4 +
            WireTime(blocks * (kDataFrameBytes + kReplyBytes), kTransferBaud).count();
        const double gaps = exchanges * std::chrono::duration<double>(kBurstGap).count();
        const double cycles = j.value("board_cycles_s", 0.0);
        const double turns = j.value("tool_turns_s", 0.0);
        const double wall = j.value("wall_s", 0.0);
        const double floor = UpgradeFloor(kSmallImage, kTransferBaud).count();
        const double readerMs = seen.turnMedianMs -
                                std::chrono::duration<double, std::milli>(kBurstGap).count() -
                                j.value("tool_turn_median_us", 0.0) / 1000;
        m_text << "### Where the time of a transfer goes\n\n"
               << "One 64 KiB upgrade at 115200 through the paced line, run in this process on "
                  "tarvik-cli's loop driver, every frame and reply stamped as the engine sends "
                  "and receives it ("
               << (j.value("succeeded", false) ? "升级成功" : "**not completed**")
               << "). A board's cycle runs from a frame written to its reply handed to the "
                  "engine; the tool's turn from a reply handed over to the next frame "
                  "written.\n\n"
               << Header({"part", "s", "per exchange ms", "share of the excess over the floor"})
               << Row({"elapsed", Format("%.3f", wall), "", ""})
               << Row({"the protocol's floor", Format("%.3f", floor), "", ""})
               << Row({"excess", Format("%.3f", wall - floor), "", "100 %"})
               << Row({"board's cycles beyond wire time and 2 ms read end",
                       Format("%.3f", cycles - wire - gaps),
                       Format("%.3f", (cycles - wire - gaps) / exchanges * 1000),
                       Format("%.0f %%", 100 * (cycles - wire - gaps) / (wall - floor))})
               << Row({"tool's turns (reply handed over to next frame written)",
                       Format("%.3f", turns), Format("%.3f", turns / exchanges * 1000),
                       Format("%.0f %%", 100 * turns / (wall - floor))})
               << Row({"tool's turn, median", "",
                       Format("%.3f", j.value("tool_turn_median_us", 0.0) / 1000), ""})
               << Row({"of the board's cycle: the tool's reader, about (turnaround median "
                       "above 2 ms, less the tool's turn)",
                       "", Format("%.3f", readerMs), ""})
               << Row({"of the board's cycle: the board's reaction, about (the rest)", "",
                       Format("%.3f", (cycles - wire - gaps) / exchanges * 1000 - readerMs), ""})
               << Row({"the pause after the board answered, beyond 100 ms",
                       Format("%.3f", j.value("settle_turn_s", 0.0) - 0.1), "", ""})
               << Row({"turnaround seen on the line, median / p99 ms", "",
                       Format("%.3f", seen.turnMedianMs) + " / " + Format("%.3f", seen.turnP99Ms),
                       ""})
               << Row({"closing the port after the outcome", "",
                       Format("%.3f", j.value("close_s", 0.0) * 1000), ""})
               << "\n";
        Flush();
    }

    void IdleCpu(const std::string& self) {
        Sim sim(m_options, {});
        Child idle(self, {"idle", "--port", sim.Path(), "--seconds", std::to_string(kIdleSeconds)});
        const std::optional<std::string> line = idle.ReadLine(Ms{(kIdleSeconds + 30) * 1000});
        idle.Wait(kStopBound);
        sim.Stop();
        const nlohmann::json j =
            line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
        const double cpuSeconds = j.value("cpu_s", -1.0);
        const double wall = j.value("wall_s", 1.0);
        const double share = cpuSeconds / wall;
        m_text << "### CPU with the port open and idle\n\n"
               << "The engine, its reply reader and the loop driver of tarvik-cli (the same "
                  "code the window runs) with the port open on a silent board, measured "
                  "with getrusage over "
               << kIdleSeconds << " s.\n\n"
               << Header({"case", "CPU s", "elapsed s", "share", "target", ""})
               << Row({"port open, idle", Format("%.4f", cpuSeconds), Format("%.2f", wall),
                       Format("%.3f %%", share * 100), Format("≤ %.1f %%", kTargetIdleCpu * 100),
                       Verdict(cpuSeconds >= 0 && share <= kTargetIdleCpu)})
               << "\n";
        Flush();
    }

    void ManyBoards(const TempFolder& folder) {
        m_text << "## Many boards at once\n\n"
               << "One tarvik-cli with one --port per board, each board a paced tarvik-sim at "
                  "115200, a 64 KiB image. The slowest board's time is the longest that "
                  "tarvik-cli reports for a port (from Start to the end, to 0.1 s); its "
                  "elapsed time also holds opening and closing every port.\n\n"
               << Header({"boards", "all exact", "slowest board s", "over one board",
                          "tarvik-cli elapsed s", "over one board", "target", ""});
        const Bytes image = MakeImage(kSmallImage);
        const std::string imagePath = folder.File("many.bin");
        WriteFile(imagePath, image);
        double single = 0;
        double singleWall = 0;
        for (int boards : {1, 4, kMostBoards}) {
            std::vector<std::unique_ptr<Sim>> sims;
            std::vector<std::string> args = {"upgrade", "--image", imagePath, "--quiet"};
            for (int i = 0; i < boards; ++i) {
                const std::string out = folder.File("many" + std::to_string(i) + ".bin");
                std::filesystem::remove(out);
                sims.push_back(std::make_unique<Sim>(
                    m_options, std::vector<std::string>{"--pace", "--out", out}));
                args.insert(args.end(), {"--port", sims.back()->Path()});
            }
            Child cli(m_options.cli, args);
            const std::optional<Usage> usage = cli.Wait(kUpgradeBound);
            const double slowest = SlowestBoard(cli.Output());
            bool exact = usage && usage->exitCode == 0;
            for (int i = 0; i < boards; ++i) {
                sims[static_cast<size_t>(i)]->Stop();
                exact =
                    exact && BoardHolds(folder.File("many" + std::to_string(i) + ".bin"), image);
            }
            const double elapsed = usage ? usage->wall.count() : 0;
            if (boards == 1) {
                single = slowest;
                singleWall = elapsed;
            }
            const double ratio = slowest / single;
            const double wallRatio = elapsed / singleWall;
            const bool last = boards == kMostBoards;
            m_text << Row({std::to_string(boards), exact ? "yes" : "**no**",
                           Format("%.1f", slowest), Format("%.3f", ratio), Format("%.3f", elapsed),
                           Format("%.3f", wallRatio),
                           last ? Format("≤ %.2f", kTargetManyBoards) : "",
                           last ? Verdict(exact && ratio <= kTargetManyBoards &&
                                          wallRatio <= kTargetManyBoards)
                                : ""});
            Flush();
        }
        m_text << "\n";
    }

    void ManyBoardsOnDrainingLines(const TempFolder& folder, const std::string& self) {
        m_text << "## Many boards on draining lines\n\n"
               << "As above, but every port's writes take their line's time as a real UART's "
                  "do (tests/support/draining_line.h under the port's device calls: a write's "
                  "bytes leave at 10 bits a byte of the rate set, the driver's queue and the "
                  "drain see that), and the boards are paced tarvik-sims. One loop driver in "
                  "one process with one port per board, as tarvik-cli runs them, a "
               << kDrainingImage / 1024
               << " KiB image. Slowest board: from Start to its outcome; whole run: from the "
                  "first Start to the last outcome. CPU and switches: the whole process (every "
                  "port's threads), per MiB sent and per answered frame.\n\n"
               << Header({"boards", "all succeeded", "slowest board s", "over one board",
                          "whole run s", "over one board", "CPU s per MiB",
                          "voluntary switches per exchange", "target", ""});
        const std::string imagePath = folder.File("draining.bin");
        WriteFile(imagePath, MakeImage(kDrainingImage));
        double single = 0;
        double singleWall = 0;
        for (int boards : {1, 4, kMostBoards}) {
            Child run(self, {"draining", "--sim", m_options.sim, "--boards", std::to_string(boards),
                             "--image", imagePath});
            const std::optional<std::string> line = run.ReadLine(kUpgradeBound);
            run.Wait(kStopBound);
            const nlohmann::json j =
                line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json::object();
            const bool ok = j.value("all_succeeded", false);
            const double slowest = j.value("slowest_s", 0.0);
            const double wall = j.value("wall_s", 0.0);
            if (boards == 1) {
                single = slowest;
                singleWall = wall;
            }
            const double ratio = single > 0 ? slowest / single : 0;
            const double wallRatio = singleWall > 0 ? wall / singleWall : 0;
            const double mib = Mib(kDrainingImage) * boards;
            const double exchanges = std::max(1.0, j.value("exchanges", 0.0));
            const bool last = boards == kMostBoards;
            m_text << Row(
                {std::to_string(boards), ok ? "yes" : "**no**", Format("%.3f", slowest),
                 Format("%.3f", ratio), Format("%.3f", wall), Format("%.3f", wallRatio),
                 Format("%.3f", j.value("cpu_s", 0.0) / mib),
                 Format("%.2f", j.value("voluntary", 0.0) / exchanges),
                 last ? Format("≤ %.2f", kTargetManyBoards) : "",
                 last ? Verdict(ok && ratio <= kTargetManyBoards && wallRatio <= kTargetManyBoards)
                      : ""});
            Flush();
        }
        m_text << "\nThe search on draining lines: ports that lead to no board, each pass's "
                  "16 steps at their own rates (a 23-byte frame lasts 0.19 s at 1200 baud), "
                  "the time from the first step's frame to the next pass's first frame, as "
                  "the line model saw the writes; the slowest port's.\n\n"
               << Header({"ports", "pass s (slowest port)", "over one port", "target", ""});
        double singlePass = 0;
        for (int ports : {1, kMostBoards}) {
            Child run(self, {"draining-search", "--ports", std::to_string(ports)});
            const std::optional<std::string> line = run.ReadLine(kUpgradeBound);
            run.Wait(kStopBound);
            const nlohmann::json j =
                line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json::object();
            const double pass = j.value("slowest_pass_s", 0.0);
            if (ports == 1) {
                singlePass = pass;
            }
            const double ratio = singlePass > 0 ? pass / singlePass : 0;
            const bool last = ports == kMostBoards;
            m_text << Row({std::to_string(ports), Format("%.3f", pass), Format("%.3f", ratio),
                           last ? Format("≤ %.2f", kTargetManyBoards) : "",
                           last ? Verdict(pass > 0 && ratio <= kTargetManyBoards) : ""});
            Flush();
        }
        m_text << "\n";
    }

    void Footprint(const TempFolder& folder) {
        m_text << "## Footprint\n\n" << Header({"program", "case", "peak resident", "notes"});
        {
            // The whole image is read in at Start; the transfer itself allocates nothing. A
            // whole 10 MiB transfer takes minutes (2 ms end every reply), so the peak is read
            // a few seconds into it and again later, to show it has stopped growing.
            const std::string imagePath = folder.File("huge.bin");
            WriteFile(imagePath, MakeImage(kHugeImage));
            Sim sim(m_options, {});
            Child cli(m_options.cli,
                      {"upgrade", "--port", sim.Path(), "--image", imagePath, "--quiet"});
            std::this_thread::sleep_for(kFootprintFirstLook);
            const long early = PeakKiB(cli.Pid());
            std::this_thread::sleep_for(kFootprintSecondLook - kFootprintFirstLook);
            const long later = PeakKiB(cli.Pid());
            cli.Signal(SIGINT);
            const std::optional<Usage> usage = cli.Wait(kStopBound);
            sim.Stop();
            m_text << Row({"tarvik-cli", "10 MiB image, transferring to an unpaced board",
                           Format("%.1f MiB", (usage ? usage->peakKiB : 0) / 1024.0),
                           "peak " + Format("%.1f MiB", early / 1024.0) + " after " +
                               Format("%.0f s", Seconds(kFootprintFirstLook).count()) + ", " +
                               Format("%.1f MiB", later / 1024.0) + " after " +
                               Format("%.0f s", Seconds(kFootprintSecondLook).count()) +
                               "; then interrupted (exit " +
                               std::to_string(usage ? usage->exitCode : -1) + ")"});
            Flush();
        }
        if (!m_options.gui.empty() && std::filesystem::exists(m_options.gui)) {
            const auto [how, peak] = GuiStart(folder);
            m_text << Row({"tarvik", "at start, idle for 3 s", peak, how});
        } else {
            m_text << Row({"tarvik", "not built (TARVIK_BUILD_GUI off)", "", ""});
        }
        m_text << "\n";
        Flush();
    }

    void Soak() {
        if (m_options.soak.empty() || m_options.soakRuns <= 0) {
            return;
        }
        Child soak(m_options.soak, {}, {{"TARVIK_SOAK_RUNS", std::to_string(m_options.soakRuns)}});
        const std::optional<Usage> usage =
            soak.Wait(Ms{static_cast<int64_t>(m_options.soakRuns) * kSoakRunBoundSeconds * 1000});
        std::string line = "(no summary)";
        std::istringstream out(soak.Output());
        for (std::string l; std::getline(out, l);) {
            if (l.rfind("soak:", 0) == 0) {
                line = l.substr(sizeof "soak:");
            }
        }
        m_text << "## Soak\n\n"
               << m_options.soakRuns
               << " upgrades in one process over one port, against one board that loses each "
                  "reply with probability 0.03 (tarvik-sim --loss 0.03 --seed 7); each run's "
                  "image differs. The test passes when every run either succeeds with the "
                  "board holding exactly its image or ends with the failure text, none hangs, "
                  "and the heap in use does not grow after the first two runs.\n\n"
               << Header({"result", "elapsed s", "figures"})
               << Row({usage && usage->exitCode == 0 ? "passed" : "**failed**",
                       usage ? Format("%.0f", usage->wall.count()) : "-", line})
               << "\n";
        Flush();
    }

    void Notes(const std::string& notes) {
        m_text << notes;
        Flush();
    }

    std::string Text() const { return m_text.str(); }

private:
    // Peak memory of the window at start: on an X server of its own when Xvfb is there.
    std::pair<std::string, std::string> GuiStart(const TempFolder& folder) {
        const std::string config = folder.File("config");
        std::filesystem::create_directories(config);
        std::vector<std::pair<std::string, std::string>> env = {{"XDG_CONFIG_HOME", config}};
        std::unique_ptr<Child> xserver;
        std::string how = "offscreen platform";
        if (std::filesystem::exists("/usr/bin/Xvfb")) {
            const std::string display = ":" + std::to_string(90 + getpid() % 9);
            xserver = std::make_unique<Child>(
                "/usr/bin/Xvfb", std::vector<std::string>{display, "-nolisten", "tcp"});
            std::this_thread::sleep_for(kXServerSettle);
            env.push_back({"DISPLAY", display});
            env.push_back({"QT_QPA_PLATFORM", "xcb"});
            how = "X server (Xvfb)";
        } else {
            env.push_back({"QT_QPA_PLATFORM", "offscreen"});
        }
        Child gui(m_options.gui, {}, env);
        std::this_thread::sleep_for(kGuiSettle);
        gui.Signal(SIGTERM);
        const std::optional<Usage> usage = gui.Wait(kStopBound);
        if (xserver) {
            xserver->Signal(SIGTERM);
            xserver->Wait(kStopBound);
        }
        return {how, usage ? Format("%.1f MiB", usage->peakKiB / 1024.0) : "-"};
    }

    void Flush() { std::ofstream(m_options.out) << m_text.str(); }

    const Options& m_options;
    std::ostringstream m_text;
    std::vector<double> m_ratios;
};

// Why a target is missed, worked out from the figures above (the tables of this report show
// the same split on every run).
constexpr const char kNotes[] = R"(## Notes on the targets

- **The paced line.** tarvik-sim's own pacing (--pace) paced only the board's replies, so
  the tool's frames crossed in no time. The relay (bench/line_relay.cpp) paces both
  directions at the rate the tool's side has set, as a cable between two UARTs does, and
  sees the line as an analyser would: every exchange, every turn. Each byte still goes
  through two pseudo-terminals, which hand it on through the kernel's work queue: that
  latency lands in every turn measured here, tarvik's and lrzsz's alike. The relay holds at
  most a page (4 KiB) per side in flight, as a serial driver's transmit buffer does, so a
  streaming sender waits for the line as it would on a port. (The run of 2026-12-10 18:37
  was made before that bound: its 1 MiB ZMODEM row failed because sz had handed the whole
  MiB over at once and gave up waiting for rz's answer after 60 s while rz was still
  receiving. sz → rz of 1 MiB through the bounded relay, run on its own just after: 94.089 s
  against a floor of 94.064 s, 1.0003, file exact. The stop-and-wait rows never have more
  than one frame in flight and are not touched by the bound.)
- **The machine's load.** These figures come from a two-core machine shared with several
  other builds (see the load averages): a waiting thread often waits milliseconds more for a
  processor. tarvik's exchange needs three threads to run one after the other (the reader
  at the reply's first byte and at its end, then the loop's thread that sends the next
  frame), lrzsz's one; under load tarvik's turns and its time per block suffer more, and the
  turn, per-block and line-efficiency rows move by milliseconds from run to run: the 64 KiB
  rows of the run of 18:37 came while this machine also built and ran a sanitizer test suite
  (turn medians of 1.5 to 2 ms above the gap), the 1 MiB rows after them (0.2 ms). Voluntary
  context switches and CPU per MiB move least; they carry the comparison. A quick run at
  19:00 on the same build, the machine quieter (load about 2), gave for 64 KiB: tarvik 1.0473
  of its floor, own turn 0.176 ms, 16.226 ms per block (1.0212 of its floor), 4.36
  voluntary switches per exchange, 1.43 s CPU per MiB, exit 3.3 ms after the final answer;
  sz → rz 1.0026; sx → rx 1.1889, turn 0.097 ms, 89.731 ms per block (1.0036).
- **Context switches per exchange.** Before this round the reader woke for every byte of a
  reply, as a paced line hands them on: measured on this relay, one after the other in the
  same minutes (load about 8), the earlier tarvik-cli made 18.1 and 19.3 voluntary context
  switches per exchange and used 4.5 and 4.2 s of CPU per MiB; this one 4.2 and 4.2, and
  1.1 and 1.0 s per MiB. The port now expects a reply as long as the last, wakes at its first
  byte and once more when its line time and the 2 ms gap have passed. Four waits per block
  exchange are this design's least: the reader at the first byte, at the end of the reply,
  in the synchronous hand-over, and the loop's thread between events. The whole-run figure
  adds the start, the search, the 100 ms settle and the close, and a wait more whenever the
  relay hands a reply on late under load (the reader then takes the rest byte by byte, never
  ending a reply early). So the target of 4 is met per exchange by design and missed by the
  whole run by those extras.
- **CPU per MiB.** With four context switches per exchange, nearly all of the tool's CPU is
  the switching itself (the kernel's task switch leads a profile of tarvik-cli; the tool's
  own code, frames and sums, is a few per cent). On this virtual machine under load a switch
  costs tens of microseconds, 0.12 to 0.17 ms per exchange in all: at 8,192 exchanges per
  MiB that is 1.0 to 1.4 s, three to four times less than before, and two to three times
  the 0.5 s target. sz and sx
  send far fewer, larger pieces per MiB (ZMODEM streams; XMODEM-1K sends 1 KiB a block), so
  their CPU per MiB is lower whatever the machine.
- **The tool's own turn and the time per block.** The turn after the 2 ms that end a reply's
  read holds: the reader's wake-up at the reply's first byte (its end is counted from that
  moment), its wake-up when the reply's time is out, the hand-over to the loop's thread, the
  next frame written, and the relay's own wake-up for it; with no load each is a few
  microseconds to a few tens, on this machine under load often a hundred or more. The time
  per block also holds the board's reaction (tarvik-sim is woken for every byte of a frame).
  0.05 ms and 1.01 are not reached on this loaded machine; the medians in the table are what
  it gave. The tool's part inside the process (a reply handed over to the next frame
  written) stays a few hundredths of a millisecond ("Where the time of a transfer goes").
- **Exit after the final answer.** The reader's wait for a next reply (up to 100 ms) was
  waited out before the port closed, and closing then waited one more 10 ms slice for a last
  reply that could no longer come. Now a stop request cuts the reader's waiting read short
  (CComPort::CancelRead) and the driver learns at once that the reader has ended, so
  tarvik-cli exits a few milliseconds after the final answer, 2 of them the read that ends
  that answer. The window closes its port the same way.
- **921600 baud.** The protocol sets the line to 115200 as soon as the board answers
  enter-upgrade, and the board follows: only that first exchange runs at 921600. Both floors
  count the transfer at 115200 and differ by a few milliseconds; the elapsed times differ by
  what the machine's load does to each run. A floor with
  every byte at 921600 (about 1.1 s for 64 KiB) is not what this protocol can reach.
- **Many boards.** Two causes found with these benchmarks and fixed. The loop driver slept on
  the loop's only thread for the 100 ms pause after each board's answer, so every other board
  stood still meanwhile: with 16 boards the begin-transfer commands went out 100 ms apart and
  every board finished about 1.6 s late; now the other ports' replies and timers run during
  one port's pause (upgrade/loop_driver.cpp, test hardening.ManyBoards). And tarvik-cli closed
  its ports one after another, each waiting up to one 100 ms read for its reader to notice,
  which held the exit back by another 1.6 s with 16 ports; now every reader is asked first
  and the ports close together (cli/upgrade_run.cpp). 16 separate tarvik-cli processes take
  the same time as one with 16 ports.
- **Footprint.** tarvik-cli's peak is the 10 MiB firmware buffer (filled as the image is
  read), the 512 KiB receive buffer of each port's reader and the C++ runtime; it does not
  grow during the transfer. A whole 10 MiB upgrade against tarvik-sim fails its sum check:
  block numbers are 16 bits on the wire and the simulated board stores block 65,536 over
  block 0 (images of 8 MiB or more).

)";

int RunAll(const Options& o, const std::string& self) {
    TempFolder folder;
    Report report(o);
    report.Machine();
    if (o.Runs("line")) {
        report.LineEfficiency(folder, self);
    }
    if (o.Runs("profile")) {
        report.WhereTheTimeGoes(folder, self);
    }
    if (o.Runs("idle")) {
        report.IdleCpu(self);
    }
    if (o.Runs("boards")) {
        report.ManyBoards(folder);
    }
    if (o.Runs("draining")) {
        report.ManyBoardsOnDrainingLines(folder, self);
    }
    if (o.Runs("footprint")) {
        report.Footprint(folder);
    }
    if (o.Runs("soak")) {
        report.Soak();
    }
    if (o.only.empty()) {
        report.Notes(kNotes);
    }
    report.Notes("Load average at the end: " + LoadAverage() + ".\n");
    std::cout << report.Text();
    return 0;
}

// One upgrade run in this process on the loop driver (as tarvik-cli runs it), every frame and
// reply stamped as the engine sends and receives it: where the time of an exchange goes.
//   board's cycle: from a frame written to its reply handed to the engine: the frame and
//                  the reply on the wire, the board's reaction, the 2 ms that end the read,
//                  the reader's wake-up and hand-over;
//   tool's turn:   from a reply handed over to the next frame written.
int Profile(const std::string& port, const std::string& image) {
    CEventLoop loop;
    CLoopDriver driver(loop);
    std::vector<std::pair<TraceDirection, Clock::time_point>> events;
    events.reserve(1 << 16);
    driver.onTrace = [&](TraceDirection direction, const uint8_t*, size_t) {
        events.emplace_back(direction, Clock::now());
    };
    if (driver.OpenPort(port, kTransferBaud) != kErrSuccess) {
        std::cerr << "tarvik-bench: cannot open " << port << "\n";
        return 1;
    }
    const Clock::time_point start = Clock::now();
    if (driver.Engine().Start(image, "image.bin") != StartResult::Started) {
        return 1;
    }
    loop.RunUntil([&] { return driver.Engine().Outcome() != UpgradeOutcome::None; },
                  start + kUpgradeBound);
    const double wall = Seconds(Clock::now() - start).count();
    const Clock::time_point closing = Clock::now();
    driver.ClosePort();
    const double close = Seconds(Clock::now() - closing).count();
    double cycles = 0, turns = 0, settle = 0;
    size_t exchanges = 0;
    std::vector<double> turnList;
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        const double gap = Seconds(events[i + 1].second - events[i].second).count();
        if (events[i].first == TraceDirection::Sent &&
            events[i + 1].first == TraceDirection::Received) {
            cycles += gap;
            ++exchanges;
        } else if (events[i].first == TraceDirection::Received &&
                   events[i + 1].first == TraceDirection::Sent) {
            // The turn after the enter-upgrade answer holds the fixed 100 ms pause.
            if (exchanges == 1) {
                settle = gap;
            } else {
                turns += gap;
                turnList.push_back(gap);
            }
        }
    }
    std::sort(turnList.begin(), turnList.end());
    nlohmann::json j;
    j["succeeded"] = driver.Engine().Outcome() == UpgradeOutcome::Succeeded;
    j["wall_s"] = wall;
    j["exchanges"] = exchanges;
    j["board_cycles_s"] = cycles;
    j["tool_turns_s"] = turns;
    j["tool_turn_median_us"] = turnList.empty() ? 0 : turnList[turnList.size() / 2] * 1e6;
    j["settle_turn_s"] = settle;
    j["close_s"] = close;
    std::cout << j.dump() << std::endl;
    return 0;
}

double CpuSeconds(const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// `boards` paced tarvik-sims on lines that drain at their rate, one loop driver for all, as
// tarvik-cli runs them: when each board's upgrade ended, and what the process used.
int Draining(const Options& o, int boards, const std::string& image) {
    testing::DrainingLines lines;  // before any port opens
    std::vector<std::unique_ptr<Sim>> sims;
    for (int i = 0; i < boards; ++i) {
        sims.push_back(std::make_unique<Sim>(o, std::vector<std::string>{"--pace"}));
    }
    CEventLoop loop;
    std::vector<std::unique_ptr<CLoopDriver>> drivers;
    size_t exchanges = 0;  // loop thread only
    for (int i = 0; i < boards; ++i) {
        drivers.push_back(std::make_unique<CLoopDriver>(loop));
        drivers.back()->onTrace = [&](TraceDirection direction, const uint8_t*, size_t) {
            exchanges += direction == TraceDirection::Received ? 1 : 0;
        };
        if (drivers.back()->OpenPort(sims[static_cast<size_t>(i)]->Path(), kTransferBaud) !=
            kErrSuccess) {
            std::cerr << "tarvik-bench: cannot open " << sims[static_cast<size_t>(i)]->Path()
                      << "\n";
            return 1;
        }
    }
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now();
    std::vector<Clock::time_point> started, ended(drivers.size());
    for (auto& driver : drivers) {
        started.push_back(Clock::now());
        if (driver->Engine().Start(image, "image.bin") != StartResult::Started) {
            return 1;
        }
    }
    std::vector<bool> done(drivers.size(), false);
    loop.RunUntil(
        [&] {
            bool all = true;
            for (size_t i = 0; i < drivers.size(); ++i) {
                if (!done[i] && drivers[i]->Engine().Outcome() != UpgradeOutcome::None) {
                    done[i] = true;
                    ended[i] = Clock::now();
                }
                all = all && done[i];
            }
            return all;
        },
        start + kUpgradeBound);
    getrusage(RUSAGE_SELF, &after);
    double slowest = 0;
    bool succeeded = true;
    Clock::time_point last = start;
    for (size_t i = 0; i < drivers.size(); ++i) {
        succeeded =
            succeeded && done[i] && drivers[i]->Engine().Outcome() == UpgradeOutcome::Succeeded;
        slowest = std::max(slowest, Seconds(ended[i] - started[i]).count());
        last = std::max(last, ended[i]);
    }
    for (auto& driver : drivers) {
        driver->RequestClose();
    }
    for (auto& driver : drivers) {
        driver->ClosePort();
    }
    drivers.clear();
    for (auto& sim : sims) {
        sim->Stop();
    }
    nlohmann::json j;
    j["all_succeeded"] = succeeded;
    j["slowest_s"] = slowest;
    j["wall_s"] = Seconds(last - start).count();
    j["cpu_s"] = CpuSeconds(after) - CpuSeconds(before);
    j["voluntary"] = after.ru_nvcsw - before.ru_nvcsw;
    j["involuntary"] = after.ru_nivcsw - before.ru_nivcsw;
    j["exchanges"] = exchanges;
    std::cout << j.dump() << std::endl;
    return 0;
}

// `ports` lines that drain at their rate and lead to no board: one search pass on each, the
// time from its first step's frame to the next pass's first frame as the line saw them.
int DrainingSearch(int ports, const std::string& folder) {
    testing::DrainingLines lines;
    std::mutex mutex;
    std::map<std::string, std::vector<Clock::time_point>> writes;
    lines.onWrite = [&](const std::string& path, size_t) {
        std::lock_guard<std::mutex> lock(mutex);
        writes[path].push_back(Clock::now());
    };
    std::vector<int> masters;
    std::vector<std::string> slaves;
    for (int i = 0; i < ports; ++i) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            std::cerr << "tarvik-bench: no pseudo-terminal\n";
            return 1;
        }
        masters.push_back(master);
        slaves.emplace_back(ptsname(master));
    }
    const std::string imagePath = folder + "search.bin";
    WriteFile(imagePath, MakeImage(kBlockBytes));
    CEventLoop loop;
    std::vector<std::unique_ptr<CLoopDriver>> drivers;
    for (const std::string& slave : slaves) {
        drivers.push_back(std::make_unique<CLoopDriver>(loop));
        if (drivers.back()->OpenPort(slave, kTransferBaud) != kErrSuccess) {
            std::cerr << "tarvik-bench: cannot open " << slave << "\n";
            return 1;
        }
    }
    for (auto& driver : drivers) {
        driver->Engine().Start(imagePath, "search.bin");
    }
    const auto passed = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& slave : slaves) {
            if (writes[slave].size() <= kNextPassWrite) {
                return false;
            }
        }
        return true;
    };
    const bool complete = loop.RunUntil(passed, Clock::now() + kSearchBound);
    for (auto& driver : drivers) {
        driver->Engine().OnStop();
        driver->RequestClose();
    }
    for (auto& driver : drivers) {
        driver->ClosePort();
    }
    drivers.clear();
    double slowest = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& slave : slaves) {
            const auto& w = writes[slave];
            if (w.size() > kNextPassWrite) {
                slowest =
                    std::max(slowest, Seconds(w[kNextPassWrite] - w[kFirstScanWrite]).count());
            }
        }
    }
    for (int master : masters) {
        close(master);
    }
    nlohmann::json j;
    j["complete"] = complete;
    j["slowest_pass_s"] = complete ? slowest : 0.0;
    std::cout << j.dump() << std::endl;
    return 0;
}

// The port open and idle: the loop driver with its reader, no upgrade, for `seconds`.
int Idle(const std::string& port, int seconds) {
    CEventLoop loop;
    CLoopDriver driver(loop);
    if (driver.OpenPort(port, kTransferBaud) != kErrSuccess) {
        std::cerr << "tarvik-bench: cannot open " << port << "\n";
        return 1;
    }
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now();
    loop.RunUntil([] { return false; }, start + std::chrono::seconds(seconds));
    const double wall = Seconds(Clock::now() - start).count();
    getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& r) {
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    driver.ClosePort();
    nlohmann::json j;
    j["cpu_s"] = cpu(after) - cpu(before);
    j["wall_s"] = wall;
    std::cout << j.dump() << std::endl;
    return 0;
}

}  // namespace
}  // namespace tarvik::bench

int main(int argc, char** argv) {
    using namespace tarvik::bench;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << "usage: tarvik-bench run ... | idle --port P --seconds S\n";
        return 2;
    }
    auto value = [&](const std::string& name) -> std::string {
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == name) {
                return args[i + 1];
            }
        }
        return {};
    };
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    if (args[0] == "line") {
        return RunLineRelay();
    }
    if (args[0] == "idle") {
        return Idle(value("--port"), std::atoi(value("--seconds").c_str()));
    }
    if (args[0] == "profile") {
        return Profile(value("--port"), value("--image"));
    }
    if (args[0] == "draining") {
        Options o;
        o.sim = value("--sim");
        return Draining(o, std::atoi(value("--boards").c_str()), value("--image"));
    }
    if (args[0] == "draining-search") {
        TempFolder folder;
        return DrainingSearch(std::atoi(value("--ports").c_str()), folder.File(""));
    }
    Options o;
    o.sim = value("--sim");
    o.cli = value("--cli");
    o.gui = value("--gui");
    o.soak = value("--soak");
    o.soakRuns = std::atoi(value("--soak-runs").c_str());
    o.out = value("--out");
    o.quick = std::find(args.begin(), args.end(), "--quick") != args.end();
    o.only = value("--only");
    if (o.sim.empty() || o.cli.empty() || o.out.empty()) {
        std::cerr << "tarvik-bench run: --sim, --cli and --out are needed\n";
        return 2;
    }
    return RunAll(o, self);
}
