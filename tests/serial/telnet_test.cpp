// The telnet side of an rfc2217:// line: what the server's stream gives, however it is cut
// into reads, and what the line sends.
#include "serial/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/net_line.h"

namespace tarvik::net {
namespace {

using Bytes = std::vector<uint8_t>;

// Everything a stream gives, fed as one read.
TelnetInput FeedAll(TelnetParser& parser, const Bytes& stream) {
    TelnetInput out;
    parser.Feed(stream.data(), stream.size(), out);
    return out;
}

// The same stream fed in pieces cut at every `cut` bytes.
TelnetInput FeedInPieces(TelnetParser& parser, const Bytes& stream, size_t cut) {
    TelnetInput out;
    for (size_t at = 0; at < stream.size(); at += cut) {
        parser.Feed(stream.data() + at, std::min(cut, stream.size() - at), out);
    }
    return out;
}

Bytes Sub(const Bytes& body) {
    Bytes out{kIac, kSb};
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), {kIac, kSe});
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct StreamCase {
    const char* what;
    Bytes stream;
    Bytes data;                          // the line's bytes it gives
    Bytes reply;                         // what the line answers
    std::vector<ComPortAnswer> answers;  // setting answers it reports
};

// Each case holds whatever way its stream is cut into reads: an escape, a command or a
// subnegotiation split between two reads gives the same as one read.
TEST(TelnetParser, StreamsGiveTheSameWhereverTheyAreCut) {
    const Bytes baud9600 = BaudRateValue(9600);
    const StreamCase cases[] = {
        {"plain bytes", {1, 2, 3, 'E', 'D'}, {1, 2, 3, 'E', 'D'}, {}, {}},
        {"doubled 0xFF is one data byte",
         {0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},
         {0xFF, 0x00, 0xFF, 0xFF},
         {},
         {}},
        {"two-byte commands are dropped",
         {'a', kIac, 241, 'b', kIac, 249, kIac, kSe, 'c'},
         {'a', 'b', 'c'},
         {},
         {}},
        {"baud answer between data",
         Join({{'x'},
               Sub(Join({{kOptComPort, kCpSetBaudRate + kCpServerOffset}, baud9600})),
               {'y'}}),
         {'x', 'y'},
         {},
         {{kCpSetBaudRate, baud9600}}},
        {"answer value with an escaped 0xFF",
         Sub({kOptComPort, kCpSetBaudRate + kCpServerOffset, 0, 0, 0xFF, 0xFF, 0}),
         {},
         {},
         {{kCpSetBaudRate, {0, 0, 0xFF, 0}}}},
        {"notifications are read and dropped",
         Join({Sub({kOptComPort, 106, 0x60}), Sub({kOptComPort, 107, 0x30}), {'z'}}),
         {'z'},
         {},
         {}},
        {"a subnegotiation of another option is dropped",
         Join({Sub({24, 1}), {'q'}}),
         {'q'},
         {},
         {}},
        {"a client command echoed back is no answer",
         Join({Sub({kOptComPort, kCpSetBaudRate, 0, 0, 0x25, 0x80}), {'k'}}),
         {'k'},
         {},
         {}},
        {"unknown options are refused",
         {kIac, kDo, 24, kIac, kWill, 1, kIac, kWill, 34, 'd'},
         {'d'},
         {kIac, kWont, 24, kIac, kDont, 1, kIac, kDont, 34},
         {}},
        {"agreement to the greeting needs no answer",
         {kIac, kDo, kOptBinary, kIac, kWill, kOptBinary, kIac, kDo, kOptSuppressGoAhead, kIac,
          kWill, kOptSuppressGoAhead, kIac, kDo, kOptComPort},
         {},
         {},
         {}},
        {"an unfinished subnegotiation broken by a command is dropped",
         Join(
             {{kIac, kSb, kOptComPort, kCpSetBaudRate + kCpServerOffset, 0, kIac, kDo, 24}, {'m'}}),
         {'m'},
         {kIac, kWont, 24},
         {}},
    };
    for (const StreamCase& c : cases) {
        for (size_t cut : {c.stream.size(), size_t{1}, size_t{2}, size_t{3}}) {
            if (cut == 0) {
                continue;
            }
            TelnetParser parser;
            const TelnetInput got = FeedInPieces(parser, c.stream, cut);
            EXPECT_EQ(got.data, c.data) << c.what << ", cut every " << cut;
            EXPECT_EQ(got.reply, c.reply) << c.what << ", cut every " << cut;
            EXPECT_EQ(got.answers, c.answers) << c.what << ", cut every " << cut;
        }
    }
}

TEST(TelnetParser, ComPortOptionAgreedOrRefused) {
    struct Case {
        const char* what;
        Bytes stream;
        ComPortState state;
        Bytes reply;
    };
    const Case cases[] = {
        {"no word yet", {}, ComPortState::kAsked, {}},
        {"agreed", {kIac, kDo, kOptComPort}, ComPortState::kAgreed, {}},
        {"refused", {kIac, kDont, kOptComPort}, ComPortState::kRefused, {}},
        // Once agreed, a refusal is confirmed; asked again later, it is agreed again.
        {"agreed then refused",
         {kIac, kDo, kOptComPort, kIac, kDont, kOptComPort},
         ComPortState::kRefused,
         {kIac, kWont, kOptComPort}},
        {"refused then asked",
         {kIac, kDont, kOptComPort, kIac, kDo, kOptComPort},
         ComPortState::kAgreed,
         {kIac, kWill, kOptComPort}},
        // A server that repeats itself gets no answer: the two sides cannot loop.
        {"repeated",
         {kIac, kDo, kOptComPort, kIac, kDo, kOptComPort, kIac, kDo, kOptComPort},
         ComPortState::kAgreed,
         {}},
    };
    for (const Case& c : cases) {
        TelnetParser parser;
        const TelnetInput got = FeedAll(parser, c.stream);
        EXPECT_EQ(parser.ComPort(), c.state) << c.what;
        EXPECT_EQ(got.reply, c.reply) << c.what;
    }
}

// A server cannot make the line keep an endless subnegotiation: it is dropped whole, and
// the stream after it is read as before.
TEST(TelnetParser, OverlongSubnegotiationsAreDroppedWhole) {
    for (size_t length : {kMaxSubnegotiation - 2, kMaxSubnegotiation - 1, kMaxSubnegotiation,
                          kMaxSubnegotiation + 1, size_t{100000}}) {
        Bytes body{kOptComPort, kCpSetBaudRate + kCpServerOffset};
        body.resize(length, 0x11);
        const Bytes stream = Join({Sub(body), {'a', 0xFF, 0xFF}});
        TelnetParser parser;
        const TelnetInput got = FeedInPieces(parser, stream, 7);
        EXPECT_EQ(got.data, (Bytes{'a', 0xFF})) << length;
        const bool kept = length <= kMaxSubnegotiation;
        ASSERT_EQ(got.answers.size(), kept ? 1u : 0u) << length;
    }
}

TEST(TelnetEncoding, FramesAndCommandsDoubleEvery0xFF) {
    // A block of 0xFF fill, as the image's last block: each byte doubled, and the stream
    // read back gives the block unchanged.
    const Bytes block(128, 0xFF);
    Bytes wire;
    AppendEscaped(block.data(), block.size(), wire);
    EXPECT_EQ(wire, Bytes(256, 0xFF));
    TelnetParser parser;
    EXPECT_EQ(FeedInPieces(parser, wire, 3).data, block);

    Bytes command;
    AppendComPortCommand(kCpSetBaudRate, BaudRateValue(0x00FF25FF), command);
    EXPECT_EQ(command, (Bytes{kIac, kSb, kOptComPort, kCpSetBaudRate, 0x00, 0xFF, 0xFF, 0x25, 0xFF,
                              0xFF, kIac, kSe}));
    EXPECT_EQ(BaudRateOf(BaudRateValue(115200)), 115200u);
    EXPECT_EQ(BaudRateOf({1, 2, 3}), 0u);
}

TEST(NetAddress, ParsesTheTwoSchemes) {
    struct Case {
        const char* name;
        bool valid;
        NetKind kind;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"rfc2217://10.0.0.5:4001", true, NetKind::kRfc2217, "10.0.0.5", "4001"},
        {"RFC2217://cabinet-7.example:23", true, NetKind::kRfc2217, "cabinet-7.example", "23"},
        {"socket://[::1]:7000", true, NetKind::kRaw, "::1", "7000"},
        {"socket://[fe80::1%eth0]:65535", true, NetKind::kRaw, "fe80::1%eth0", "65535"},
        {"socket://host:0", false, NetKind::kRaw, "", ""},
        {"socket://host:65536", false, NetKind::kRaw, "", ""},
        {"socket://host:12a", false, NetKind::kRaw, "", ""},
        {"socket://host", false, NetKind::kRaw, "", ""},
        {"socket://:4001", false, NetKind::kRaw, "", ""},
        {"socket://::1:4001", false, NetKind::kRaw, "", ""},  // IPv6 needs brackets
        {"socket://[::1:4001", false, NetKind::kRaw, "", ""},
        {"rfc2217://a b:1", false, NetKind::kRaw, "", ""},
        {"rfc2217://host/path:1", false, NetKind::kRaw, "", ""},
        {"rfc2217://host:1?x=1", false, NetKind::kRaw, "", ""},
        {"tcp://host:1", false, NetKind::kRaw, "", ""},
        {"COM5", false, NetKind::kRaw, "", ""},
    };
    for (const Case& c : cases) {
        const std::optional<NetAddress> a = ParseNetAddress(c.name);
        ASSERT_EQ(a.has_value(), c.valid) << c.name;
        if (a) {
            EXPECT_EQ(a->kind, c.kind) << c.name;
            EXPECT_EQ(a->host, c.host) << c.name;
            EXPECT_EQ(a->port, c.port) << c.name;
        }
    }
    EXPECT_TRUE(IsNetworkName("socket://host"));  // written as an address, if not a valid one
    EXPECT_FALSE(IsNetworkName("/dev/ttyUSB0"));
}

}  // namespace
}  // namespace tarvik::net
