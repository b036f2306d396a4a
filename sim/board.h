// The simulated board: what it does with each frame it receives, and what it answers.
//
// The board listens at one bit rate (the --baud of the command line) until it has answered
// the enter-upgrade command; from then on it listens at 115200, the rate of the upgrade.
// After the finish command it restarts with the new firmware and listens at its own rate
// again. A frame that arrives at another rate is not understood.
//
// Everything here is plain logic: no clock, no descriptor. The caller hands it complete
// frames with the rate they came at and puts the transmissions it returns on the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "wire.h"

namespace tarvik::sim {

struct BoardSettings {
    std::uint32_t baud = kUpgradeBaud;         // the rate the board listens at before the upgrade
    bool endDot = false;                       // replies end 'E' '.' instead of 'E' 'D'
    bool garble = false;                       // answer a frame at the wrong rate with garbage
    bool wrongSum = false;                     // the checksum reply carries the sum plus one
    bool silentFinish = false;                 // no answer to the finish command
    std::optional<std::uint16_t> vanishAfter;  // block number after whose answer to vanish
    FaultPlan faults;
    double loss = 0.0;  // probability of losing each reply
    std::uint32_t seed = 1;
};

// Bytes to put on the line, `after` the frame was handled, at `baud`.
struct Transmission {
    std::chrono::milliseconds after{0};
    Bytes bytes;
    std::uint32_t baud = kUpgradeBaud;
    bool reply = false;  // carries a reply frame (not garbage alone)
};

struct Outcome {
    std::vector<Transmission> sends;
    bool understood = false;     // heard at the right rate
    bool imageComplete = false;  // the finish command arrived: the image is final
    bool vanish = false;         // the block named by vanishAfter was acknowledged
    bool refused = false;        // answered with the failure step (--fail)
    bool wrongSum = false;       // answered the checksum request with a wrong sum
    std::string note;            // faults applied, for the trace
};

struct BoardStats {
    std::map<int, std::uint64_t> frames;  // step byte -> frames understood
    std::uint64_t wrongSpeed = 0;         // frames heard at a rate the board was not at
    std::uint64_t outOfOrder = 0;         // blocks other than the next one or a repeat
    std::uint64_t resends = 0;            // frames repeated byte for byte, and blocks held already
    std::uint64_t replies = 0;            // replies put on the line
    std::uint64_t lostReplies = 0;        // replies dropped on purpose
    std::uint64_t upgrades = 0;           // finish commands handled
    bool finished = false;
    std::vector<std::uint32_t> speeds;  // distinct rates heard, in order
};

class Board {
public:
    explicit Board(BoardSettings settings);

    // Handles one complete, valid frame that arrived at `baud`.
    Outcome receive(const Bytes& frame, std::uint32_t baud);

    std::uint32_t listenBaud() const { return m_listenBaud; }
    const BoardStats& stats() const { return m_stats; }

    // The image as received: every block's data in block order, the final block's fill
    // included; blocks never received read 0xFF, as erased flash does.
    const Bytes& image() const { return m_image; }
    // The 32-bit wrapping sum of the data of every block received in the current image.
    std::uint32_t sum() const;

private:
    // Stores a block in the current image, counting it when it is out of order. Returns
    // whether the image held that block already (a resent block replaces it).
    bool storeBlock(std::uint16_t number, const Byte* data);
    void shapeReply(Outcome& out, Bytes reply, const FaultSet& faults, std::uint32_t baud);

    BoardSettings m_settings;
    ReplyLoss m_loss;
    std::uint32_t m_listenBaud;
    BoardStats m_stats;
    std::map<Byte, std::uint64_t> m_kindCounts;  // understood frames per step, for faults
    Bytes m_lastFrame;                           // the last frame understood
    Bytes m_image;
    std::vector<bool> m_have;  // per block: received in the current image
};

}  // namespace tarvik::sim
