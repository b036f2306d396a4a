// The record of one board taken at a fixture: what was upgraded, how it ended and with which
// image, and the log that keeps one such record per line. The command line and both windows
// make their records with MakeBoardRecord and hand them to a CRecordLog; nothing here throws.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/engine.h"
#include "upgrade/image.h"

namespace tarvik {

// How a board taken ended, as the record words it.
inline constexpr char kRecordOk[] = "ok";
inline constexpr char kRecordFailed[] = "failed";
inline constexpr char kRecordInterrupted[] = "interrupted";

// One board, field by field in the order the log writes them. An empty `step` (no failure),
// a zero `baud` (no answer yet) and no `boardSum` (the board never reported one) are written
// as null in JSON and left empty in CSV.
struct BoardRecord {
    std::string time;     // the start, ISO 8601 UTC with milliseconds (IsoTimeUtc)
    std::string port;     // the port as the operator named it
    uint32_t board = 0;   // 1, 2, ... on that port within the run
    std::string result;   // kRecordOk, kRecordFailed or kRecordInterrupted
    std::string step;     // for a failure, StepWord of the frame that failed
    std::string message;  // the text the tool showed
    double seconds = 0;   // start to outcome
    uint32_t baud = 0;    // the rate the board answered at
    uint32_t blocks = 0;  // blocks of the image
    uint32_t bytes = 0;   // image length
    uint32_t resends = 0;
    std::string image;  // the image's path as given
    uint32_t imageSum = 0;
    std::optional<uint32_t> boardSum;  // the sum the board answered with
    std::string imageSha256;           // 64 lower-case hex digits
    std::string version;               // the tool's
    std::string host;
};

// The word of the step a failure happened at, from the step byte of the frame in flight:
// enter, begin, block, last-block, checksum, finish; empty for any other byte.
std::string StepWord(uint8_t step);
// "2026-12-11T00:18:39.123Z".
std::string IsoTimeUtc(std::chrono::system_clock::time_point when);
// The SHA-256 of `length` bytes as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, size_t length);
// This machine's name, empty when it cannot be learned.
std::string HostName();

// What every record of an image says of it and of the machine, worked out once per image.
struct RecordedImage {
    std::string path;  // as the operator gave it
    uint32_t length = 0;
    uint32_t sum = 0;    // the sum the tool compares with the board's
    std::string sha256;  // of the image's bytes
    std::string host;
};
RecordedImage DescribeImage(const std::string& path, const FirmwareImage& image);

// A front end that upgrades one image after another (the window: the operator may pick
// another file, or change the file, between two upgrades): the description of the last image
// is kept and used again while the path and the bytes are the same.
class CRecordedImageCache {
public:
    const RecordedImage& Describe(const std::string& path, const FirmwareImage& image);

private:
    std::optional<RecordedImage> m_described;
    std::vector<uint8_t> m_bytes;  // the bytes it describes
};

// One board taken, as its front end saw it end.
struct TakenBoard {
    std::string port;    // as the operator named it
    uint32_t board = 0;  // 1, 2, ... on that port
    std::string result;  // kRecordOk, kRecordFailed or kRecordInterrupted
    std::string shown;   // the status the tool showed at the end
    std::string detail;  // what else it said of the end, may be empty
    std::chrono::system_clock::time_point start;
    double seconds = 0;  // start to outcome
};

// "校验和不符：板 1a2b3c4d，文件 0001a2b3": the record's word on a board whose sum differed.
std::string SumsDifferText(uint32_t boardSum, uint32_t imageSum);

// The record of `taken`: the failing step, the rate, the resends and the board's sum come from
// its engine, the image's fields from `image`. A failure whose board answered a sum other than
// the image's says so in its message, whatever else was said when it ended.
BoardRecord MakeBoardRecord(const TakenBoard& taken, const CUpgradeEngine& engine,
                            const RecordedImage& image);

// One record as a JSON object on one line, '\n' included.
std::string RecordJsonLine(const BoardRecord& record);
// One record as an RFC 4180 CSV line, CRLF included, and the header line of the same fields.
std::string RecordCsvLine(const BoardRecord& record);
std::string RecordCsvHeader();
// A name ending in ".csv" (any case) is a CSV log; every other name a JSON-lines log.
bool IsCsvLogName(const std::string& path);

// What went wrong with the log, for the operator: empty `text` means nothing did.
struct RecordError {
    uint32_t code = 0;  // the platform's code (errno or GetLastError)
    std::string text;   // "<path>: <what>"
    explicit operator bool() const { return !text.empty(); }
};

// The platform's file underneath a record log (record_file.cpp and its _win32 twin).
class CRecordFile {
public:
    virtual ~CRecordFile() = default;
    // Opens `path` (UTF-8) for appending, creating it. 0 or the platform's code.
    static uint32_t Open(const std::string& path, std::unique_ptr<CRecordFile>& file);
    // Holding the file's exclusive lock, which every tool appending to it takes too: writes
    // `header` first when the file is empty, then `bytes`, whole at the end of the file, and
    // flushes them to the disk. 0 or the platform's code; a short write is a failure, and on
    // any failure the file is cut back to its length before, so that nothing of a record that
    // failed stays to be glued to the next one.
    virtual uint32_t Append(const std::string& header, const std::string& bytes) = 0;
};

// Text of a platform code, for RecordError.
std::string RecordFileErrorText(uint32_t code);

// A log of board records, shared by every tool that appends to it. Each record goes out
// whole under the file's lock and is on the disk before Append returns, so tools appending
// to one log never mix their lines, and a record that Append took survives a crash right
// after. A CSV log gets the byte-order mark and the header line at its start only when the
// file is empty at the moment of the append, whoever comes first.
class CRecordLog {
public:
    // Opens (creates) the log; an error when it cannot be opened for appending.
    RecordError Open(const std::string& path);
    bool IsOpen() const { return m_file != nullptr; }
    const std::string& Path() const { return m_path; }
    bool IsCsv() const { return m_csv; }
    // Appends one record; an error naming the board (port and number) when it could not be
    // written whole or flushed, and then nothing of it is in the file.
    RecordError Append(const BoardRecord& record);

private:
    std::string m_path;
    bool m_csv = false;
    std::unique_ptr<CRecordFile> m_file;
};

}  // namespace tarvik
