#include "board.h"

#include <algorithm>

namespace tarvik::sim {

namespace {
constexpr Byte kErasedByte = 0xFF;
constexpr std::size_t kChecksumIndex = kCommandFrameSize - kChecksumFromEnd;
constexpr std::size_t kBlockNumberMask = 0xFFFF;       // block numbers are 16 bits on the wire
constexpr std::size_t kBlockNumberHalfRange = 0x8000;  // how far a number may lie from the next
}  // namespace

Board::Board(BoardSettings settings)
    : m_settings(std::move(settings)),
      m_loss(m_settings.loss, m_settings.seed),
      m_listenBaud(m_settings.baud) {}

std::uint32_t Board::sum() const {
    std::uint32_t total = 0;
    for (std::size_t block = 0; block < m_have.size(); ++block) {
        if (!m_have[block]) {
            continue;
        }
        const auto begin = m_image.begin() + static_cast<std::ptrdiff_t>(block * kBlockSize);
        for (auto it = begin; it != begin + static_cast<std::ptrdiff_t>(kBlockSize); ++it) {
            total += *it;
        }
    }
    return total;
}

bool Board::storeBlock(std::uint16_t number, const Byte* data) {
    // The number on the wire is the block's index modulo 65536. An image of more than 65,536
    // blocks goes on past block 65535: take the index nearest to the next block expected.
    const std::size_t next = m_have.size();
    std::size_t block = (next & ~kBlockNumberMask) | number;
    if (block > next + kBlockNumberHalfRange && block > kBlockNumberMask) {
        block -= kBlockNumberMask + 1;
    } else if (block + kBlockNumberHalfRange < next) {
        block += kBlockNumberMask + 1;
    }
    const bool had = block < m_have.size() && m_have[block];
    if (!had && block != m_have.size()) {
        // The next block in order is the one just past the highest block held.
        ++m_stats.outOfOrder;
    }
    if (block >= m_have.size()) {
        m_have.resize(block + 1, false);
        m_image.resize((block + 1) * kBlockSize, kErasedByte);
    }
    m_have[block] = true;
    std::copy(data, data + kBlockSize,
              m_image.begin() + static_cast<std::ptrdiff_t>(block * kBlockSize));
    return had;
}

void Board::shapeReply(Outcome& out, Bytes reply, const FaultSet& faults, std::uint32_t baud) {
    // Draw for every reply so that a seed always loses the same replies.
    const bool lost = m_loss.lose();
    if (faults.drop || lost) {
        ++m_stats.lostReplies;
        out.note += faults.drop ? " dropped" : " lost";
        return;
    }
    if (faults.corrupt) {
        reply[kChecksumIndex] = static_cast<Byte>(reply[kChecksumIndex] + 1);
        out.note += " corrupted";
    }
    Bytes bytes;
    if (faults.garbage) {
        bytes.assign(kGarbage.begin(), kGarbage.end());
        out.note += " garbage-prefixed";
    }
    bytes.insert(bytes.end(), reply.begin(), reply.end());
    if (faults.burst) {
        bytes.insert(bytes.end(), reply.begin(), reply.end());
        out.note += " burst";
    }
    if (faults.delay.count() > 0) {
        out.note += " delayed " + std::to_string(faults.delay.count()) + " ms";
    }
    out.sends.push_back(Transmission{faults.delay, bytes, baud, true});
    ++m_stats.replies;
    if (faults.dupGap) {
        out.sends.push_back(Transmission{faults.delay + *faults.dupGap, bytes, baud, true});
        ++m_stats.replies;
        out.note += " duplicated";
    }
}

Outcome Board::receive(const Bytes& frame, std::uint32_t baud) {
    Outcome out;
    if (std::find(m_stats.speeds.begin(), m_stats.speeds.end(), baud) == m_stats.speeds.end()) {
        m_stats.speeds.push_back(baud);
    }
    const std::uint32_t replyBaud = m_listenBaud;
    if (baud != m_listenBaud) {
        ++m_stats.wrongSpeed;
        if (m_settings.garble) {
            out.sends.push_back(
                Transmission{{}, Bytes(kGarbage.begin(), kGarbage.end()), replyBaud, false});
        }
        out.note = " not understood at " + std::to_string(baud);
        return out;
    }
    out.understood = true;

    const Byte command = frame[kCommandOffset];
    const Byte step = frame[kStepOffset];
    ++m_stats.frames[step];
    const std::uint64_t nth = ++m_kindCounts[step];
    bool resend = frame == m_lastFrame;
    m_lastFrame = frame;
    if (step < kFirstStep || step > kLastStep) {
        return out;  // not a frame this board knows: no answer
    }
    const FaultSet faults = m_settings.faults.match(step, nth);
    if (faults.fail) {
        out.note += " refused";
        out.refused = true;
        m_stats.resends += resend ? 1 : 0;
        shapeReply(out, makeReply(command, kStepFailure, {}, m_settings.endDot), faults, replyBaud);
        return out;
    }

    std::array<Byte, kPayloadSize> payload{};
    bool answer = true;
    switch (step) {
        case kStepEnterUpgrade:
            m_listenBaud = kUpgradeBaud;
            break;
        case kStepBeginTransfer:
            m_image.clear();
            m_have.clear();
            break;
        case kStepDataBlock:
        case kStepFinalBlock: {
            const auto number = static_cast<std::uint16_t>(frame[kPayloadOffset] |
                                                           (frame[kPayloadOffset + 1] << 8));
            resend = storeBlock(number, frame.data() + kBlockDataOffset) || resend;
            if (step == kStepDataBlock) {
                payload = payloadU16(static_cast<std::uint16_t>(number + 1));
            }
            out.vanish = m_settings.vanishAfter == number;
            break;
        }
        case kStepChecksum:
            payload = payloadU32(sum() + (m_settings.wrongSum ? 1u : 0u));
            out.wrongSum = m_settings.wrongSum;
            break;
        case kStepFinish:
            m_stats.finished = true;
            ++m_stats.upgrades;
            out.imageComplete = true;
            m_listenBaud = m_settings.baud;  // restarts into the new firmware
            answer = !m_settings.silentFinish;
            break;
        default:
            break;
    }
    m_stats.resends += resend ? 1 : 0;
    if (answer) {
        shapeReply(out, makeReply(command, step, payload, m_settings.endDot), faults, replyBaud);
    }
    return out;
}

}  // namespace tarvik::sim
