// The telnet side of an rfc2217:// line, fed any stream a server might send.
//
// Rules: the stream gives the same line bytes, answers to the server and setting answers
// however it is cut into reads (the first input byte chooses the cut); nothing grows beyond
// what came in (no more line bytes than stream bytes, no more answer bytes than stream
// bytes: a server cannot make the line loop or swell), no setting answer is longer than a
// kept subnegotiation; and the line bytes, escaped as the line sends them, read back
// unchanged with nothing else.
#include <algorithm>
#include <vector>

#include "fuzz_targets.h"
#include "serial/telnet.h"

namespace tarvik::fuzz {
namespace {

// Command, option and the value's room in a subnegotiation.
constexpr size_t kSubnegotiationHead = 2;

}  // namespace

int TelnetStream(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t cut = 1 + data[0] % 16;
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    net::TelnetParser whole;
    net::TelnetInput all;
    whole.Feed(stream, length, all);

    net::TelnetParser pieces;
    net::TelnetInput cutUp;
    for (size_t at = 0; at < length; at += cut) {
        pieces.Feed(stream + at, std::min(cut, length - at), cutUp);
    }
    TARVIK_FUZZ_CHECK(all.data == cutUp.data, "line bytes depend on the cut");
    TARVIK_FUZZ_CHECK(all.reply == cutUp.reply, "answers depend on the cut");
    TARVIK_FUZZ_CHECK(all.answers == cutUp.answers, "setting answers depend on the cut");
    TARVIK_FUZZ_CHECK(whole.ComPort() == pieces.ComPort(), "option state depends on the cut");

    TARVIK_FUZZ_CHECK(all.data.size() <= length, "more line bytes than stream bytes");
    TARVIK_FUZZ_CHECK(all.reply.size() <= length, "answers outgrow the stream");
    for (const net::ComPortAnswer& answer : all.answers) {
        TARVIK_FUZZ_CHECK(answer.value.size() + kSubnegotiationHead <= net::kMaxSubnegotiation,
                          "a setting answer beyond the subnegotiation bound");
    }

    std::vector<uint8_t> wire;
    net::AppendEscaped(all.data.data(), all.data.size(), wire);
    net::TelnetParser back;
    net::TelnetInput again;
    back.Feed(wire.data(), wire.size(), again);
    TARVIK_FUZZ_CHECK(again.data == all.data, "escaped line bytes do not read back");
    TARVIK_FUZZ_CHECK(again.reply.empty() && again.answers.empty(),
                      "escaped line bytes read as commands");
    return 0;
}

}  // namespace tarvik::fuzz
