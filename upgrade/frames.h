// The two frames of the serial line and the catalogue of frames the tool sends.
//
// Command frame (23 bytes, both directions):
//   'h' ':' command step payload[16] checksum 'E' '.'
// Data frame (137 bytes, tool to board):
//   'h' ':' 'W' step(27|28) block-lo block-hi data[128] checksum 'E' '.'
// The checksum is the 8-bit wrapping sum of every byte before it. Numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik {

inline constexpr size_t kCmdFrameSize = 23;
inline constexpr size_t kDataFrameSize = 137;
inline constexpr size_t kCmdPayloadSize = 16;
inline constexpr size_t kBlockSize = 128;
inline constexpr size_t kDataPayloadSize = 2 + kBlockSize;  // block number + block data

inline constexpr uint8_t kCommandWrite = 0x57;  // 'W'
inline constexpr uint8_t kCommandRead = 0x52;   // 'R'

// Step bytes.
inline constexpr uint8_t kStepFailure = 0;         // reply only: the board gave up
inline constexpr uint8_t kStepEnterUpgrade = 25;   // 0x19
inline constexpr uint8_t kStepBeginTransfer = 26;  // 0x1A
inline constexpr uint8_t kStepDataBlock = 27;      // 0x1B; reply: block acknowledgement
inline constexpr uint8_t kStepFinalBlock = 28;     // 0x1C
inline constexpr uint8_t kStepChecksum = 29;       // 0x1D; reply: the board's 32-bit sum
inline constexpr uint8_t kStepFinish = 30;         // 0x1E

class CCmdFrame {
public:
    // Header 'h' ':' and trailer 'E' '.'; every other byte starts at 0x00. Senders still set
    // the command byte, the step byte and the whole payload before Pack.
    CCmdFrame();
    virtual ~CCmdFrame() = default;

    // Computes the checksum and returns the 23-byte wire image (valid while the frame lives).
    const uint8_t* Pack();
    // Loads a received 23-byte reply over the fields, framing bytes included. The caller has
    // checked that exactly 23 bytes arrived.
    void Load(const uint8_t* reply);
    // True when the 8-bit sum of bytes 0..19 equals byte 20; nothing else is examined.
    bool Verify() const;

    uint8_t m_header[2];
    uint8_t m_command;
    uint8_t m_step;
    uint8_t m_payload[kCmdPayloadSize];
    uint8_t m_checksum;
    uint8_t m_trailer[2];
    uint8_t m_wire[kCmdFrameSize];
};

class CDataFrame {
public:
    CDataFrame();  // as CCmdFrame: framing bytes set, every other byte 0x00
    virtual ~CDataFrame() = default;

    // Computes the checksum and returns the 137-byte wire image.
    const uint8_t* Pack();

    uint8_t m_header[2];
    uint8_t m_command;
    uint8_t m_step;
    uint8_t m_payload[kDataPayloadSize];
    uint8_t m_checksum;
    uint8_t m_trailer[2];
    uint8_t m_wire[kDataFrameSize];
};

// The command frames of the catalogue, ready to Pack.
CCmdFrame MakeEnterUpgradeFrame();     // 'W' 25, payload 0     -> checksum 0x12
CCmdFrame MakeBeginTransferFrame();    // 'W' 26, payload 0     -> checksum 0x13
CCmdFrame MakeChecksumRequestFrame();  // 'R' 29, payload 0     -> checksum 0x11
CCmdFrame MakeFinishFrame();           // 'W' 30, payload 01 00.. -> checksum 0x18

// Data block n (step 27): image bytes 128n..128n+127; block number n mod 65536. Bytes of
// the block past the image's end are never read and stay 0x00.
CDataFrame MakeDataBlockFrame(const uint8_t* image, uint32_t length, uint32_t n);
// Final block n (step 28): the last (length mod 128) image bytes, then 0xFF fill.
CDataFrame MakeFinalBlockFrame(const uint8_t* image, uint32_t length, uint32_t n);

// Reply fields.
uint16_t ReplyBlockNumber(const CCmdFrame& reply);  // bytes 4..5
uint32_t ReplySum(const CCmdFrame& reply);          // bytes 4..7

}  // namespace tarvik
