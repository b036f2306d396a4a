#include "fake_driver.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "temp_folder.h"

namespace tarvik::testing {

namespace {

constexpr size_t kReplySize = 23;
constexpr size_t kSumByte = 20;
constexpr size_t kStepByte = 3;
constexpr size_t kPayloadStart = 4;
constexpr size_t kDataFrame = 137;
constexpr size_t kDataStart = 6;
constexpr size_t kBlock = 128;

constexpr uint8_t kFewestDataBits = 5;
constexpr uint8_t kMostDataBits = 8;
constexpr uint32_t kRefusedSetting = 22;  // what the port reports: EINVAL

uint8_t Sum8(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum;
}

}  // namespace

// ---- FakePort ----

uint32_t FakePort::Setup(uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    LineSetting setting{baud, dataBits, parity, stopBits};
    setups.push_back(setting);
    auto& driver = m_clock;
    driver.Record("setup " + std::to_string(baud) + " " + std::to_string(dataBits) + " " +
                  std::to_string(parity) + " " + std::to_string(stopBits));
    if (!open) {
        return kErrInvalidHandle;
    }
    // Settings every real port refuses (no rate, data bits outside 5..8, a parity code above
    // space, a stop-bits code above two) leave the line as it was, as they do there.
    if (baud == 0 || dataBits < kFewestDataBits || dataBits > kMostDataBits ||
        parity > kParitySpace || stopBits > kStopBitsTwo) {
        return kRefusedSetting;
    }
    line = setting;
    return kErrSuccess;
}

uint32_t FakePort::Write(const void* bytes, uint32_t length, uint32_t* countOut, ComOverlapped*,
                         uint32_t timeoutMs) {
    auto& driver = m_clock;
    const auto* data = static_cast<const uint8_t*>(bytes);
    SentFrame frame{m_clock.Now(), line, Bytes(data, data + length), timeoutMs};
    driver.Record("write " + std::to_string(frame.step()) + " " + std::to_string(length));
    ++writeCount;
    if (onWrite) {
        onWrite(frame);
    }
    if (keepBytes) {
        sent.push_back(std::move(frame));
    }
    if (countOut != nullptr) {
        *countOut = length;
    }
    return kErrSuccess;
}

uint32_t FakePort::Read(void*, uint32_t, uint32_t* countOut, ComOverlapped*, uint32_t) {
    if (countOut != nullptr) {
        *countOut = 0;
    }
    return kErrTimeout;
}

uint32_t FakePort::Close() {
    open = false;
    return kErrSuccess;
}

// ---- FakeDriver ----

void FakeDriver::Record(const std::string& call) {
    if (recordCalls) {
        calls.push_back(call);
    }
}

void FakeDriver::Reply(const Bytes& bytes, Ms delay) {
    m_replies.push_back(PendingReply{m_now + delay, bytes});
}

bool FakeDriver::AdvanceUntil(const std::function<bool()>& done, Ms limit) {
    const Ms end = m_now + limit;
    while (!done()) {
        // The earliest event at or before `end`: a reply wins a tie with a timer.
        auto reply = std::min_element(m_replies.begin(), m_replies.end(),
                                      [](auto& a, auto& b) { return a.due < b.due; });
        auto timer = std::min_element(m_timers.begin(), m_timers.end(),
                                      [](auto& a, auto& b) { return a.second.due < b.second.due; });
        const bool haveReply = reply != m_replies.end() && reply->due <= end;
        const bool haveTimer = timer != m_timers.end() && timer->second.due <= end;
        if (!haveReply && !haveTimer) {
            m_now = std::max(m_now, end);
            return done();
        }
        if (haveReply && (!haveTimer || reply->due <= timer->second.due)) {
            m_now = std::max(m_now, reply->due);
            Bytes bytes = std::move(reply->bytes);
            m_replies.erase(reply);
            if (m_engine != nullptr) {
                m_engine->OnFrameReceived(bytes.data(), static_cast<uint32_t>(bytes.size()));
            }
            continue;
        }
        m_now = std::max(m_now, timer->second.due);
        Timer& t = timer->second;
        t.due += t.period;
        while (t.due <= m_now) {
            t.due += t.period;
        }
        if (m_engine != nullptr) {
            m_engine->OnTimer(timer->first);
        }
    }
    return true;
}

void FakeDriver::Advance(Ms duration) {
    AdvanceUntil([] { return false; }, duration);
}

void FakeDriver::ArmTimer(int id, std::chrono::milliseconds period) {
    if (period <= Ms{0}) {
        throw std::logic_error("a timer needs a period");
    }
    Record("arm " + std::to_string(id) + " " + std::to_string(period.count()));
    m_timers[id] = Timer{period, m_now + period};
}

void FakeDriver::StopTimer(int id) {
    Record("stop " + std::to_string(id));
    m_timers.erase(id);
}

void FakeDriver::SetInfoText(const std::string& utf8) {
    Record("info " + utf8);
    info = utf8;
    if (recordCalls) {
        infoHistory.push_back(utf8);
    }
}

void FakeDriver::SetStatusText(const std::string& utf8) {
    Record("status " + utf8);
    status = utf8;
    if (recordCalls) {
        statusHistory.push_back(utf8);
    }
}

void FakeDriver::SetProgressRange(uint32_t minimum, uint32_t maximum) {
    Record("range " + std::to_string(minimum) + " " + std::to_string(maximum));
    rangeMin = minimum;
    rangeMax = maximum;
}

void FakeDriver::SetProgressPos(uint32_t pos) {
    Record("pos " + std::to_string(pos));
    position = pos;
}

void FakeDriver::EnableStart(bool enabled) {
    Record(std::string("enable ") + (enabled ? "1" : "0"));
    startEnabled = enabled;
}

void FakeDriver::ShowMessage(const std::string& utf8) {
    Record("message " + utf8);
    messages.push_back(utf8);
}

void FakeDriver::Wait(std::chrono::milliseconds duration) {
    Record("wait " + std::to_string(duration.count()));
    m_now += duration;  // the thread is blocked: nothing is handled meanwhile
}

void FakeDriver::Trace(TraceDirection, const uint8_t*, size_t) {
    ++traced;
}

// ---- replies ----

Bytes BoardReply(uint8_t step, const Bytes& payload) {
    Bytes reply(kReplySize, 0);
    reply[0] = 'h';
    reply[1] = ':';
    reply[2] = 'W';
    reply[kStepByte] = step;
    std::copy(payload.begin(), payload.end(), reply.begin() + kPayloadStart);
    reply[kSumByte] = Sum8(reply.data(), kSumByte);
    reply[21] = 'E';
    reply[22] = 'D';
    return reply;
}

Bytes AckReply(uint32_t number) {
    return BoardReply(27, {static_cast<uint8_t>(number & 0xFF), static_cast<uint8_t>(number >> 8)});
}

Bytes SumReply(uint32_t sum) {
    return BoardReply(29, {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8),
                           static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 24)});
}

