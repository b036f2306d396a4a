// tarvik-station's Qt view on the real station against rows of simulated boards
// (tarvik-sim --boards) on two or more ports: a row with a failure among good boards and a
// board that stays, the state words at each stage, the records in the log and in the table
// field by field, an adapter pulled and put back, 停止 in the middle of a transfer with its
// question, and --count ending the program with the right code.
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "box_answer.h"
#include "csv_text.h"
#include "scoped_config.h"
#include "sim_process.h"
#include "station/station_options.h"
#include "station_window/station_window.h"
#include "upgrade/board_record.h"

namespace tarvik::station {
namespace {

using namespace std::chrono_literals;
using testing::SimProcess;

// Generous bounds for a loaded two-core machine; none is a speed claim.
constexpr int kRunBoundMs = 120000;
constexpr int kWatchPeriodMs = 20;
constexpr uint32_t kImageLength = 3000;    // 24 blocks
constexpr uint32_t kLargeImage = 1 << 20;  // far longer than any test waits for
// A finished board's application runs this long before the next board is on the fixture:
// beyond the time the station takes to see that a board has gone.
constexpr char kSwap[] = "3";

using Row = std::map<std::string, std::string>;

// The log's records, oldest first.
std::vector<Row> LogRows(const std::string& path) {
    std::string text = testing::ReadText(path);
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
        text = text.substr(3);
    }
    return testing::CsvRowsByHeader(text);
}

// Every state word and line each panel showed, sampled while the test waits.
class WordWatch {
public:
    explicit WordWatch(CStationWindow& window) : m_window(window) {
        QObject::connect(&m_poll, &QTimer::timeout, [this] { Sample(); });
        m_poll.start(kWatchPeriodMs);
    }
    // The words (percent cut off) panel `i` showed.
    const std::set<QString>& Words(size_t i) { return m_words[i]; }
    const std::set<QString>& Lines(size_t i) { return m_lines[i]; }

private:
    void Sample() {
        for (size_t i = 0; i < m_window.panels.size(); ++i) {
            QString word = m_window.panels[i]->word->text();
            if (word.startsWith(QString::fromUtf8(kWordUpgrading))) {
                word = QString::fromUtf8(kWordUpgrading);
            }
            m_words[i].insert(word);
            m_lines[i].insert(m_window.panels[i]->line->text());
        }
    }
    CStationWindow& m_window;
    QTimer m_poll;
    std::map<size_t, std::set<QString>> m_words;
    std::map<size_t, std::set<QString>> m_lines;
};

bool AnyContains(const std::set<QString>& texts, const char* part) {
    for (const QString& text : texts) {
        if (text.contains(QString::fromUtf8(part))) {
            return true;
        }
    }
    return false;
}

class StationSimTest : public QObject {
    Q_OBJECT

    std::unique_ptr<testing::ScopedConfigHome> m_config;

    std::string Path(const std::string& name) const { return (m_config->path() / name).string(); }

    std::string WriteImage(const std::string& name, uint32_t length) const {
        std::string bytes(length, '\0');
        for (uint32_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
        }
        bytes.replace(1, 3, "IO-");
        testing::WriteText(Path(name), bytes);
        return Path(name);
    }

    std::unique_ptr<CStationWindow> Window(const StationCommandLine& line) {
        auto window = std::make_unique<CStationWindow>(
            StationRun(), QString::fromStdString(Path("tarvik-station.ini")), line,
            std::vector<PresentPort>{});
        window->show();
        return window;
    }

private slots:
    void init() { m_config = std::make_unique<testing::ScopedConfigHome>(); }
    void cleanup() { m_config.reset(); }

    // Two ports, three boards each: board 2 of port A fails in a block, port B's boards stay
    // answering enter-upgrade a while after their finish. Every board is taken and recorded
    // once; the panels show each stage; the window ends after --count with code 1.
    void aRowWithAFailureAndBoardsThatStay() {
        const std::string image = WriteImage("image.bin", kImageLength);
        SimProcess a({"--boards", "3", "--swap", kSwap, "--pace", "--fail", "2/27@2"});
        SimProcess b({"--boards", "3", "--swap", kSwap, "--pace", "--stay", "2.5"});
        StationCommandLine line;
        line.ports = {a.slavePath(), b.slavePath()};
        line.image = image;
        line.log = Path("boards.csv");
        line.count = 3;
        line.start = true;
        auto window = Window(line);
        WordWatch watch(*window);
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), kRunBoundMs);
        QCOMPARE(window->ExitCode(), int(kExitFailed));

