// The board record: the one maker every front end uses, its two line forms, the pieces its
// fields are made of (the time, the step word, the image's SHA-256) and the log that appends
// it.
#include "upgrade/board_record.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tarvik_version.h"
#include "upgrade/frames.h"

namespace tarvik {

namespace {

constexpr char kCsvBom[] = "\xEF\xBB\xBF";
constexpr char kCsvLineEnd[] = "\r\n";
constexpr char kCsvSuffix[] = ".csv";
constexpr int kMillisPerSecond = 1000;
constexpr int kTmYearBase = 1900;
// Between the status and the rest in a record's message, as the command line shows it.
constexpr char kMessageSeparator[] = "  ";

// The fields in log order: the CSV header, and the order of the JSON object's members.
constexpr std::array<const char*, 17> kFieldNames = {
    "time",      "port",      "board",        "result",  "step",    "message",
    "seconds",   "baud",      "blocks",       "bytes",   "resends", "image",
    "image_sum", "board_sum", "image_sha256", "version", "host"};

using Json = nlohmann::ordered_json;

// Every text a record carries is written as UTF-8 whatever it holds (a path on Linux may hold
// any bytes): a byte that is no UTF-8 becomes U+FFFD.
std::string JsonText(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string ValidUtf8(const std::string& text) {
    // The JSON writer's replacement, read back: the same rule in both forms of the log.
    return Json::parse(JsonText(Json(text))).get<std::string>();
}

std::string CsvField(const std::string& text) {
    const std::string valid = ValidUtf8(text);
    if (valid.find_first_of(",\"\r\n") == std::string::npos) {
        return valid;
    }
    std::string out = "\"";
    for (const char c : valid) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

double RecordSeconds(double seconds) {
    // To the millisecond, as the CSV form writes it; a clock that went back is no time.
    return seconds < 0 ? 0.0 : std::round(seconds * kMillisPerSecond) / kMillisPerSecond;
}

std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", RecordSeconds(seconds));
    return text;
}

std::string SumText(uint32_t sum) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(sum));
    return text;
}

// The record as a JSON object, its members in log order.
Json RecordObject(const BoardRecord& r) {
    Json o = Json::object();
    o["time"] = r.time;
    o["port"] = r.port;
    o["board"] = r.board;
    o["result"] = r.result;
    o["step"] = r.step.empty() ? Json(nullptr) : Json(r.step);
    o["message"] = r.message;
    o["seconds"] = RecordSeconds(r.seconds);
    o["baud"] = r.baud == 0 ? Json(nullptr) : Json(r.baud);
    o["blocks"] = r.blocks;
    o["bytes"] = r.bytes;
    o["resends"] = r.resends;
    o["image"] = r.image;
    o["image_sum"] = SumText(r.imageSum);
    o["board_sum"] = r.boardSum ? Json(SumText(*r.boardSum)) : Json(nullptr);
    o["image_sha256"] = r.imageSha256;
    o["version"] = r.version;
    o["host"] = r.host;
    return o;
}

// The same fields in the same order as CSV texts; a value that is not there is left empty.
std::array<std::string, kFieldNames.size()> CsvTexts(const BoardRecord& r) {
    return {CsvField(r.time),          CsvField(r.port),
            std::to_string(r.board),   CsvField(r.result),
            CsvField(r.step),          CsvField(r.message),
            SecondsText(r.seconds),    r.baud == 0 ? std::string() : std::to_string(r.baud),
            std::to_string(r.blocks),  std::to_string(r.bytes),
            std::to_string(r.resends), CsvField(r.image),
            SumText(r.imageSum),       r.boardSum ? SumText(*r.boardSum) : std::string(),
            CsvField(r.imageSha256),   CsvField(r.version),
            CsvField(r.host)};
}

std::string CsvLine(const std::array<std::string, kFieldNames.size()>& values) {
    std::string line;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            line += ",";
        }
        line += values[i];
    }
    return line + kCsvLineEnd;
}

// SHA-256 (FIPS 180-4), small and plain: one image per run, hashed once.
class CSha256 {
public:
    void Add(const uint8_t* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            m_block[m_used++] = data[i];
            if (m_used == m_block.size()) {
                Compress();
                m_used = 0;
            }
        }
        m_bits += static_cast<uint64_t>(length) * 8;
    }
    std::string HexDigest() {
        const uint64_t bits = m_bits;
        const uint8_t pad = 0x80;
        Add(&pad, 1);
        const uint8_t zero = 0;
        while (m_used != kLengthOffset) {
            Add(&zero, 1);
        }
        for (int shift = 56; shift >= 0; shift -= 8) {
            const auto b = static_cast<uint8_t>(bits >> shift);
            Add(&b, 1);
        }
        std::string out;
        for (const uint32_t word : m_state) {
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(word));
            out += hex;
        }
        return out;
    }

private:
    static constexpr size_t kLengthOffset = 56;
    static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void Compress() {
        static constexpr std::array<uint32_t, 64> k = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
            0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
            0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
            0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
            0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
            0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
            0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
            0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
            0xc67178f2};
        std::array<uint32_t, 64> w{};
        for (size_t i = 0; i < 16; ++i) {
            w[i] = static_cast<uint32_t>(m_block[i * 4]) << 24 |
                   static_cast<uint32_t>(m_block[i * 4 + 1]) << 16 |
                   static_cast<uint32_t>(m_block[i * 4 + 2]) << 8 | m_block[i * 4 + 3];
        }
        for (size_t i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
        uint32_t e = m_state[4], f = m_state[5], g = m_state[6], h = m_state[7];
        for (size_t i = 0; i < 64; ++i) {
            const uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
            const uint32_t ch = (e & f) ^ (~e & g);
            const uint32_t t1 = h + s1 + ch + k[i] + w[i];
            const uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
            const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
            const uint32_t t2 = s0 + maj;
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        m_state[0] += a, m_state[1] += b, m_state[2] += c, m_state[3] += d;
        m_state[4] += e, m_state[5] += f, m_state[6] += g, m_state[7] += h;
    }

    std::array<uint32_t, 8> m_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<uint8_t, 64> m_block{};
    size_t m_used = 0;
    uint64_t m_bits = 0;
};

}  // namespace

