// The board record: its JSON and CSV lines field by field, the quoting of awkward texts, the
// CSV log's byte-order mark and header, and a log that cannot be written.
#include "upgrade/board_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "record_writer.h"
#include "temp_folder.h"
#include "upgrade/frames.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;
#endif

namespace tarvik {
namespace {

using testing::PathFromUtf8;
using testing::RecordWriterRecord;
using testing::Utf8Path;

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
    r.boardSum = 0x0001a2b4;
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
              "\"image\":\"/固件/io-v2.bin\",\"image_sum\":\"0001a2b3\","
              "\"board_sum\":\"0001a2b4\",\"image_sha256\":\"" +
                  std::string(64, 'a') + "\",\"version\":\"1.0.0\",\"host\":\"bench-1\"}\n");
}

TEST(BoardRecordTest, CsvLineFollowsTheHeader) {
    EXPECT_EQ(RecordCsvHeader(),
              "time,port,board,result,step,message,seconds,baud,blocks,bytes,resends,image,"
              "image_sum,board_sum,image_sha256,version,host\r\n");
    EXPECT_EQ(RecordCsvLine(SampleRecord()),
              "2026-12-11T00:18:39.123Z,COM3,2,failed,last-block,升级失败(0x1c),12.346,115200,9,"
              "1100,4,/固件/io-v2.bin,0001a2b3,0001a2b4," +
                  std::string(64, 'a') + ",1.0.0,bench-1\r\n");
}

TEST(BoardRecordTest, AbsentStepBaudAndBoardSumAreNullOrEmpty) {
    BoardRecord r = SampleRecord();
    r.result = kRecordOk;
    r.step.clear();
    r.baud = 0;
    r.boardSum.reset();
    const std::string json = RecordJsonLine(r);
    EXPECT_NE(json.find("\"step\":null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"baud\":null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"image_sum\":\"0001a2b3\",\"board_sum\":null,\"image_sha256\""),
              std::string::npos)
        << json;
    const std::string csv = RecordCsvLine(r);
    EXPECT_NE(csv.find(",ok,,升级失败(0x1c),12.346,,9,"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",0001a2b3,," + std::string(64, 'a')), std::string::npos) << csv;
}

