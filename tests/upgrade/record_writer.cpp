// A tool of its own appending to a shared record log, for the log's tests: started several
// times at once, each copy opens the log, says it is ready, waits for the go and appends its
// records as fast as it can.
//
//   tarvik_record_writer LOG READY_FILE GO_FILE WRITER RECORDS
//
// Record k of writer w is RecordWriterRecord(w, k). Exit 0 when every record was appended.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "record_writer.h"
#include "temp_folder.h"
#include "upgrade/board_record.h"

namespace {

// How long a writer waits for the go before it gives up (the test's machine may be loaded).
constexpr std::chrono::seconds kGoTimeout{120};
constexpr std::chrono::milliseconds kGoPoll{1};
constexpr int kArgumentCount = 6;

}  // namespace

int main(int argc, char** argv) {
    using namespace tarvik;
    if (argc != kArgumentCount) {
        std::fprintf(stderr, "usage: tarvik_record_writer LOG READY_FILE GO_FILE WRITER RECORDS\n");
        return 2;
    }
    const std::string logPath = argv[1];
    const std::filesystem::path ready = testing::PathFromUtf8(argv[2]);
    const std::filesystem::path go = testing::PathFromUtf8(argv[3]);
    const uint32_t writer = static_cast<uint32_t>(std::stoul(argv[4]));
    const uint32_t records = static_cast<uint32_t>(std::stoul(argv[5]));

    CRecordLog log;
    if (const RecordError error = log.Open(logPath)) {
        std::fprintf(stderr, "%s\n", error.text.c_str());
        return 1;
    }
    // Opened while the log is still empty: every writer sees a new log.
    std::ofstream(ready).close();
    const auto giveUp = std::chrono::steady_clock::now() + kGoTimeout;
    while (!std::filesystem::exists(go)) {
        if (std::chrono::steady_clock::now() > giveUp) {
            std::fprintf(stderr, "no go\n");
            return 1;
        }
        std::this_thread::sleep_for(kGoPoll);
    }
    for (uint32_t k = 0; k < records; ++k) {
        if (const RecordError error = log.Append(testing::RecordWriterRecord(writer, k))) {
            std::fprintf(stderr, "%s\n", error.text.c_str());
            return 1;
        }
    }
    return 0;
}