std::string StepWord(uint8_t step) {
    switch (step) {
        case kStepEnterUpgrade:
            return "enter";
        case kStepBeginTransfer:
            return "begin";
        case kStepDataBlock:
            return "block";
        case kStepFinalBlock:
            return "last-block";
        case kStepChecksum:
            return "checksum";
        case kStepFinish:
            return "finish";
        default:
            return "";
    }
}

std::string IsoTimeUtc(std::chrono::system_clock::time_point when) {
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    auto seconds = static_cast<std::time_t>(millis / kMillisPerSecond);
    auto fraction = static_cast<int>(millis % kMillisPerSecond);
    if (fraction < 0) {
        fraction += kMillisPerSecond;
        --seconds;
    }
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];  // room for any year the calendar type holds
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                  utc.tm_year + kTmYearBase, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, fraction);
    return text;
}

std::string Sha256Hex(const uint8_t* data, size_t length) {
    CSha256 hash;
    hash.Add(data, length);
    return hash.HexDigest();
}

RecordedImage DescribeImage(const std::string& path, const FirmwareImage& image) {
    RecordedImage out;
    out.path = path;
    out.length = image.length;
    out.sum = image.expectedSum;
    out.sha256 = Sha256Hex(image.data, image.length);
    out.host = HostName();
    return out;
}

const RecordedImage& CRecordedImageCache::Describe(const std::string& path,
                                                   const FirmwareImage& image) {
    const bool same =
        m_described && m_described->path == path && m_bytes.size() == image.length &&
        (image.length == 0 || std::memcmp(m_bytes.data(), image.data, image.length) == 0);
    if (!same) {
        m_described = DescribeImage(path, image);
        m_bytes.assign(image.data, image.data + image.length);
    }
    return *m_described;
}

std::string SumsDifferText(uint32_t boardSum, uint32_t imageSum) {
    return "校验和不符：板 " + SumText(boardSum) + "，文件 " + SumText(imageSum);
}

BoardRecord MakeBoardRecord(const TakenBoard& taken, const CUpgradeEngine& engine,
                            const RecordedImage& image) {
    BoardRecord record;
    record.time = IsoTimeUtc(taken.start);
    record.port = taken.port;
    record.board = taken.board;
    record.result = taken.result;
    const bool failed = taken.result == kRecordFailed;
    record.step = failed ? StepWord(engine.RememberedStep()) : std::string();
    std::string detail = taken.detail;
    record.boardSum = engine.BoardSum();
    if (failed && record.boardSum && *record.boardSum != image.sum) {
        // The board's answer ended it: whatever was said of waiting for a further reply, the
        // sums differ.
        detail = SumsDifferText(*record.boardSum, image.sum);
    }
    record.message = taken.shown;
    if (!detail.empty() && detail != taken.shown) {
        record.message += record.message.empty() ? detail : kMessageSeparator + detail;
    }
    record.seconds = taken.seconds;
    record.baud = engine.FoundBaud();
    record.blocks = TotalBlocks(image.length);
    record.bytes = image.length;
    record.resends = engine.Resends();
    record.image = image.path;
    record.imageSum = image.sum;
    record.imageSha256 = image.sha256;
    record.version = kVersion;
    record.host = image.host;
    return record;
}

std::string RecordJsonLine(const BoardRecord& record) {
    return JsonText(RecordObject(record)) + "\n";
}

std::string RecordCsvLine(const BoardRecord& record) {
    return CsvLine(CsvTexts(record));
}

std::string RecordCsvHeader() {
    std::array<std::string, kFieldNames.size()> names;
    for (size_t i = 0; i < kFieldNames.size(); ++i) {
        names[i] = kFieldNames[i];
    }
    return CsvLine(names);
}

bool IsCsvLogName(const std::string& path) {
    const size_t suffix = sizeof kCsvSuffix - 1;
    if (path.size() < suffix) {
        return false;
    }
    for (size_t i = 0; i < suffix; ++i) {
        const auto c = static_cast<unsigned char>(path[path.size() - suffix + i]);
        if (std::tolower(c) != kCsvSuffix[i]) {
            return false;
        }
    }
    return true;
}

RecordError CRecordLog::Open(const std::string& path) {
    m_file.reset();
    m_path = path;
    m_csv = IsCsvLogName(path);
    const uint32_t code = CRecordFile::Open(path, m_file);
    if (code != 0) {
        m_file.reset();
        return RecordError{code, path + ": cannot open the log: " + RecordFileErrorText(code)};
    }
    return {};
}

RecordError CRecordLog::Append(const BoardRecord& record) {
    const std::string board = "board " + std::to_string(record.board) + " on " + record.port;
    if (!m_file) {
        return RecordError{0, m_path + ": the log is not open; " + board + " is not recorded"};
    }
    const std::string header = m_csv ? std::string(kCsvBom) + RecordCsvHeader() : std::string();
    const std::string bytes = m_csv ? RecordCsvLine(record) : RecordJsonLine(record);
    const uint32_t code = m_file->Append(header, bytes);
    if (code != 0) {
        return RecordError{code, m_path + ": cannot write the log, " + board +
                                     " is not recorded: " + RecordFileErrorText(code)};
    }
    return {};
}

}  // namespace tarvik
