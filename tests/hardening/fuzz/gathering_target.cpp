// The reply reader over a scripted port: the input is a sequence of what the port's reads
// return, and the reader thread gathers and hands over replies to this thread as it does in
// the tool.
//
//   byte % 8 == 0..3  a chunk: a length byte (1..255, 0 meaning a whole read of kChunkSize),
//                     then that many bytes
//                  4  a chunk as above, followed by the end mark 'E' 'D' in the same read
//                  5  a read that times out with nothing
//                  6  a read cut short by a send's purge, with nothing
//                  7  a flood of whole reads of one filler byte: a byte picks how many (2, or
//                     just short of, exactly or just beyond what fills the receive buffer),
//                     the next byte is the filler
//
// Rules: the replies handed over, one after the other, are exactly the bytes the port
// returned (nothing lost, added or reordered); each holds 1 to kReceiveBufferSize bytes; a
// reply ends only where a read ended (or where the buffer filled), and it ends there when
// its bytes end with 'E' 'D', when the next read brought nothing, or when it filled the buffer.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <vector>

#include "fuzz_targets.h"
#include "serial/com_port.h"
#include "upgrade/reader.h"

namespace tarvik::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kEnd0 = 'E';  // a reply ends at once with these two
constexpr uint8_t kEnd1 = 'D';
// Whole reads in a flood: two, or around the number that fills the receive buffer.
constexpr size_t kReadsToFill = kReceiveBufferSize / kChunkSize;
constexpr std::array<size_t, 4> kFloodReads = {2, kReadsToFill - 1, kReadsToFill, kReadsToFill + 1};
constexpr size_t kMostFloodReads = 3 * kReadsToFill;  // in one input
constexpr std::chrono::milliseconds kDeliverySlice{1};

struct ScriptedRead {
    uint32_t code = kErrSuccess;
    Bytes bytes;
};

class ScriptedPort : public CComPort {
public:
    ScriptedPort(std::vector<ScriptedRead> script, CReplyReader& reader)
        : m_script(std::move(script)), m_reader(reader) {}

    uint32_t Read(void* buffer, uint32_t length, uint32_t* countOut, ComOverlapped*,
                  uint32_t) override {
        TARVIK_FUZZ_CHECK(length == kChunkSize, "a read of another size");
        if (m_next >= m_script.size()) {
            // Nothing more to read: the reader is asked to stop, as the tool's close does.
            // It notices before its next read, so this is the last or last but one.
            m_reader.RequestStop();
            m_quietAt.push_back(m_returned);
            *countOut = 0;
            return kErrTimeout;
        }
        const ScriptedRead& r = m_script[m_next++];
        const size_t n = std::min<size_t>(r.bytes.size(), length);
        std::copy_n(r.bytes.begin(), n, static_cast<uint8_t*>(buffer));
        *countOut = static_cast<uint32_t>(n);
        if (n == 0) {
            m_quietAt.push_back(m_returned);  // the line went quiet at this point
        } else {
            m_returned += n;
            m_readEnds.push_back(m_returned);
        }
        return r.code;
    }
    uint32_t Close() override {
        closed.store(true);
        return 0;
    }
    bool IsOpen() const override { return !closed.load(); }

    // Read by the driver's thread once the reader thread has been joined. Both in order.
    const std::vector<size_t>& QuietAt() const { return m_quietAt; }
    const std::vector<size_t>& ReadEnds() const { return m_readEnds; }

    std::atomic<bool> closed{false};

private:
    std::vector<ScriptedRead> m_script;
    CReplyReader& m_reader;
    size_t m_next = 0;               // reader thread only, like the three below
    size_t m_returned = 0;           // bytes returned so far
    std::vector<size_t> m_quietAt;   // stream offsets where a read brought nothing
    std::vector<size_t> m_readEnds;  // stream offsets where a read with bytes ended
};

