// The telnet side of a network line: the byte stream a device server speaks on an
// rfc2217:// line. Plain bytes in, bytes and events out: no socket, no thread, no clock, so
// every split of the stream can be tried.
//
// What the line asks of the server: binary transmission both ways (no CR/LF translation of
// frames), no go-ahead, and the COM-PORT-OPTION, through which it sets the line's rate,
// data bits, parity and stop bits and purges the server's buffers. Everything else the
// server offers or asks for is refused. The server's answers to settings are reported;
// its notifications (line and modem state) are read and dropped.
//
// Everything read is bounded: a subnegotiation longer than kMaxSubnegotiation bytes is
// dropped whole, and no answer is sent for an option whose state has not changed, so a
// server cannot make the line grow memory or loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvik::net {

// Telnet commands and options.
inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kOptBinary = 0;
inline constexpr uint8_t kOptSuppressGoAhead = 3;
inline constexpr uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands from the client; the server answers with the same + 100.
inline constexpr uint8_t kCpSetBaudRate = 1;
inline constexpr uint8_t kCpSetDataSize = 2;
inline constexpr uint8_t kCpSetParity = 3;
inline constexpr uint8_t kCpSetStopSize = 4;
inline constexpr uint8_t kCpPurgeData = 12;
inline constexpr uint8_t kCpServerOffset = 100;
// Values of SET-PARITY, SET-STOPSIZE and PURGE-DATA.
inline constexpr uint8_t kCpParityNone = 1;
inline constexpr uint8_t kCpParityOdd = 2;
inline constexpr uint8_t kCpParityEven = 3;
inline constexpr uint8_t kCpParityMark = 4;
inline constexpr uint8_t kCpParitySpace = 5;
inline constexpr uint8_t kCpStopOne = 1;
inline constexpr uint8_t kCpStopTwo = 2;
inline constexpr uint8_t kCpStopOneHalf = 3;
inline constexpr uint8_t kCpPurgeReceive = 1;

// The longest subnegotiation kept (option, command and value; a baud rate needs 6).
inline constexpr size_t kMaxSubnegotiation = 32;

// The server's answer to a COM-PORT-OPTION setting: the client's command number and the
// value the server reports as now in force.
struct ComPortAnswer {
    uint8_t command = 0;
    std::vector<uint8_t> value;

    bool operator==(const ComPortAnswer&) const = default;
};

// What one piece of the stream gave.
struct TelnetInput {
    std::vector<uint8_t> data;           // the line's bytes, escapes undone
    std::vector<uint8_t> reply;          // to send back to the server at once
    std::vector<ComPortAnswer> answers;  // answers to settings, in order
};

// The state of the COM-PORT-OPTION between the line and the server.
enum class ComPortState { kAsked, kAgreed, kRefused };

class TelnetParser {
public:
    // What the line sends first: its offers and requests.
    static std::vector<uint8_t> Greeting();

    // Parses `count` bytes, which may end anywhere (inside an escape, a command or a
    // subnegotiation); what they give is appended to `out`.
    void Feed(const uint8_t* bytes, size_t count, TelnetInput& out);

    ComPortState ComPort() const { return m_comPort; }

private:
    enum class State { kData, kIac, kOption, kSub, kSubIac };

    void AfterIac(uint8_t b, TelnetInput& out);
    void Negotiate(uint8_t verb, uint8_t option, TelnetInput& out);
    void EndSubnegotiation(TelnetInput& out);

    State m_state = State::kData;
    uint8_t m_verb = 0;
    std::vector<uint8_t> m_sub;
    bool m_subTooLong = false;
    // Options enabled on each side (only those the line accepts can be enabled).
    bool m_localBinary = false;
    bool m_remoteBinary = false;
    bool m_localSga = false;
    bool m_remoteSga = false;
    ComPortState m_comPort = ComPortState::kAsked;
};

// `bytes` as they go on the stream: every 0xFF doubled. Appended to `out`.
void AppendEscaped(const uint8_t* bytes, size_t count, std::vector<uint8_t>& out);

// A COM-PORT-OPTION command with its value (escaped), appended to `out`.
void AppendComPortCommand(uint8_t command, const std::vector<uint8_t>& value,
                          std::vector<uint8_t>& out);

// The value of SET-BAUDRATE: four bytes, most significant first.
std::vector<uint8_t> BaudRateValue(uint32_t baud);
// A baud rate from an answer's value; 0 when the value is not four bytes.
uint32_t BaudRateOf(const std::vector<uint8_t>& value);

}  // namespace tarvik::net
