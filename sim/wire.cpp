#include "wire.h"

namespace tarvik::sim {

std::size_t frameSizeForStep(Byte step) {
    return step == kStepDataBlock || step == kStepFinalBlock ? kDataFrameSize : kCommandFrameSize;
}

Byte checksum8(const Byte* bytes, std::size_t count) {
    Byte sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum = static_cast<Byte>(sum + bytes[i]);
    }
    return sum;
}

Bytes makeReply(Byte command, Byte step, const std::array<Byte, kPayloadSize>& payload,
                bool endDot) {
    Bytes frame;
    frame.reserve(kCommandFrameSize);
    frame.push_back(kHeader0);
    frame.push_back(kHeader1);
    frame.push_back(command);
    frame.push_back(step);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(checksum8(frame.data(), frame.size()));
    frame.push_back(kTrailer0);
    frame.push_back(endDot ? kTrailerDot : kTrailerD);
    return frame;
}

std::array<Byte, kPayloadSize> payloadU16(std::uint16_t value) {
    std::array<Byte, kPayloadSize> p{};
    p[0] = static_cast<Byte>(value & 0xFFu);
    p[1] = static_cast<Byte>(value >> 8);
    return p;
}

std::array<Byte, kPayloadSize> payloadU32(std::uint32_t value) {
    std::array<Byte, kPayloadSize> p{};
    for (std::size_t i = 0; i < sizeof value; ++i) {
        p[i] = static_cast<Byte>((value >> (8 * i)) & 0xFFu);
    }
    return p;
}

}  // namespace tarvik::sim
