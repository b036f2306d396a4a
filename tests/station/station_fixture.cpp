#include "station_fixture.h"

#include <fstream>

#include "temp_folder.h"

namespace tarvik::testing {

namespace {

// How often the test looks at the snapshot: faster than any window would.
constexpr std::chrono::milliseconds kPollPeriod{10};

}  // namespace

void StationTest::SetUp() {
    m_dir = MakeTempFolder("tarvik-station");
}

void StationTest::TearDown() {
    Reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void StationTest::Reset() {
    if (m_worker.joinable()) {
        m_station->RequestStop();
        m_worker.join();
    }
    m_station.reset();
    m_seen = StationSeen{};
    m_states.clear();
    m_outcome.reset();
}

std::string StationTest::Path(const std::string& name) const {
    return Utf8Path(m_dir / PathFromUtf8(name));
}

std::string StationTest::WriteImage(const std::string& name, uint32_t length) const {
    std::vector<char> bytes(length);
    uint32_t x = 0x9E3779B9u ^ length;
    for (char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x & 0x7F);
        if (b == 'I') {
            b = 'i';  // no stray marker
        }
    }
    if (length >= 4) {
        bytes[1] = 'I';
        bytes[2] = 'O';
        bytes[3] = '-';
    }
    const std::string path = Path(name);
    std::ofstream(PathFromUtf8(path), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::optional<StationStartError> StationTest::Start(StationOptions options) {
    StationEvents events;
    events.onBoardEnd = [this](const StationBoardEnd& end) { m_seen.ends.push_back(end); };
    events.onPrompt = [this](size_t port, const std::string& words) {
        m_seen.prompts.emplace_back(port, words);
    };
    events.onRecord = [this](const BoardRecord& record) { m_seen.records.push_back(record); };
    events.onLogFailed = [this](const std::string& error) { m_seen.logErrors.push_back(error); };
    events.onTrace = onTrace;
    Reset();
    m_station = std::make_unique<CStation>(std::move(options), std::move(events));
    return m_station->Start();
}

void StationTest::RunOnWorker() {
    m_worker = std::thread([this] { m_outcome = m_station->Run(); });
}

void StationTest::Note(const StationSnapshot& snapshot) {
    m_states.resize(snapshot.ports.size());
    for (size_t i = 0; i < snapshot.ports.size(); ++i) {
        std::vector<StationState>& states = m_states[i];
        if (states.empty() || states.back() != snapshot.ports[i].state) {
            states.push_back(snapshot.ports[i].state);
        }
    }
}

bool StationTest::WaitFor(const std::function<bool(const StationSnapshot&)>& done,
                          std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const StationSnapshot snapshot = m_station->Snapshot();
        Note(snapshot);
        if (done(snapshot)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollPeriod);
    }
}

StationOutcome StationTest::Join(std::chrono::milliseconds timeout) {
    const bool finished = WaitFor([](const StationSnapshot& s) { return s.finished; }, timeout);
    EXPECT_TRUE(finished) << "the station did not end by itself";
    if (!finished) {
        m_station->RequestStop();
    }
    m_worker.join();
    m_seen.states = m_states;
    return m_outcome.value_or(StationOutcome{});
}

}  // namespace tarvik::testing
