#include "serial/telnet.h"

namespace tarvik::net {
namespace {

// Bytes of a baud rate's value.
constexpr size_t kBaudValueSize = 4;
constexpr unsigned kBitsPerByte = 8;

void AppendCommand(uint8_t verb, uint8_t option, std::vector<uint8_t>& out) {
    out.insert(out.end(), {kIac, verb, option});
}

// Only the settings the line makes are answers; notifications and anything else the server
// sends on the option are dropped.
bool IsSettingAnswer(uint8_t command) {
    switch (command) {
        case kCpSetBaudRate:
        case kCpSetDataSize:
        case kCpSetParity:
        case kCpSetStopSize:
        case kCpPurgeData:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::vector<uint8_t> TelnetParser::Greeting() {
    std::vector<uint8_t> out;
    AppendCommand(kWill, kOptBinary, out);
    AppendCommand(kDo, kOptBinary, out);
    AppendCommand(kWill, kOptSuppressGoAhead, out);
    AppendCommand(kDo, kOptSuppressGoAhead, out);
    AppendCommand(kWill, kOptComPort, out);
    return out;
}

void TelnetParser::Feed(const uint8_t* bytes, size_t count, TelnetInput& out) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (m_state) {
            case State::kData:
                if (b == kIac) {
                    m_state = State::kIac;
                } else {
                    out.data.push_back(b);
                }
                break;
            case State::kIac:
                AfterIac(b, out);
                break;
            case State::kOption:
                Negotiate(m_verb, b, out);
                m_state = State::kData;
                break;
            case State::kSub:
                if (b == kIac) {
                    m_state = State::kSubIac;
                } else if (m_sub.size() < kMaxSubnegotiation) {
                    m_sub.push_back(b);
                } else {
                    m_subTooLong = true;
                }
                break;
            case State::kSubIac:
                if (b == kIac) {
                    if (m_sub.size() < kMaxSubnegotiation) {
                        m_sub.push_back(kIac);
                    } else {
                        m_subTooLong = true;
                    }
                    m_state = State::kSub;
                } else if (b == kSe) {
                    EndSubnegotiation(out);
                    m_state = State::kData;
                } else {
                    // A command inside a subnegotiation ends it unfinished: it is dropped,
                    // and the command is taken as one.
                    m_sub.clear();
                    AfterIac(b, out);
                }
                break;
        }
    }
}

void TelnetParser::AfterIac(uint8_t b, TelnetInput& out) {
    if (b == kIac) {
        out.data.push_back(kIac);
        m_state = State::kData;
    } else if (b == kDo || b == kDont || b == kWill || b == kWont) {
        m_verb = b;
        m_state = State::kOption;
    } else if (b == kSb) {
        m_sub.clear();
        m_subTooLong = false;
        m_state = State::kSub;
    } else {
        // Two-byte commands (no operation, go ahead, a stray SE, ...) mean nothing to a
        // line that carries frames.
        m_state = State::kData;
    }
}

void TelnetParser::Negotiate(uint8_t verb, uint8_t option, TelnetInput& out) {
    // Each side's state changes only on a verb that changes it, and only a change is
    // answered: a server repeating itself gets no answer, so the two sides cannot loop.
    bool* local = nullptr;   // an option on the line's side
    bool* remote = nullptr;  // an option on the server's side
    if (option == kOptBinary) {
        local = &m_localBinary;
        remote = &m_remoteBinary;
    } else if (option == kOptSuppressGoAhead) {
        local = &m_localSga;
        remote = &m_remoteSga;
    }
    switch (verb) {
        case kDo:
            if (option == kOptComPort) {
                if (m_comPort != ComPortState::kAgreed) {
                    // Asked for in the greeting: its answer needs none; asked by the server
                    // after a refusal: agreed again.
                    if (m_comPort == ComPortState::kRefused) {
                        AppendCommand(kWill, option, out.reply);
                    }
                    m_comPort = ComPortState::kAgreed;
                }
            } else if (local != nullptr) {
                // Offered in the greeting: a DO agrees and needs no answer.
                *local = true;
            } else {
                AppendCommand(kWont, option, out.reply);
            }
            break;
        case kDont:
            if (option == kOptComPort) {
                if (m_comPort == ComPortState::kAgreed) {
                    AppendCommand(kWont, option, out.reply);
                }
                m_comPort = ComPortState::kRefused;
            } else if (local != nullptr && *local) {
                *local = false;
                AppendCommand(kWont, option, out.reply);
            }
            break;
        case kWill:
            if (remote != nullptr) {
                *remote = true;  // asked for in the greeting: no answer
            } else {
                AppendCommand(kDont, option, out.reply);
            }
            break;
        case kWont:
            if (remote != nullptr && *remote) {
                *remote = false;
                AppendCommand(kDont, option, out.reply);
            }
            break;
        default:
            break;
    }
}

void TelnetParser::EndSubnegotiation(TelnetInput& out) {
    // [option, command, value...]
    if (m_subTooLong || m_sub.size() < 2 || m_sub[0] != kOptComPort ||
        m_sub[1] <= kCpServerOffset) {
        return;
    }
    const uint8_t command = static_cast<uint8_t>(m_sub[1] - kCpServerOffset);
    if (!IsSettingAnswer(command)) {
        return;
    }
    out.answers.push_back(ComPortAnswer{command, {m_sub.begin() + 2, m_sub.end()}});
}

void AppendEscaped(const uint8_t* bytes, size_t count, std::vector<uint8_t>& out) {
    for (size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) {
            out.push_back(kIac);
        }
    }
}

void AppendComPortCommand(uint8_t command, const std::vector<uint8_t>& value,
                          std::vector<uint8_t>& out) {
    out.insert(out.end(), {kIac, kSb, kOptComPort, command});
    AppendEscaped(value.data(), value.size(), out);
    out.insert(out.end(), {kIac, kSe});
}

std::vector<uint8_t> BaudRateValue(uint32_t baud) {
    std::vector<uint8_t> value(kBaudValueSize);
    for (size_t i = 0; i < kBaudValueSize; ++i) {
        value[i] = static_cast<uint8_t>(baud >> (kBitsPerByte * (kBaudValueSize - 1 - i)));
    }
    return value;
}

uint32_t BaudRateOf(const std::vector<uint8_t>& value) {
    if (value.size() != kBaudValueSize) {
        return 0;
    }
    uint32_t baud = 0;
    for (uint8_t b : value) {
        baud = (baud << kBitsPerByte) | b;
    }
    return baud;
}

}  // namespace tarvik::net