// A board sum of zero is a sum the board reported, not an absent one; seconds are written to
// the millisecond, never below zero.
TEST(BoardRecordTest, NumbersKeepTheirForms) {
    struct Case {
        std::optional<uint32_t> boardSum;
        double seconds;
        std::string json;
        std::string csv;
    };
    const std::vector<Case> cases = {
        {0u, 0.0004, "\"seconds\":0.0,", ",0.000,"},
        {0xffffffffu, 2.5, "\"seconds\":2.5,", ",2.500,"},
        {0u, -1.0, "\"seconds\":0.0,", ",0.000,"},
    };
    for (const Case& c : cases) {
        BoardRecord r = SampleRecord();
        r.boardSum = c.boardSum;
        r.seconds = c.seconds;
        const std::string sum = c.boardSum == 0u ? "00000000" : "ffffffff";
        const std::string json = RecordJsonLine(r);
        EXPECT_NE(json.find("\"board_sum\":\"" + sum + "\""), std::string::npos) << json;
        EXPECT_NE(json.find(c.json), std::string::npos) << json;
        const std::string csv = RecordCsvLine(r);
        EXPECT_NE(csv.find(",0001a2b3," + sum + ","), std::string::npos) << csv;
        EXPECT_NE(csv.find(c.csv), std::string::npos) << csv;
    }
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

// The window keeps the description of the image it upgraded last; a file rewritten between
// two upgrades with the same length and the same sum (two bytes swapped) is another image.
TEST(RecordedImageCacheTest, DescriptionFollowsThePathAndTheBytes) {
    std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto image = [&] {
        FirmwareImage i;
        i.data = bytes.data();
        i.length = static_cast<uint32_t>(bytes.size());
        i.expectedSum = 0x1234;
        return i;
    };
    CRecordedImageCache cache;
    const std::string first = cache.Describe("a.bin", image()).sha256;
    EXPECT_EQ(first, Sha256Hex(bytes.data(), bytes.size()));
    EXPECT_EQ(cache.Describe("a.bin", image()).sha256, first);

    std::swap(bytes[0], bytes[1]);
    const RecordedImage& swapped = cache.Describe("a.bin", image());
    EXPECT_EQ(swapped.sha256, Sha256Hex(bytes.data(), bytes.size()));
    EXPECT_NE(swapped.sha256, first);

    const RecordedImage& renamed = cache.Describe("b.bin", image());
    EXPECT_EQ(renamed.path, "b.bin");
    EXPECT_EQ(renamed.sum, 0x1234u);
    EXPECT_EQ(renamed.length, 8u);
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

// ---- Several tools on one log ----

// Generous: six program starts on a loaded machine, under Wine too.
constexpr std::chrono::seconds kWritersTimeout{180};
constexpr std::chrono::milliseconds kWritersPoll{10};

// The writer program beside this test's own executable.
std::filesystem::path WriterProgram() {
#ifdef _WIN32
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::filesystem::path(self).parent_path() / "tarvik_record_writer.exe";
#else
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "tarvik_record_writer";
#endif
}

// Runs several writer programs at once; each Wait says whether one ended with exit code 0.
class CWriters {
public:
    void Start(const std::filesystem::path& program, const std::vector<std::string>& args) {
#ifdef _WIN32
        std::wstring line = L"\"" + program.wstring() + L"\"";
        for (const std::string& arg : args) {
            line += L" \"" + PathFromUtf8(arg).wstring() + L"\"";
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &info))
            << GetLastError();
        CloseHandle(info.hThread);
        m_children.push_back(info.hProcess);
#else
        std::vector<std::string> all = {program.string()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        m_children.push_back(pid);
#endif
    }
    bool WaitAll() {
        bool allOk = true;
        for (auto& child : m_children) {
#ifdef _WIN32
            DWORD code = 1;
            allOk =
                WaitForSingleObject(child, static_cast<DWORD>(kWritersTimeout.count() * 1000)) ==
                    WAIT_OBJECT_0 &&
                GetExitCodeProcess(child, &code) && code == 0 && allOk;
            CloseHandle(child);
#else
            int status = 0;
            allOk = waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0 && allOk;
#endif
        }
        m_children.clear();
        return allOk;
    }
    ~CWriters() {
        WaitAll();
    }

private:
#ifdef _WIN32
    std::vector<HANDLE> m_children;
#else
    std::vector<pid_t> m_children;
#endif
};

std::vector<std::string> SplitCrlfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2) {
        lines.push_back(text.substr(from, end + 2 - from));
    }
    if (from != text.size()) {
        lines.push_back(text.substr(from));  // a torn last line
    }
    return lines;
}

// Six tools started together on one new CSV log: whoever appends first writes the mark and
// the header, once; every record is a whole line of its own.
TEST_F(RecordLogTest, SixToolsOnOneNewCsvLogWriteOneHeaderAndWholeLines) {
    constexpr uint32_t kWriters = 6;
    constexpr uint32_t kRecordsEach = 25;
    const std::filesystem::path log = m_folder / "boards.csv";
    const std::filesystem::path go = m_folder / "go";
    CWriters writers;
    for (uint32_t w = 0; w < kWriters; ++w) {
        writers.Start(WriterProgram(),
                      {Utf8Path(log), Utf8Path(m_folder / ("ready" + std::to_string(w))),
                       Utf8Path(go), std::to_string(w), std::to_string(kRecordsEach)});
    }
    const auto giveUp = std::chrono::steady_clock::now() + kWritersTimeout;
    for (uint32_t w = 0; w < kWriters; ++w) {
        while (!std::filesystem::exists(m_folder / ("ready" + std::to_string(w))) &&
               std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(kWritersPoll);
        }
    }
    ASSERT_EQ(std::filesystem::file_size(log), 0u) << "every writer opened the log while new";
    std::ofstream(go).close();
    ASSERT_TRUE(writers.WaitAll());

    const std::string text = ReadAll(log);
    const std::string mark = "\xEF\xBB\xBF";
    ASSERT_EQ(text.substr(0, mark.size() + RecordCsvHeader().size()), mark + RecordCsvHeader());
    std::vector<std::string> lines = SplitCrlfLines(text.substr(mark.size()));
    lines.erase(lines.begin());
    std::multiset<std::string> expected;
    for (uint32_t w = 0; w < kWriters; ++w) {
        for (uint32_t k = 0; k < kRecordsEach; ++k) {
            expected.insert(RecordCsvLine(RecordWriterRecord(w, k)));
        }
    }
    size_t foreign = 0;
    for (const std::string& line : lines) {
        const auto found = expected.find(line);
        if (found == expected.end()) {
            // Shown once: a torn line or a second header.
            EXPECT_EQ(foreign++, 0u) << "not a whole record of its own: " << line.substr(0, 120);
        } else {
            expected.erase(found);
        }
    }
    EXPECT_EQ(foreign, 0u);
    EXPECT_TRUE(expected.empty()) << expected.size() << " records missing";
    EXPECT_EQ(std::count(text.begin(), text.end(), '\xEF'), 1) << "one byte-order mark";
}

