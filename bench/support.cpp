#include "support.h"

#include <signal.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "line_floor.h"
#include "temp_folder.h"

namespace tarvik::bench {
namespace {

constexpr char kSimSafetyTimeout[] = "3600";
constexpr uint8_t kFill = 0xFF;

// The last line a process printed before it ended (its closing figures).
std::string StopAndReadLastLine(Child& child) {
    child.Signal(SIGTERM);
    child.Wait(kStopBound);
    std::string out = child.Output();
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    const size_t newline = out.rfind('\n');
    return newline == std::string::npos ? out : out.substr(newline + 1);
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

}  // namespace

bool Options::Runs(const std::string& section) const {
    if (only.empty()) {
        return true;
    }
    const std::string list = "," + only + ",";
    return list.find("," + section + ",") != std::string::npos;
}

TempFolder::TempFolder() : m_path(testing::MakeTempFolder("tarvik-bench").string()) {}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void Report::Flush() const {
    std::ofstream(options.out) << text.str();
}

void WriteMachine(Report& report) {
    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    utsname u{};
    uname(&u);
    report.text << "# tarvik benchmarks\n\n";
    report.text << "Measured " << date << " on " << std::thread::hardware_concurrency()
                << " cores (" << u.sysname << " " << u.release << ", " << u.machine
                << "), Release build. Load average at the start: " << LoadAverage()
                << ". The transfers of the first section cross a paced line (below) between "
                   "two pseudo-terminals; the many-boards rows and the soak run tarvik-sim on "
                   "its own pseudo-terminal, where a paced board (--pace) takes the line's time "
                   "for every byte it sends, 10 bits per byte. The machine is shared with other "
                   "builds: the load average at the start and the end says how much; context "
                   "switches, CPU per MiB and medians are the figures it moves least.\n\n";
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Verdict(bool met) {
    return met ? "met" : "**missed**";
}

std::string Header(const std::vector<std::string>& columns) {
    std::string line = "|", rule = "|";
    for (const std::string& c : columns) {
        line += " " + c + " |";
        rule += "---|";
    }
    return line + "\n" + rule + "\n";
}

std::string Row(const std::vector<std::string>& cells) {
    std::string line = "|";
    for (const std::string& c : cells) {
        line += " " + c + " |";
    }
    return line + "\n";
}

std::string LoadAverage() {
    std::ifstream f("/proc/loadavg");
    std::string one, five, fifteen;
    f >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double Mib(uint32_t bytes) {
    return static_cast<double>(bytes) / kMiB;
}

double CpuSeconds(const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

Bytes MakeImage(uint32_t length) {
    Bytes image(length);
    uint32_t state = 12345;
    for (uint8_t& b : image) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    image[1] = 'I';
    image[2] = 'O';
    image[3] = '-';
    return image;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

bool BoardHolds(const std::string& path, const Bytes& image) {
    std::ifstream f(path, std::ios::binary);
    const Bytes got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    Bytes want = image;
    want.resize((image.size() / kBlockBytes + 1) * kBlockBytes, kFill);
    return got == want;
}

nlohmann::json ReadResult(Child& helper, Ms bound) {
    const std::optional<std::string> line = helper.ReadLine(bound);
    nlohmann::json j = line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
    return j.is_object() ? j : nlohmann::json::object();
}

Sim::Sim(const std::string& program, std::vector<std::string> args) {
    args.insert(args.end(), {"--timeout", kSimSafetyTimeout});
    m_child = std::make_unique<Child>(program, args);
    const std::optional<std::string> line = m_child->ReadLine(kStartBound);
    if (!line) {
        throw std::runtime_error("tarvik-sim printed no port");
    }
    m_path = *line;
}

nlohmann::json Sim::Stop() {
    return nlohmann::json::parse(StopAndReadLastLine(*m_child), nullptr, false);
}

Line::Line(const std::string& self) : m_child(self, {"line"}) {
    const std::optional<std::string> a = m_child.ReadLine(kStartBound);
    const std::optional<std::string> b = m_child.ReadLine(kStartBound);
    if (!a || !b) {
        throw std::runtime_error("the line relay printed no ports");
    }
    m_a = *a;
    m_b = *b;
}

LineRecord Line::Stop() {
    return ParseLineRecord(StopAndReadLastLine(m_child));
}

LineFigures Figures(const LineRecord& line, uint64_t blockFrame) {
    LineFigures f;
    std::vector<double> turns, blocks;
    for (size_t i = 0; i < line.exchanges.size(); ++i) {
        const LineExchange& e = line.exchanges[i];
        f.answered += e.bBytes > 0;
        if (e.turnUs >= 0) {
            turns.push_back(e.turnUs / 1000);
        }
        if (blockFrame > 0 && e.aBytes == blockFrame && i + 1 < line.exchanges.size()) {
            blocks.push_back((line.exchanges[i + 1].startUs - e.startUs) / 1000);
        }
    }
    f.turnMedianMs = Percentile(turns, 0.5);
    f.turnP99Ms = Percentile(turns, 0.99);
    f.blockMs = Percentile(blocks, 0.5);
    return f;
}

}  // namespace tarvik::bench
