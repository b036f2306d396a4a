#include "station_window/station_logic.h"

#include <algorithm>
#include <cstdio>

#include "station/station_options.h"

namespace tarvik::station {

namespace {

constexpr int kPercentAll = 100;
constexpr int64_t kSecondsPerMinute = 60;
constexpr int64_t kMillisPerSecond = 1000;

std::string CountersText(const PortLook& port) {
    return std::to_string(port.boards) + " 块  成功 " + std::to_string(port.succeeded) + "  失败 " +
           std::to_string(port.failed);
}

// "升级失败(0x1b)  步骤 block": the reason the tool showed and the step it failed at.
std::string FailureLine(const PortLook& port) {
    std::string line = port.lastReason;
    if (!port.lastStep.empty()) {
        line += (line.empty() ? "" : "  ") + std::string("步骤 ") + port.lastStep;
    }
    return line;
}

bool InTransfer(const PortLook& port) {
    return port.stage == PortStage::Searching || port.stage == PortStage::Transfer;
}

void ShowVerdict(const PortLook& port, PanelView& view) {
    switch (*port.lastVerdict) {
        case BoardVerdict::Succeeded:
            view.word = kWordSucceeded;
            view.colour = PanelColour::Green;
            break;
        case BoardVerdict::Failed:
            view.word = kWordFailed;
            view.colour = PanelColour::Red;
            view.line = FailureLine(port);
            view.lineColour = PanelColour::Red;
            break;
        case BoardVerdict::Interrupted:
            view.word = kWordInterrupted;
            view.colour = PanelColour::Amber;
            break;
    }
}

constexpr uint32_t kRgbGrey = 0x757575;
constexpr uint32_t kRgbBlue = 0x1565C0;
constexpr uint32_t kRgbGreen = 0x2E7D32;
constexpr uint32_t kRgbRed = 0xC62828;
constexpr uint32_t kRgbAmber = 0xE08600;
constexpr int kBeepsShort = 1;
constexpr int kBeepsLong = 3;

}  // namespace

uint32_t ColourRgb(PanelColour colour) {
    switch (colour) {
        case PanelColour::Grey:
            return kRgbGrey;
        case PanelColour::Blue:
            return kRgbBlue;
        case PanelColour::Green:
            return kRgbGreen;
        case PanelColour::Red:
            return kRgbRed;
        case PanelColour::Amber:
            return kRgbAmber;
    }
    return kRgbGrey;
}

int BeepsFor(Sound sound) {
    switch (sound) {
        case Sound::None:
            return 0;
        case Sound::Short:
            return kBeepsShort;
        case Sound::Long:
            return kBeepsLong;
    }
    return 0;
}

std::vector<PortChoice> PortChoices(const std::vector<PresentPort>& present,
                                    const std::vector<std::string>& checked) {
    const auto isChecked = [&](const std::string& name) {
        return std::find(checked.begin(), checked.end(), name) != checked.end();
    };
    std::vector<PortChoice> choices;
    for (const PresentPort& port : present) {
        PortChoice choice;
        choice.name = port.name;
        choice.label = port.name;
        for (const std::string* part : {&port.description, &port.serial}) {
            if (!part->empty()) {
                choice.label += "  " + *part;
            }
        }
        choice.checked = isChecked(port.name);
        choices.push_back(std::move(choice));
    }
    for (const std::string& name : checked) {
        const bool listed = std::any_of(choices.begin(), choices.end(),
                                        [&](const PortChoice& c) { return c.name == name; });
        if (!listed) {
            choices.push_back(PortChoice{name, name + "  " + kPortAbsent, true, false});
        }
    }
    return choices;
}

std::vector<std::string> CheckedPorts(const std::vector<PortChoice>& choices) {
    std::vector<std::string> names;
    for (const PortChoice& choice : choices) {
        if (choice.checked) {
            names.push_back(choice.name);
        }
    }
    return names;
}

int TransferPercent(uint32_t blocks, uint32_t totalBlocks) {
    if (totalBlocks == 0) {
        return 0;
    }
    const uint64_t percent = uint64_t{blocks} * kPercentAll / totalBlocks;
    return static_cast<int>(std::min<uint64_t>(percent, kPercentAll));
}

std::string TimeLeftText(std::chrono::milliseconds left) {
    // Rounded up: "0:00" only once nothing is left.
    const int64_t ms = std::max<int64_t>(left.count(), 0);
    const int64_t seconds = (ms + kMillisPerSecond - 1) / kMillisPerSecond;
    char text[48];
    std::snprintf(text, sizeof text, "剩余 %lld:%02lld",
                  static_cast<long long>(seconds / kSecondsPerMinute),
                  static_cast<long long>(seconds % kSecondsPerMinute));
    return text;
}

std::string TimeLeftText(uint32_t blocks, uint32_t totalBlocks, std::chrono::milliseconds elapsed) {
    if (blocks == 0 || totalBlocks == 0 || elapsed.count() <= 0) {
        return std::string();
    }
    const uint32_t left = blocks >= totalBlocks ? 0 : totalBlocks - blocks;
    return TimeLeftText(
        std::chrono::milliseconds(elapsed.count() * int64_t{left} / int64_t{blocks}));
}

PanelView MakePanel(const PortLook& port) {
    PanelView view;
    view.name = port.name;
    view.counters = CountersText(port);
    switch (port.stage) {
        case PortStage::Idle:
            // An ended port keeps its last verdict: the board may still be on the fixture.
            if (port.lastVerdict) {
                ShowVerdict(port, view);
            } else {
                view.word = kWordStopped;
                view.colour = PanelColour::Grey;
            }
            break;
        case PortStage::PlaceBoard:
            view.word = kWordPlaceBoard;
            view.colour = PanelColour::Grey;
            break;
        case PortStage::Searching:
            view.word = kWordSearching;
            view.colour = PanelColour::Blue;
            break;
        case PortStage::Transfer: {
            const int percent =
                std::clamp(port.percent.value_or(TransferPercent(port.blocks, port.totalBlocks)), 0,
                           kPercentAll);
            view.word = std::string(kWordUpgrading) + " " + std::to_string(percent) + "%";
            view.colour = PanelColour::Blue;
            view.percent = percent;
            view.line = port.timeLeft
                            ? TimeLeftText(*port.timeLeft)
                            : TimeLeftText(port.blocks, port.totalBlocks, port.transferElapsed);
            view.lineColour = PanelColour::Blue;
            break;
        }
        case PortStage::WaitingGone:
            // The verdict stays in sight until the board is taken off.
            if (port.lastVerdict) {
                ShowVerdict(port, view);
                if (!view.line.empty()) {
                    view.line += "  ";
                }
                view.line += kWordRemoveBoard;
                view.lineColour =
                    view.colour == PanelColour::Red ? PanelColour::Red : PanelColour::Amber;
            } else {
                view.word = kWordRemoveBoard;
                view.colour = PanelColour::Amber;
            }
            break;
        case PortStage::Reopening:
            view.word = kWordDeviceGone;
            view.colour = PanelColour::Grey;
            break;
    }
    return view;
}

Totals SumTotals(const std::vector<PortLook>& ports) {
    Totals totals;
    for (const PortLook& port : ports) {
        totals.boards += port.boards;
        totals.succeeded += port.succeeded;
        totals.failed += port.failed;
    }
    const uint32_t judged = totals.succeeded + totals.failed;
    if (judged > 0) {
        totals.yieldPercent = double(totals.succeeded) * kPercentAll / double(judged);
    }
    return totals;
}

std::string TotalsText(const Totals& totals) {
    std::string yield = "-";
    if (totals.yieldPercent) {
        char text[16];
        std::snprintf(text, sizeof text, "%.1f%%", *totals.yieldPercent);
        yield = text;
    }
    return "板数 " + std::to_string(totals.boards) + "  成功 " + std::to_string(totals.succeeded) +
           "  失败 " + std::to_string(totals.failed) + "  良率 " + yield;
}

void CRecordTable::Add(const BoardRecord& record) {
    RecordRow row;
    row.time = record.time;
    row.port = record.port;
    row.board = std::to_string(record.board);
    row.result = record.result;
    row.step = record.step;
    char seconds[32];
    // As the log writes it, so a row can be found in the log by its figures.
    std::snprintf(seconds, sizeof seconds, "%.3f", record.seconds < 0 ? 0.0 : record.seconds);
    row.seconds = seconds;
    m_rows.push_front(std::move(row));
    if (m_rows.size() > kRecordRowsKept) {
        m_rows.pop_back();
    }
}

std::vector<std::string> RecordColumnTitles() {
    return {"时间", "端口", "板号", "结果", "步骤", "秒"};
}

Grid GridFor(size_t panels) {
    if (panels == 0) {
        return Grid{};
    }
    const size_t rows = (panels + kMaxPanelColumns - 1) / kMaxPanelColumns;
    const size_t columns = (panels + rows - 1) / rows;
    return Grid{rows, columns};
}

Sound SoundFor(BoardVerdict verdict, bool soundsOn) {
    if (!soundsOn) {
        return Sound::None;
    }
    switch (verdict) {
        case BoardVerdict::Succeeded:
            return Sound::Short;
        case BoardVerdict::Failed:
            return Sound::Long;
        case BoardVerdict::Interrupted:
            return Sound::None;
    }
    return Sound::None;
}

bool MustAskBeforeStop(const std::vector<PortLook>& ports) {
    return std::any_of(ports.begin(), ports.end(),
                       [](const PortLook& port) { return InTransfer(port); });
}

std::string AskStopText(const std::vector<PortLook>& ports) {
    std::string names;
    for (const PortLook& port : ports) {
        if (InTransfer(port)) {
            names += (names.empty() ? "" : "、") + port.name;
        }
    }
    return names + " 正在升级。停止后这些电路板记为中断，需要重新升级。确定停止吗？";
}

int ExitCodeFor(const Totals& totals, bool anyInterrupted, bool logFailed) {
    if (anyInterrupted) {
        return kExitInterrupted;
    }
    if (totals.failed > 0 || logFailed) {
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace tarvik::station
