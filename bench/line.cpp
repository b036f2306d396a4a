// One paced line: tarvik-cli upgrading tarvik-sim through the relay of line_relay.h (both
// directions at the line's rate), at 115200 and with the board found at 921600, against the
// protocol's floor (line_floor.h); beside it lrzsz's ZMODEM (sz -> rz) and XMODEM-1K
// (sx -> rx) on the same relay in the same run. Figures: elapsed over the floor, the
// sender's CPU and context switches per exchange, turns and time per block as the line saw
// them, and the exit after the final answer.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "line_floor.h"
#include "sections.h"

namespace tarvik::bench {
namespace {

constexpr uint32_t kLargeImage = 1024 * 1024;
constexpr uint32_t kFastBaud = 921600;
constexpr double kTargetRatioAt115200 = 1.03;
constexpr double kTargetRatioAt921600 = 1.10;
constexpr double kTargetTurnaroundAboveGapMs = 0.5;
constexpr double kTargetTransferCpu = 0.03;
constexpr double kTargetSwitchesPerExchange = 3;
constexpr double kTargetCpuPerMib = 0.5;  // seconds
constexpr double kTargetBlockRatio = 1.01;
constexpr double kTargetOwnTurnMs = 0.05;
constexpr double kTargetEndMs = 5;
constexpr int kSmallImageRuns = 3;
// lrzsz's runs: the first program's moment to set its terminal up, the bound of a run (its
// wire time several times over, and room for its own time-outs), and the runs a peer is
// given when one ends in nothing.
constexpr Ms kPeerSettle{300};
constexpr double kPeerBoundFactor = 3;
constexpr Ms kPeerBoundExtra{60000};
constexpr int kPeerAttempts = 3;
constexpr Ms kReceiverLinger{2000};

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
        Sim sim(o.sim, {"--device", line.B(), "--baud", std::to_string(baud), "--out", outPath});
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

// The median of `runs` by elapsed time (a few runs where they are short: one slow run on a
// shared machine says little).
Run Median(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.elapsed < b.elapsed; });
    return runs[runs.size() / 2];
}

}  // namespace

void LineAndPeers(Report& report) {
    const TempFolder& folder = report.folder;
    const std::string& self = report.self;
    report.text
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
    if (!report.options.quick) {
        sizes.push_back(kLargeImage);
    }
    const double byteMs = WireTime(1, kTransferBaud).count() * 1000;
    const double gapMs = std::chrono::duration<double, std::milli>(kBurstGap).count();
    std::string side =
        Header({"sender → receiver", "protocol", "image", "result", "elapsed s", "floor s", "ratio",
                "sender CPU s per MiB", "sender switches per exchange, voluntary / involuntary",
                "turn median ms", "per block ms / its floor"});
    std::string efficiency =
        Header({"image", "board's rate", "result", "elapsed s", "floor s", "ratio", "target", ""});
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
                runs.push_back(UpgradeOnLine(report.options, folder, self, image, baud));
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
            turnaround += Row({name, std::to_string(baud), std::to_string(f.answered),
                               Format("%.3f", f.turnMedianMs), Format("%.3f", f.turnP99Ms),
                               Format("%.3f", above), Format("≤ %.1f", kTargetTurnaroundAboveGapMs),
                               Verdict(above <= kTargetTurnaroundAboveGapMs)});
            const double share = run.usage.cpu.count() / run.elapsed;
            cpu += Row({name, std::to_string(baud), Format("%.3f", run.usage.cpu.count()),
                        Format("%.3f", run.elapsed), Format("%.2f %%", share * 100),
                        Format("≤ %.0f %%", kTargetTransferCpu * 100),
                        Verdict(share <= kTargetTransferCpu)});
            if (baud != kTransferBaud) {
                report.Flush();
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
            side +=
                Row({"tarvik-cli → tarvik-sim", "tarvik", name, result, Format("%.3f", run.elapsed),
                     Format("%.3f", floor), Format("%.4f", ratio), Format("%.3f", cpuPerMib),
                     Format("%.2f", voluntary) + " / " + Format("%.2f", involuntary),
                     Format("%.3f", f.turnMedianMs) + " (own " + Format("%.3f", ownTurn) + ")",
                     Format("%.3f", f.blockMs) + " / " + Format("%.4f", blockRatio)});
            targets += Row(
                {"voluntary context switches per block exchange", name,
                 Format("%.2f", voluntary) + " (involuntary " + Format("%.2f", involuntary) + ")",
                 Format("≤ %.0f", kTargetSwitchesPerExchange),
                 Verdict(voluntary <= kTargetSwitchesPerExchange)});
            targets +=
                Row({"CPU per MiB sent", name, Format("%.3f s", cpuPerMib),
                     Format("≤ %.1f s", kTargetCpuPerMib), Verdict(cpuPerMib <= kTargetCpuPerMib)});
            targets += Row({"steady time per block over its floor", name,
                            Format("%.4f", blockRatio) + " (" + Format("%.3f", f.blockMs) + " / " +
                                Format("%.3f ms", blockFloorMs) + ")",
                            Format("≤ %.2f", kTargetBlockRatio),
                            Verdict(f.blockMs > 0 && blockRatio <= kTargetBlockRatio)});
            targets +=
                Row({"the tool's own turn, median", name, Format("%.3f ms", ownTurn),
                     Format("≤ %.2f ms", kTargetOwnTurnMs), Verdict(ownTurn <= kTargetOwnTurnMs)});
            targets +=
                Row({"exit after the final answer's last byte (2 ms of it the read "
                     "that ends it)",
                     name, Format("%.1f ms", endMs), Format("≤ %.0f ms", kTargetEndMs),
                     Verdict(endMs >= 0 && endMs <= kTargetEndMs)});
            report.Flush();
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
                block =
                    Format("%.3f", f.blockMs) + " / " + Format("%.4f", f.blockMs / blockFloorMs);
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
            report.Flush();
        }
    }
    report.text << "### Side by side (115200 8N1)\n\n"
                << side << "\n### The new targets (115200, paced line)\n\n"
                << targets << "\n### Line efficiency\n\n"
                << efficiency << "\n### Turnaround\n\n"
                << turnaround << "\n### CPU while transferring (paced)\n\n"
                << cpu << "\n";
}

}  // namespace tarvik::bench