std::vector<ScriptedRead> Script(const uint8_t* data, size_t size, Bytes& stream) {
    std::vector<ScriptedRead> script;
    size_t floodReads = 0;
    size_t i = 0;
    auto next = [&] { return i < size ? data[i++] : uint8_t{0}; };
    auto chunk = [&](bool endMark) {
        const uint8_t length = next();
        const size_t room = endMark ? kChunkSize - 2 : kChunkSize;
        const size_t n = std::min<size_t>(length == 0 ? kChunkSize : length, room);
        ScriptedRead r;
        for (size_t k = 0; k < n && i < size; ++k) {
            r.bytes.push_back(data[i++]);
        }
        if (endMark) {
            r.bytes.insert(r.bytes.end(), {kEnd0, kEnd1});
        }
        if (r.bytes.empty()) {
            return;
        }
        stream.insert(stream.end(), r.bytes.begin(), r.bytes.end());
        script.push_back(std::move(r));
    };
    while (i < size) {
        switch (next() % 8) {
            case 4:
                chunk(true);
                break;
            case 5:
                script.push_back(ScriptedRead{kErrTimeout, {}});
                break;
            case 6:
                script.push_back(ScriptedRead{kErrCancelled, {}});
                break;
            case 7: {
                size_t chunks = kFloodReads[next() % kFloodReads.size()];
                if (floodReads + chunks > kMostFloodReads) {
                    chunks = kFloodReads.front();  // keeps every input quick to run
                }
                floodReads += chunks;
                const uint8_t filler = next();
                for (size_t k = 0; k < chunks; ++k) {
                    script.push_back(ScriptedRead{kErrSuccess, Bytes(kChunkSize, filler)});
                    stream.insert(stream.end(), kChunkSize, filler);
                }
                break;
            }
            default:
                chunk(false);
                break;
        }
    }
    return script;
}

}  // namespace

int ReplyGathering(const uint8_t* data, size_t size) {
    Bytes stream;
    // Declared before the reader, which still looks at it while it is destroyed.
    CReplyHandOver handOver([] {});  // DeliverWithin below wakes when a reply is offered
    CReplyReader reader;
    ScriptedPort port(Script(data, size, stream), reader);

    Bytes delivered;
    std::vector<size_t> replyEnds;  // stream offsets where each reply ended
    std::vector<Bytes> replies;
    const CReplyHandOver::Handler handle = [&](const uint8_t* bytes, uint32_t count) {
        TARVIK_FUZZ_CHECK(count >= 1 && count <= kReceiveBufferSize, "reply size");
        delivered.insert(delivered.end(), bytes, bytes + count);
        replyEnds.push_back(delivered.size());
        replies.emplace_back(bytes, bytes + count);
    };

    TARVIK_FUZZ_CHECK(reader.Start(port, handOver), "the reader did not start");
    while (reader.Running()) {
        handOver.DeliverWithin(handle, kDeliverySlice);
    }
    reader.StopAndJoin();
    TARVIK_FUZZ_CHECK(port.closed.load(), "the reader left the port open");

    TARVIK_FUZZ_CHECK(delivered == stream, "bytes lost, added or reordered");
    const std::vector<size_t>& readEnds = port.ReadEnds();
    const std::vector<size_t>& quietAt = port.QuietAt();
    auto has = [](const std::vector<size_t>& sorted, size_t at) {
        return std::binary_search(sorted.begin(), sorted.end(), at);
    };
    size_t start = 0;
    for (size_t r = 0; r < replies.size(); ++r) {
        const Bytes& reply = replies[r];
        const size_t end = replyEnds[r];
        const bool full = reply.size() == kReceiveBufferSize;
        const bool marked =
            reply.size() >= 2 && reply[reply.size() - 2] == kEnd0 && reply.back() == kEnd1;
        TARVIK_FUZZ_CHECK(full || has(readEnds, end), "a reply ends inside a read");
        TARVIK_FUZZ_CHECK(full || marked || has(quietAt, end),
                          "a reply ended with neither the end mark nor silence");
        // Where a read ended inside the reply, the reply's bytes so far did not end with the
        // end mark, or it would have ended there.
        for (auto it = std::upper_bound(readEnds.begin(), readEnds.end(), start);
             it != readEnds.end() && *it < end; ++it) {
            const size_t at = *it - start;  // reply bytes gathered at that read's end
            TARVIK_FUZZ_CHECK(at < 2 || !(reply[at - 2] == kEnd0 && reply[at - 1] == kEnd1),
                              "a reply went on past its end mark");
            TARVIK_FUZZ_CHECK(!has(quietAt, *it), "a reply went on past a silence");
        }
        start = end;
    }
    return 0;
}

}  // namespace tarvik::fuzz
