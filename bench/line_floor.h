// The protocol's own floor for an upgrade: what the line and the protocol's fixed waits take
// even with a tool and a board that answer in no time.
//
//   every frame and every reply on the wire at 10 bits per byte (8N1 with its start bit):
//     the enter-upgrade exchange at the rate the board listens at, everything after it at
//     the transfer rate the protocol switches to;
//   plus, per reply, the 2 ms a read waits after the last byte of a burst before it ends;
//   plus the fixed 100 ms the tool waits after the board has answered enter-upgrade.
#pragma once

#include <chrono>
#include <cstdint>

namespace tarvik::bench {

inline constexpr uint32_t kBitsPerByte = 10;
inline constexpr uint32_t kTransferBaud = 115200;
inline constexpr uint32_t kBlockBytes = 128;
inline constexpr uint32_t kCommandFrameBytes = 23;
inline constexpr uint32_t kDataFrameBytes = 137;
inline constexpr uint32_t kReplyBytes = 23;
inline constexpr std::chrono::microseconds kBurstGap{2000};
inline constexpr uint32_t kMiB = 1024 * 1024;
// An XMODEM-1K block on the line: STX, block number and its complement, 1024 data bytes and
// a CRC-16; each answered by one byte (ACK).
inline constexpr uint32_t kXmodemBlockFrame = 1 + 2 + 1024 + 2;
inline constexpr uint32_t kXmodemAnswer = 1;
inline constexpr std::chrono::microseconds kSettleAfterFound{100000};

inline std::chrono::duration<double> WireTime(uint64_t bytes, uint32_t baud) {
    return std::chrono::duration<double>(static_cast<double>(bytes * kBitsPerByte) / baud);
}

// The floor of one steady block exchange of this protocol: the data frame and its answer on
// the wire, and the read that ends 2 ms after the answer.
inline std::chrono::duration<double> BlockFloor(uint32_t baud) {
    return WireTime(kDataFrameBytes + kReplyBytes, baud) + std::chrono::duration<double>(kBurstGap);
}

// The floor of a whole upgrade of `imageBytes` found at `searchBaud`.
inline std::chrono::duration<double> UpgradeFloor(uint64_t imageBytes, uint32_t searchBaud) {
    const uint64_t blocks = imageBytes / kBlockBytes + 1;  // the last one always carries fill
    // enter-upgrade, then begin-transfer, the blocks, the checksum request and the finish.
    const uint64_t replies = 1 + 1 + blocks + 1 + 1;
    std::chrono::duration<double> floor = WireTime(kCommandFrameBytes + kReplyBytes, searchBaud);
    floor += WireTime(3 * (kCommandFrameBytes + kReplyBytes), kTransferBaud);
    floor += WireTime(blocks * (kDataFrameBytes + kReplyBytes), kTransferBaud);
    floor += std::chrono::duration<double>(kBurstGap) * static_cast<double>(replies);
    floor += std::chrono::duration<double>(kSettleAfterFound);
    return floor;
}

}  // namespace tarvik::bench