        // The stages, as the operator saw them on each panel.
        for (size_t i = 0; i < 2; ++i) {
            const std::set<QString>& words = watch.Words(i);
            const QString seen = QStringList(words.begin(), words.end()).join('|');
            QVERIFY2(AnyContains(words, kWordPlaceBoard), qPrintable(seen));
            QVERIFY2(AnyContains(words, kWordUpgrading), qPrintable(seen));
            QVERIFY2(AnyContains(words, kWordSucceeded), qPrintable(seen));
            QVERIFY(AnyContains(watch.Lines(i), kWordRemoveBoard));
            QVERIFY(AnyContains(watch.Lines(i), "剩余"));
        }
        QVERIFY(AnyContains(watch.Words(0), kWordFailed));
        QVERIFY(!AnyContains(watch.Words(1), kWordFailed));
        QVERIFY(AnyContains(watch.Lines(0), "block"));

        // The log: each board once, field by field.
        const std::vector<Row> rows = LogRows(*line.log);
        QCOMPARE(rows.size(), size_t{6});
        std::map<std::string, std::vector<Row>> byPort;
        for (const Row& row : rows) {
            byPort[row.at("port")].push_back(row);
        }
        for (const std::string& port : line.ports) {
            QCOMPARE(byPort[port].size(), size_t{3});
            for (size_t i = 0; i < 3; ++i) {
                const Row& row = byPort[port][i];
                const bool failing = port == a.slavePath() && i == 1;
                QCOMPARE(row.at("board"), std::to_string(i + 1));
                QCOMPARE(row.at("result"), std::string(failing ? "failed" : "ok"));
                QCOMPARE(row.at("step"), std::string(failing ? "block" : ""));
                QCOMPARE(row.at("resends"), std::string("0"));  // no staying board taken twice
                QCOMPARE(row.at("bytes"), std::to_string(kImageLength));
                QCOMPARE(row.at("image"), image);
                QCOMPARE(row.at("baud"), std::string("115200"));
            }
        }
        // The table: the same records, newest first.
        QTableWidget* table = window->recordTable;
        QCOMPARE(table->rowCount(), 6);
        for (int r = 0; r < 6; ++r) {
            const Row& row = rows[rows.size() - 1 - static_cast<size_t>(r)];
            QCOMPARE(table->item(r, 0)->text().toStdString(), row.at("time"));
            QCOMPARE(table->item(r, 1)->text().toStdString(), row.at("port"));
            QCOMPARE(table->item(r, 2)->text().toStdString(), row.at("board"));
            QCOMPARE(table->item(r, 3)->text().toStdString(), row.at("result"));
            QCOMPARE(table->item(r, 4)->text().toStdString(), row.at("step"));
            QCOMPARE(table->item(r, 5)->text().toStdString(), row.at("seconds"));
        }
        QCOMPARE(window->totalsLabel->text(), QString("板数 6  成功 5  失败 1  良率 83.3%"));
        QCOMPARE(window->panels[0]->counters->text(), QString("3 块  成功 2  失败 1"));
    }

    // The adapter is pulled in the middle of a transfer: the panel says so, the board is
    // recorded as failed, and the next board on the adapter put back is taken.
    void anAdapterPulledAndPutBack() {
        const std::string image = WriteImage("image.bin", kImageLength);
        const std::string link = Path("fixture");
        std::optional<SimProcess> first(
            std::in_place, std::vector<std::string>{"--link", link, "--vanish-after", "3"});
        SimProcess other({"--boards", "2", "--swap", kSwap});
        StationCommandLine line;
        line.ports = {link, other.slavePath()};
        line.image = image;
        line.log = Path("boards.csv");
        line.count = 2;
        line.start = true;
        auto window = Window(line);
        QTRY_VERIFY_WITH_TIMEOUT(
            window->panels[0]->word->text() == QString::fromUtf8(kWordDeviceGone), kRunBoundMs);
        first.reset();
        SimProcess second({"--link", link});
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), kRunBoundMs);
        QCOMPARE(window->ExitCode(), int(kExitFailed));
        std::vector<Row> fixture;
        for (const Row& row : LogRows(*line.log)) {
            if (row.at("port") == link) {
                fixture.push_back(row);
            }
        }
        QCOMPARE(fixture.size(), size_t{2});
        QCOMPARE(fixture[0].at("result"), std::string("failed"));
        QCOMPARE(fixture[1].at("result"), std::string("ok"));
        QCOMPARE(fixture[1].at("board"), std::string("2"));
    }

    // 停止 during a transfer asks first: 继续升级 keeps the board going, 停止 interrupts it,
    // which is recorded; the other port, waiting for its board, is simply ended.
    void stopInTheMiddleOfATransfer() {
        const std::string image = WriteImage("image.bin", kLargeImage);
        SimProcess busy({"--pace"});
        SimProcess idle({"--boot-after", "3600"});  // no board answers there
        StationCommandLine line;
        line.ports = {busy.slavePath(), idle.slavePath()};
        line.image = image;
        line.log = Path("boards.csv");
        line.start = true;
        auto window = Window(line);
        QTRY_VERIFY_WITH_TIMEOUT(
            window->panels[0]->word->text().startsWith(QString::fromUtf8(kWordUpgrading)),
            kRunBoundMs);
        QCOMPARE(window->panels[1]->word->text(), QString::fromUtf8(kWordPlaceBoard));
        {
            BoxAnswer carryOn([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
            window->stopButton->click();
            QCOMPARE(carryOn.texts.size(), 1);
            QVERIFY(window->Running());
        }
        const int before = window->panels[0]->bar->value();
        QTRY_VERIFY_WITH_TIMEOUT(window->panels[0]->bar->value() > before, kRunBoundMs);
        {
            BoxAnswer stop([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
            window->stopButton->click();
            QCOMPARE(stop.texts.size(), 1);
        }
        QVERIFY(!window->Running());
        QCOMPARE(window->panels[0]->word->text(), QString::fromUtf8(kWordInterrupted));
        QCOMPARE(window->ExitCode(), int(kExitInterrupted));
        const std::vector<Row> rows = LogRows(*line.log);
        QCOMPARE(rows.size(), size_t{1});  // the idle port took no board
        QCOMPARE(rows[0].at("port"), busy.slavePath());
        QCOMPARE(rows[0].at("result"), std::string("interrupted"));
        QVERIFY(window->startButton->isEnabled());
    }

    // A log that cannot be written (a full disk): the window says so, no further board is
    // taken, and the run ends as a failure.
    void aLogThatCannotBeWrittenTakesNoFurtherBoard() {
        if (!std::filesystem::exists("/dev/full")) {
            QSKIP("no /dev/full");
        }
        const std::string image = WriteImage("image.bin", kImageLength);
        SimProcess sim({"--boards", "2", "--swap", kSwap});
        StationCommandLine line;
        line.ports = {sim.slavePath()};
        line.image = image;
        line.log = "/dev/full";
        line.start = true;
        auto window = Window(line);
        QTRY_VERIFY_WITH_TIMEOUT(window->noticeLabel->isVisible(), kRunBoundMs);
        QVERIFY(window->noticeLabel->text().contains("/dev/full"));
        QTRY_VERIFY_WITH_TIMEOUT(!window->Running(), kRunBoundMs);
        QCOMPARE(window->ExitCode(), int(kExitFailed));
        QVERIFY(window->noticeLabel->isVisible());  // still said once the run has ended
        sim.stop();
        QVERIFY2(sim.summary().find("\"upgrades\":1,") != std::string::npos, sim.summary().c_str());
    }

    // The program itself, as a fixture PC's shortcut starts it: --count ends it with 0 when
    // every board succeeded and 1 when one failed.
    void countEndsTheProgramWithTheRightCode() {
        const std::string image = WriteImage("image.bin", kImageLength);
        struct Case {
            std::vector<std::string> simArgs;
            int code;
        };
        const std::vector<Case> cases = {
            {{"--boards", "2", "--swap", kSwap}, kExitOk},
            {{"--boards", "2", "--swap", kSwap, "--fail", "2/29@1"}, kExitFailed},
        };
        for (const Case& c : cases) {
            SimProcess a(c.simArgs);
            SimProcess b({"--boards", "2", "--swap", kSwap});
            QProcess program;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("QT_QPA_PLATFORM", "offscreen");
            program.setProcessEnvironment(environment);
            program.start(
                QString::fromUtf8(TARVIK_STATION_PATH),
                {"--port", QString::fromStdString(a.slavePath()), "--port",
                 QString::fromStdString(b.slavePath()), "--image", QString::fromStdString(image),
                 "--log", QString::fromStdString(Path("count.csv")), "--count", "2", "--start"});
            QVERIFY(program.waitForFinished(kRunBoundMs));
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), c.code);
        }
        QCOMPARE(LogRows(Path("count.csv")).size(), size_t{8});
    }
};

}  // namespace
}  // namespace tarvik::station

QTEST_MAIN(tarvik::station::StationSimTest)
#include "station_sim_test.moc"
