// The board's view of the serial line: frame sizes, step bytes and the reply frame.
//
// The tool sends 23-byte command frames ('h' ':' command step payload16 checksum 'E' '.')
// and 137-byte data frames ('h' ':' 'W' step block-lo block-hi data128 checksum 'E' '.').
// The board answers every frame with a 23-byte command frame whose checksum byte 20 is the
// 8-bit sum of bytes 0..19 and whose last two bytes are 'E' 'D' (or 'E' '.').
//
// This file is the board's own reading of the line protocol: it shares no code with the
// tool, so that a mistake on one side is caught by the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvik::sim {

using Byte = std::uint8_t;
using Bytes = std::vector<Byte>;

inline constexpr std::size_t kCommandFrameSize = 23;
inline constexpr std::size_t kDataFrameSize = 137;
inline constexpr std::size_t kBlockSize = 128;
inline constexpr std::size_t kPayloadSize = 16;

// Offsets inside both frame kinds.
inline constexpr std::size_t kCommandOffset = 2;
inline constexpr std::size_t kStepOffset = 3;
inline constexpr std::size_t kPayloadOffset = 4;
inline constexpr std::size_t kBlockDataOffset = 6;  // data frames: after the block number
inline constexpr std::size_t kHeaderSize = 2;
inline constexpr std::size_t kTrailerSize = 2;
inline constexpr std::size_t kChecksumFromEnd = 3;  // checksum byte, then the two trailer bytes

inline constexpr Byte kHeader0 = 'h';
inline constexpr Byte kHeader1 = ':';
inline constexpr Byte kTrailer0 = 'E';
inline constexpr Byte kTrailerDot = '.';  // the tool's frames, and replies with --end-dot
inline constexpr Byte kTrailerD = 'D';    // the board's usual reply ending
inline constexpr Byte kCommandWrite = 'W';

// Step bytes the board understands. The failure step is what it answers when it refuses.
inline constexpr Byte kStepFailure = 0;
inline constexpr Byte kStepEnterUpgrade = 25;
inline constexpr Byte kStepBeginTransfer = 26;
inline constexpr Byte kStepDataBlock = 27;
inline constexpr Byte kStepFinalBlock = 28;
inline constexpr Byte kStepChecksum = 29;
inline constexpr Byte kStepFinish = 30;
inline constexpr Byte kFirstStep = kStepEnterUpgrade;
inline constexpr Byte kLastStep = kStepFinish;

// The rate of the upgrade phase: the board switches to it after answering enter-upgrade.
inline constexpr std::uint32_t kUpgradeBaud = 115200;

// What a UART hearing the wrong bit rate makes of a frame; also the --garbage prefix.
// Contains no 'h', so it never looks like the start of a frame.
inline constexpr std::array<Byte, 4> kGarbage = {0x00, 0xF8, 0x80, 0xFE};

// Size of the frame that starts with this step byte: data and final blocks are 137 bytes,
// every other frame 23.
std::size_t frameSizeForStep(Byte step);

// 8-bit wrapping sum of `count` bytes.
Byte checksum8(const Byte* bytes, std::size_t count);

// A 23-byte reply: header, `command`, `step`, `payload`, checksum, 'E' and 'D' (or '.').
Bytes makeReply(Byte command, Byte step, const std::array<Byte, kPayloadSize>& payload,
                bool endDot);

// Little-endian helpers for the payload fields.
std::array<Byte, kPayloadSize> payloadU16(std::uint16_t value);
std::array<Byte, kPayloadSize> payloadU32(std::uint32_t value);

}  // namespace tarvik::sim
