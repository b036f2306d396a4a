// The board record: its JSON and CSV lines field by field, the quoting of awkward texts, the
// CSV log's byte-order mark and header, and a log that cannot be written.
#include "upgrade/board_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "temp_folder.h"
#include "upgrade/frames.h"

namespace tarvik {
namespace {

BoardRecord SampleRecord() {
    BoardRecord r;
    r.time = "2026-12-11T00:18:39.123Z";
    r.port = "COM3";
    r.board = 2;
    r.result = kRecordFailed;
    r.step = "last-block";
    r.message = "升级失败(0x1c)";
    r.seconds = 12.3456;
    r.baud = 115200;
    r.blocks = 9;
    r.bytes = 1100;
    r.resends = 4;
    r.image = "/固件/io-v2.bin";
    r.imageSum = 0x0001a2b3;
    r.imageSha256 = std::string(64, 'a');
    r.version = "1.0.0";
    r.host = "bench-1";
    return r;
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(BoardRecordTest, JsonLineHasEveryFieldInOrder) {
    EXPECT_EQ(RecordJsonLine(SampleRecord()),
              "{\"time\":\"2026-12-11T00:18:39.123Z\",\"port\":\"COM3\",\"board\":2,"
              "\"result\":\"failed\",\"step\":\"last-block\",\"message\":\"升级失败(0x1c)\","
              "\"seconds\":12.346,\"baud\":115200,\"blocks\":9,\"bytes\":1100,\"resends\":4,"
              "\"image\":\"/固件/io-v2.bin\",\"image_sum\":\"0001a2b3\",\"image_sha256\":\"" +
                  std::string(64, 'a') + "\",\"version\":\"1.0.0\",\"host\":\"bench-1\"}\n");
}

TEST(BoardRecordTest, CsvLineFollowsTheHeader) {
    EXPECT_EQ(RecordCsvHeader(),
              "time,port,board,result,step,message,seconds,baud,blocks,bytes,resends,image,"
              "image_sum,image_sha256,version,host\r\n");
    EXPECT_EQ(RecordCsvLine(SampleRecord()),
              "2026-12-11T00:18:39.123Z,COM3,2,failed,last-block,升级失败(0x1c),12.346,115200,9,"
              "1100,4,/固件/io-v2.bin,0001a2b3," +
                  std::string(64, 'a') + ",1.0.0,bench-1\r\n");
}

TEST(BoardRecordTest, AbsentStepAndBaudAreNullOrEmpty) {
    BoardRecord r = SampleRecord();
    r.result = kRecordOk;
    r.step.clear();
    r.baud = 0;
    const std::string json = RecordJsonLine(r);
    EXPECT_NE(json.find("\"step\":null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"baud\":null,"), std::string::npos) << json;
    EXPECT_NE(RecordCsvLine(r).find(",ok,,升级失败(0x1c),12.346,,9,"), std::string::npos);
}

TEST(BoardRecordTest, AwkwardTextsAreQuoted) {
    struct Case {
        std::string text;
        std::string json;
        std::string csv;
    };
    const std::vector<Case> cases = {
        {"plain", "\"plain\"", "plain"},
        {"a,b", "\"a,b\"", "\"a,b\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "\"two\\r\\nlines\"", "\"two\r\nlines\""},
        {"back\\slash\ttab", "\"back\\\\slash\\ttab\"", "back\\slash\ttab"},
        {std::string("bell\x07", 5), "\"bell\\u0007\"", std::string("bell\x07", 5)},
        // A Linux path may hold bytes that are no UTF-8: the line stays valid UTF-8.
        {"bad\xff", "\"bad\xEF\xBF\xBD\"", "bad\xEF\xBF\xBD"},
        {"", "\"\"", ""},
    };
    for (const Case& c : cases) {
        BoardRecord r = SampleRecord();
        r.message = c.text;
        const std::string json = RecordJsonLine(r);
        EXPECT_NE(json.find("\"message\":" + c.json + ",\"seconds\""), std::string::npos)
            << c.text << " -> " << json;
        const std::string csv = RecordCsvLine(r);
        EXPECT_NE(csv.find(",last-block," + c.csv + ",12.346,"), std::string::npos)
            << c.text << " -> " << csv;
    }
}

TEST(BoardRecordTest, StepWordsNameEveryFrame) {
    EXPECT_EQ(StepWord(kStepEnterUpgrade), "enter");
    EXPECT_EQ(StepWord(kStepBeginTransfer), "begin");
    EXPECT_EQ(StepWord(kStepDataBlock), "block");
    EXPECT_EQ(StepWord(kStepFinalBlock), "last-block");
    EXPECT_EQ(StepWord(kStepChecksum), "checksum");
    EXPECT_EQ(StepWord(kStepFinish), "finish");
    EXPECT_EQ(StepWord(kStepFailure), "");
}

TEST(BoardRecordTest, TimeIsUtcWithMilliseconds) {
    using namespace std::chrono;
    EXPECT_EQ(IsoTimeUtc(system_clock::time_point(milliseconds(0))), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(IsoTimeUtc(system_clock::time_point(milliseconds(1796948319123LL))),
              "2026-12-11T00:18:39.123Z");
}

TEST(BoardRecordTest, Sha256OfKnownTexts) {
    const auto hex = [](const std::string& text) {
        return Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the padding spills into a second block.
    EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(BoardRecordTest, CsvNameDecidesTheForm) {
    EXPECT_TRUE(IsCsvLogName("boards.csv"));
    EXPECT_TRUE(IsCsvLogName("BOARDS.CSV"));
    EXPECT_FALSE(IsCsvLogName("boards.json"));
    EXPECT_FALSE(IsCsvLogName("csv"));
    EXPECT_FALSE(IsCsvLogName("boards.csv.txt"));
}

class RecordLogTest : public ::testing::Test {
protected:
    void SetUp() override { m_folder = testing::MakeTempFolder("tarvik-record"); }
    void TearDown() override { std::filesystem::remove_all(m_folder); }
    std::filesystem::path m_folder;
};

TEST_F(RecordLogTest, NewCsvLogGetsMarkAndHeaderOnce) {
    const std::filesystem::path path = m_folder / "boards.csv";
    const BoardRecord r = SampleRecord();
    {
        CRecordLog log;
        ASSERT_FALSE(log.Open(testing::Utf8Path(path)));
        EXPECT_TRUE(log.IsCsv());
        ASSERT_FALSE(log.Append(r));
        ASSERT_FALSE(log.Append(r));
    }
    {
        // Opened again later: the file is not new, so no second mark and header.
        CRecordLog log;
        ASSERT_FALSE(log.Open(testing::Utf8Path(path)));
        ASSERT_FALSE(log.Append(r));
    }
    const std::string line = RecordCsvLine(r);
    EXPECT_EQ(ReadAll(path), "\xEF\xBB\xBF" + RecordCsvHeader() + line + line + line);
}

TEST_F(RecordLogTest, EmptyCsvLogGetsHeaderAndJsonLogNone) {
    const std::filesystem::path csv = m_folder / "empty.CSV";
    const std::filesystem::path json = m_folder / "boards.jsonl";
    std::ofstream(csv).close();
    std::ofstream(json, std::ios::binary) << "{\"earlier\":1}\n";
    const BoardRecord r = SampleRecord();
    for (const auto& path : {csv, json}) {
        CRecordLog log;
        ASSERT_FALSE(log.Open(testing::Utf8Path(path)));
        ASSERT_FALSE(log.Append(r));
    }
    EXPECT_EQ(ReadAll(csv), "\xEF\xBB\xBF" + RecordCsvHeader() + RecordCsvLine(r));
    EXPECT_EQ(ReadAll(json), "{\"earlier\":1}\n" + RecordJsonLine(r));
}

TEST_F(RecordLogTest, UnopenableLogIsAnError) {
    CRecordLog log;
    const RecordError error = log.Open(testing::Utf8Path(m_folder / "no-such" / "boards.csv"));
    EXPECT_TRUE(error);
    EXPECT_NE(error.code, 0u);
    EXPECT_NE(error.text.find("boards.csv"), std::string::npos) << error.text;
    EXPECT_FALSE(log.IsOpen());
    EXPECT_TRUE(log.Append(SampleRecord()));
}

#ifndef _WIN32
TEST(RecordLogFullDiskTest, FullDiskIsAnErrorNotALostRecord) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    CRecordLog log;
    ASSERT_FALSE(log.Open("/dev/full"));
    const RecordError error = log.Append(SampleRecord());
    ASSERT_TRUE(error);
    EXPECT_NE(error.text.find("cannot write"), std::string::npos) << error.text;
}
#endif

}  // namespace
}  // namespace tarvik
