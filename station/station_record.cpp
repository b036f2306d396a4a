#include "station/station_record.h"

#include "tarvik_version.h"
#include "upgrade/frames.h"

namespace tarvik {

RecordedImage DescribeImage(const std::string& path, const FirmwareImage& image) {
    RecordedImage out;
    out.path = path;
    out.length = image.length;
    out.sum = image.expectedSum;
    out.sha256 = Sha256Hex(image.data, image.length);
    out.host = HostName();
    return out;
}

BoardRecord MakeBoardRecord(const std::string& port, uint32_t board, Verdict verdict,
                            const std::string& shown, std::chrono::system_clock::time_point start,
                            double seconds, const CUpgradeEngine& engine,
                            const RecordedImage& image) {
    BoardRecord record;
    record.time = IsoTimeUtc(start);
    record.port = port;
    record.board = board;
    record.result = verdict == Verdict::Succeeded ? kRecordOk
                    : verdict == Verdict::Stopped ? kRecordInterrupted
                                                  : kRecordFailed;
    record.step = verdict == Verdict::Failed ? StepWord(engine.RememberedStep()) : "";
    record.message = shown;
    record.seconds = seconds;
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

}  // namespace tarvik