// ---- FakeBoard ----

FakeBoard::FakeBoard(FakeDriver& driver) : m_driver(driver) {
    driver.port.onWrite = [this](const SentFrame& frame) { OnFrame(frame); };
}

void FakeBoard::OnFrame(const SentFrame& frame) {
    const Bytes& f = frame.bytes;
    if (frame.time < awakeFrom || f.size() < 4) {
        return;
    }
    const size_t sumAt = f.size() - 3;
    if (f[0] != 'h' || f[1] != ':' || Sum8(f.data(), sumAt) != f[sumAt]) {
        return;  // a garbled frame is not answered
    }
    const uint8_t step = f[kStepByte];
    if (step == 25 && f.size() == kReplySize) {
        if (frame.line.baud == answerBaud) {
            m_inUpgrade = true;
            m_driver.Reply(BoardReply(25), latency);
        }
        return;
    }
    if (!m_inUpgrade || !(frame.line == LineSetting{115200, 8, 0, 0})) {
        return;
    }
    if (step == 26 && f.size() == kReplySize) {
        received.clear();
        blocksSeen = 0;
        m_sum = 0;
        m_driver.Reply(BoardReply(26), latency);
    } else if ((step == 27 || step == 28) && f.size() == kDataFrame) {
        const uint32_t number = f[4] | (f[5] << 8);
        if (number == (blocksSeen & 0xFFFF)) {
            received.insert(received.end(), f.begin() + kDataStart,
                            f.begin() + kDataStart + kBlock);
            for (size_t i = 0; i < kBlock; ++i) {
                m_sum += f[kDataStart + i];
            }
            ++blocksSeen;
        }  // else a resent block: acknowledged again, not stored twice
        if (step == 28) {
            finalBlockNumber = number;
            m_driver.Reply(BoardReply(28), latency);
        } else {
            m_driver.Reply(AckReply(blocksSeen), latency);
        }
    } else if (step == 29 && f.size() == kReplySize) {
        m_driver.Reply(SumReply(m_sum), latency);
    } else if (step == 30 && f.size() == kReplySize) {
        finished = true;
        m_driver.Reply(BoardReply(30), latency);
    }
}

// ---- images ----

TempImage::TempImage(const Bytes& bytes, const std::string& name) : m_name(name) {
    m_dir = Utf8Path(MakeTempFolder("tarvik-engine"));
    m_path = m_dir + "/" + name;
    std::ofstream out(PathFromUtf8(m_path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write the image");
    }
}

TempImage::~TempImage() {
    std::error_code ignored;
    std::filesystem::remove_all(PathFromUtf8(m_dir), ignored);
}

Bytes MakeImage(uint32_t length, uint32_t seed) {
    Bytes image(length);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto& b : image) {
        x = x * 1103515245u + 12345;
        b = static_cast<uint8_t>(x >> 16);
    }
    const char marker[] = {'I', 'O', '-'};
    for (size_t i = 0; i < 3 && 1 + i < image.size(); ++i) {
        image[1 + i] = static_cast<uint8_t>(marker[i]);
    }
    return image;
}

}  // namespace tarvik::testing
