#include "upgrade/frames.h"

#include <algorithm>
#include <cstring>

namespace tarvik {

namespace {

constexpr uint8_t kHeader0 = 'h';
constexpr uint8_t kHeader1 = ':';
constexpr uint8_t kTrailer0 = 'E';
constexpr uint8_t kTrailer1 = '.';

constexpr uint8_t kDataFill = 0x00;    // payload fill of a data block before the image bytes
constexpr uint8_t kFinalFill = 0xFF;   // payload fill of the final block: the board's erased state
constexpr uint8_t kFinishFlag = 0x01;  // first payload byte of the finish command

constexpr unsigned kBitsPerByte = 8;
constexpr uint32_t kByteMask = 0xFF;

// Offsets inside the payload of a data frame.
constexpr size_t kBlockNumberLow = 0;
constexpr size_t kBlockNumberHigh = 1;
constexpr size_t kBlockDataOffset = 2;

// Numbers in a reply start at the first payload byte (wire byte 4), low byte first.
constexpr size_t kReplyValueOffset = 0;
constexpr size_t kReplySumBytes = 4;

uint8_t Sum8(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum;
}

// Copies the frame's fields, in wire order, into `wire`: header, command, step, payload,
// checksum, trailer, nothing inserted or escaped.
template <size_t PayloadSize>
void Serialize(const uint8_t (&header)[2], uint8_t command, uint8_t step,
               const uint8_t (&payload)[PayloadSize], uint8_t checksum, const uint8_t (&trailer)[2],
               uint8_t* wire) {
    size_t at = 0;
    wire[at++] = header[0];
    wire[at++] = header[1];
    wire[at++] = command;
    wire[at++] = step;
    std::memcpy(wire + at, payload, PayloadSize);
    at += PayloadSize;
    wire[at++] = checksum;
    wire[at++] = trailer[0];
    wire[at] = trailer[1];
}

// header + command + step + payload + checksum + trailer
constexpr size_t kFramingBytes = 2 + 1 + 1 + 1 + 2;
static_assert(kFramingBytes + kCmdPayloadSize == kCmdFrameSize);
static_assert(kFramingBytes + kDataPayloadSize == kDataFrameSize);

// Sum of header, command, step and payload: the bytes the checksum byte covers.
template <size_t PayloadSize>
uint8_t FieldSum(const uint8_t (&header)[2], uint8_t command, uint8_t step,
                 const uint8_t (&payload)[PayloadSize]) {
    uint8_t sum = Sum8(header, sizeof header);
    sum = static_cast<uint8_t>(sum + command + step);
    return static_cast<uint8_t>(sum + Sum8(payload, PayloadSize));
}

CCmdFrame MakeCommand(uint8_t command, uint8_t step) {
    CCmdFrame frame;
    frame.m_command = command;
    frame.m_step = step;
    std::memset(frame.m_payload, 0, sizeof frame.m_payload);
    return frame;
}

CDataFrame MakeBlockFrame(uint8_t step, uint8_t fill, uint32_t n) {
    CDataFrame frame;
    frame.m_command = kCommandWrite;
    frame.m_step = step;
    std::memset(frame.m_payload, fill, sizeof frame.m_payload);
    frame.m_payload[kBlockNumberLow] = static_cast<uint8_t>(n & kByteMask);
    frame.m_payload[kBlockNumberHigh] = static_cast<uint8_t>((n >> kBitsPerByte) & kByteMask);
    return frame;
}

}  // namespace

CCmdFrame::CCmdFrame()
    : m_header{kHeader0, kHeader1},
      m_command(0),
      m_step(0),
      m_payload{},
      m_checksum(0),
      m_trailer{kTrailer0, kTrailer1},
      m_wire{} {}

const uint8_t* CCmdFrame::Pack() {
    m_checksum = FieldSum(m_header, m_command, m_step, m_payload);
    Serialize(m_header, m_command, m_step, m_payload, m_checksum, m_trailer, m_wire);
    return m_wire;
}

void CCmdFrame::Load(const uint8_t* reply) {
    size_t at = 0;
    m_header[0] = reply[at++];
    m_header[1] = reply[at++];
    m_command = reply[at++];
    m_step = reply[at++];
    std::memcpy(m_payload, reply + at, kCmdPayloadSize);
    at += kCmdPayloadSize;
    m_checksum = reply[at++];
    m_trailer[0] = reply[at++];
    m_trailer[1] = reply[at++];
    // The wire image mirrors what was received until the frame is packed again.
    std::memcpy(m_wire, reply, kCmdFrameSize);
}

bool CCmdFrame::Verify() const {
    // Only the sum decides: boards have been seen to send other framing bytes.
    return FieldSum(m_header, m_command, m_step, m_payload) == m_checksum;
}

CDataFrame::CDataFrame()
    : m_header{kHeader0, kHeader1},
      m_command(0),
      m_step(0),
      m_payload{},
      m_checksum(0),
      m_trailer{kTrailer0, kTrailer1},
      m_wire{} {}

const uint8_t* CDataFrame::Pack() {
    m_checksum = FieldSum(m_header, m_command, m_step, m_payload);
    Serialize(m_header, m_command, m_step, m_payload, m_checksum, m_trailer, m_wire);
    return m_wire;
}

CCmdFrame MakeEnterUpgradeFrame() {
    return MakeCommand(kCommandWrite, kStepEnterUpgrade);
}

CCmdFrame MakeBeginTransferFrame() {
    return MakeCommand(kCommandWrite, kStepBeginTransfer);
}

CCmdFrame MakeChecksumRequestFrame() {
    return MakeCommand(kCommandRead, kStepChecksum);
}

CCmdFrame MakeFinishFrame() {
    CCmdFrame frame = MakeCommand(kCommandWrite, kStepFinish);
    frame.m_payload[0] = kFinishFlag;
    return frame;
}

CDataFrame MakeDataBlockFrame(const uint8_t* image, uint32_t length, uint32_t n) {
    CDataFrame frame = MakeBlockFrame(kStepDataBlock, kDataFill, n);
    // Only bytes inside the image are copied: a block number past the image never reads
    // beyond it, and whatever part of the block lies outside keeps the fill.
    const uint64_t start = static_cast<uint64_t>(n) * kBlockSize;
    if (start < length) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(kBlockSize, length - start));
        std::memcpy(frame.m_payload + kBlockDataOffset, image + start, count);
    }
    return frame;
}

CDataFrame MakeFinalBlockFrame(const uint8_t* image, uint32_t length, uint32_t n) {
    CDataFrame frame = MakeBlockFrame(kStepFinalBlock, kFinalFill, n);
    const uint32_t tail = length % kBlockSize;
    if (tail > 0) {
        std::memcpy(frame.m_payload + kBlockDataOffset, image + (length - tail), tail);
    }
    return frame;
}

uint16_t ReplyBlockNumber(const CCmdFrame& reply) {
    return static_cast<uint16_t>(reply.m_payload[kReplyValueOffset] |
                                 (reply.m_payload[kReplyValueOffset + 1] << kBitsPerByte));
}

uint32_t ReplySum(const CCmdFrame& reply) {
    uint32_t sum = 0;
    for (size_t i = kReplySumBytes; i-- > 0;) {
        sum = (sum << kBitsPerByte) | reply.m_payload[kReplyValueOffset + i];
    }
    return sum;
}

}  // namespace tarvik