#ifndef _WIN32
// A log on a small tmpfs of its own, filled up: a record that does not fit leaves nothing of
// itself behind, says which board went unrecorded, and once there is room again the next
// record is whole on a line of its own (and a new CSV log gets its header then).
class FullDiskLogTest : public RecordLogTest {
protected:
    static constexpr size_t kPage = 4096;
    static constexpr char kTmpfsOptions[] = "size=64k";

    void SetUp() override {
        RecordLogTest::SetUp();
        m_disk = m_folder / "disk";
        std::filesystem::create_directory(m_disk);
        if (::mount("tmpfs", m_disk.c_str(), "tmpfs", 0, kTmpfsOptions) != 0) {
            GTEST_SKIP() << "cannot mount a small tmpfs to fill (" << std::strerror(errno)
                         << "): this test needs root";
        }
        m_mounted = true;
    }
    void TearDown() override {
        if (m_mounted) {
            ::umount2(m_disk.c_str(), MNT_DETACH);
        }
        RecordLogTest::TearDown();
    }
    // Fills the disk up, then gives `freePages` pages back.
    void Fill(size_t freePages) {
        const std::string filler = Utf8Path(m_disk / "filler");
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const std::string page(kPage, 'x');
        while (::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size())) {
        }
        const off_t size = ::lseek(fd, 0, SEEK_END);
        ASSERT_EQ(size % kPage, 0u);
        ASSERT_EQ(::ftruncate(fd, size - static_cast<off_t>(freePages * kPage)), 0);
        ::close(fd);
    }
    void Free() { std::filesystem::remove(m_disk / "filler"); }

    std::filesystem::path m_disk;
    bool m_mounted = false;
};

TEST_F(FullDiskLogTest, RecordThatDoesNotFitLeavesNothingAndTheNextIsWhole) {
    struct Case {
        const char* name;
        const char* file;
        size_t before;       // bytes in the log before: an earlier line
        size_t freePages;    // left on the disk once it is filled
        size_t message;      // length of the failing record's message
        std::string header;  // what the log starts with once the next record is in
    };
    const Case cases[] = {
        // The record begins in the slack of the log's last page and runs out of room.
        {"JSON log cut in the middle of a record", "boards.jsonl", kPage - 100, 0, 300, ""},
        // The mark, the header and the record go to a new CSV log and fill its one page.
        {"new CSV log cut in the middle of its header and record", "boards.csv", 0, 1, 2 * kPage,
         "\xEF\xBB\xBF" + RecordCsvHeader()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path path = m_disk / c.file;
        const std::string earlier =
            c.before == 0 ? std::string()
                          : "{\"earlier\":\"" + std::string(c.before - 15, 'e') + "\"}\n";
        ASSERT_EQ(earlier.size(), c.before);
        std::ofstream(path, std::ios::binary) << earlier;
        Fill(c.freePages);

        CRecordLog log;
        ASSERT_FALSE(log.Open(Utf8Path(path)));
        BoardRecord failing = SampleRecord();
        failing.port = "/dev/ttyUSB3";
        failing.board = 17;
        failing.message = std::string(c.message, 'm');
        const RecordError error = log.Append(failing);
        ASSERT_TRUE(error);
        EXPECT_NE(error.text.find("board 17 on /dev/ttyUSB3"), std::string::npos) << error.text;
        EXPECT_EQ(std::filesystem::file_size(path), c.before) << "nothing of the record stays";

        Free();
        const BoardRecord next = SampleRecord();
        ASSERT_FALSE(log.Append(next));
        const std::string line = log.IsCsv() ? RecordCsvLine(next) : RecordJsonLine(next);
        EXPECT_EQ(ReadAll(path), earlier + c.header + line);
        std::filesystem::remove(path);
    }
}
#endif

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
    EXPECT_NE(error.text.find("board 2 on COM3"), std::string::npos) << error.text;
}
#endif

}  // namespace
}  // namespace tarvik
