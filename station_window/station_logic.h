// What the station window decides, once, for both of its views (the Qt window and the Win32
// window): from a look at every port, each panel's big state word and colour, the line under
// it, the bar, the time left and the port's counters; the totals and the yield; the table of
// the latest records; the grid of panels; when a verdict's sound is due; whether 停止 or
// closing must ask first; how often the window redraws. Plain C++, no window system; called
// on the window's thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/board_record.h"

namespace tarvik::station {

// The window pulls a look at every port this often: a person reads a panel at a few changes
// a second; a redraw per block (dozens a second on eight ports) would take the line's time.
inline constexpr std::chrono::milliseconds kRedrawPeriod{250};
// The table keeps the latest records this many (the log keeps all of them).
inline constexpr size_t kRecordRowsKept = 200;
// The station takes 1 to 16 ports.
inline constexpr size_t kMaxPanels = 16;
// At most this many panels side by side: eight ports fit a 1366x768 screen as two rows of
// four, each panel wide enough for 升级中 100% and its bar.
inline constexpr size_t kMaxPanelColumns = 4;

// Where a port's station stands.
enum class PortStage {
    Idle,         // not started, or ended (a count reached, 停止, a log that failed)
    PlaceBoard,   // searching; no board has answered yet: the fixture is empty
    Searching,    // a board answered the search; its transfer has not begun
    Transfer,     // blocks are on their way
    WaitingGone,  // the verdict is in; the board is still on the fixture
    Reopening,    // the adapter was pulled; waiting for it to come back
};

// How the last board on a port ended.
enum class BoardVerdict { Succeeded, Failed, Interrupted };

// A look at one port, as the station engine gives it to a view.
struct PortLook {
    std::string name;  // as the operator named the port
    PortStage stage = PortStage::Idle;
    uint32_t board = 1;        // the board searched for or taken, 1, 2, ... within the run
    uint32_t blocks = 0;       // blocks of this board sent so far
    uint32_t totalBlocks = 0;  // 0 until the transfer knows the image's length
    std::chrono::milliseconds transferElapsed{0};  // since the board answered
    // The station's own figures, when it has them: the view shows those rather than its own
    // estimate, so every view of one station says the same.
    std::optional<int> percent;
    std::optional<std::chrono::milliseconds> timeLeft;
    // The last board's outcome; kept until the next board answers.
    std::optional<BoardVerdict> lastVerdict;
    std::string lastReason;  // the text the tool showed for a failure ("升级失败(0x1b)")
    std::string lastStep;    // the failing step's word (StepWord), empty if none
    uint32_t boards = 0;     // counters of the run
    uint32_t succeeded = 0;
    uint32_t failed = 0;
};

// The colours of the state words.
enum class PanelColour { Grey, Blue, Green, Red, Amber };

// The state words.
inline constexpr char kWordPlaceBoard[] = "请放上电路板";
inline constexpr char kWordSearching[] = "正在寻找设备";
inline constexpr char kWordUpgrading[] = "升级中";
inline constexpr char kWordSucceeded[] = "成功";
inline constexpr char kWordFailed[] = "失败";
inline constexpr char kWordInterrupted[] = "已中断";
inline constexpr char kWordRemoveBoard[] = "请取下电路板";
inline constexpr char kWordDeviceGone[] = "设备已拔出";
inline constexpr char kWordStopped[] = "已停止";

// A colour as 0xRRGGBB, the same on both views.
uint32_t ColourRgb(PanelColour colour);

// One panel as drawn.
struct PanelView {
    std::string name;
    std::string word;  // the big state word, "升级中 37%" during a transfer
    PanelColour colour = PanelColour::Grey;
    // The line under the word: a failure's reason and step, 请取下电路板 under a verdict, the
    // time left during a transfer; may be empty.
    std::string line;
    PanelColour lineColour = PanelColour::Grey;
    std::optional<int> percent;  // the bar, 0..100, during a transfer only
    std::string counters;        // "3 块  成功 2  失败 1"
};

PanelView MakePanel(const PortLook& port);

// A port the system lists, with what it knows of the adapter.
struct PresentPort {
    std::string name;         // "COM7"
    std::string description;  // maker and product (udev), Device Manager's name on Windows
    std::string serial;       // the adapter's serial number, may be empty
};
// One line of the settings strip's port list.
struct PortChoice {
    std::string name;
    std::string label;  // "COM7  FT232R USB UART  A10K3B7Q"
    bool checked = false;
    bool present = true;
};
inline constexpr char kPortAbsent[] = "(未连接)";
// The list: every present port in the system's order, checked when it is among `checked`;
// then every checked port the system does not list (a device path given on the command line,
// an adapter not plugged in yet), so nothing chosen disappears from sight.
std::vector<PortChoice> PortChoices(const std::vector<PresentPort>& present,
                                    const std::vector<std::string>& checked);
// The checked names, in the list's order.
std::vector<std::string> CheckedPorts(const std::vector<PortChoice>& choices);

// The percent of a transfer, 0..100, rounded down so 100 means every block went.
int TransferPercent(uint32_t blocks, uint32_t totalBlocks);
// The time a transfer still needs at the rate it has had, as "剩余 1:05"; empty until the
// first block gives a rate.
std::string TimeLeftText(uint32_t blocks, uint32_t totalBlocks, std::chrono::milliseconds elapsed);
// A time left as shown: "剩余 1:05", whole seconds rounded up.
std::string TimeLeftText(std::chrono::milliseconds left);

// The totals over every port. The yield counts judged boards only: an interrupted board says
// nothing about the boards.
struct Totals {
    uint32_t boards = 0;
    uint32_t succeeded = 0;
    uint32_t failed = 0;
    std::optional<double> yieldPercent;  // none before the first verdict
};
Totals SumTotals(const std::vector<PortLook>& ports);
// "板数 12  成功 11  失败 1  良率 91.7%".
std::string TotalsText(const Totals& totals);

// The table of the latest records, newest first, with the fields the log writes.
struct RecordRow {
    std::string time;  // as the log writes it (UTC)
    std::string port;
    std::string board;
    std::string result;  // ok, failed, interrupted
    std::string step;
    std::string seconds;  // milliseconds, as the log writes them
};
class CRecordTable {
public:
    // The record as written to the log; the oldest row goes beyond kRecordRowsKept.
    void Add(const BoardRecord& record);
    // Newest first.
    const std::deque<RecordRow>& Rows() const { return m_rows; }

private:
    std::deque<RecordRow> m_rows;
};
// The headers of the table's columns.
std::vector<std::string> RecordColumnTitles();

// The panels' grid: as few rows as four columns allow, then as few columns as those rows
// need (3 ports in a row, 5 and 6 as two rows of three, 8 as two rows of four).
struct Grid {
    size_t rows = 0;
    size_t columns = 0;
};
Grid GridFor(size_t panels);

// The sound of a verdict.
enum class Sound { None, Short, Long };
// A short sound for a success, a long one for a failure, nothing for an interrupted board or
// with the sounds switched off.
Sound SoundFor(BoardVerdict verdict, bool soundsOn);

// How a sound is made where the system only beeps: this many beeps, this far apart.
int BeepsFor(Sound sound);
inline constexpr std::chrono::milliseconds kBeepGap{300};

// 停止 and closing the window ask first while any board is in transfer (it has answered the
// search): the answer decides whether those boards are interrupted (and recorded so).
bool MustAskBeforeStop(const std::vector<PortLook>& ports);
inline constexpr char kAskStopTitle[] = "停止升级";
std::string AskStopText(const std::vector<PortLook>& ports);

// How the window ends, in tarvik-cli's exit codes: interrupted boards 130; any failure, or a
// log that could not be written, 1; else 0.
int ExitCodeFor(const Totals& totals, bool anyInterrupted, bool logFailed);

}  // namespace tarvik::station
