// tarvik-station's Qt view over a scripted station: what it draws from each look, the records
// table, 停止 and closing with their question, keys that must not stop a transfer, a log that
// fails, --count ending the window with its code, and the strip remembered between runs.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include "box_answer.h"
#include "scoped_config.h"
#include "scripted_station.h"
#include "station/station_options.h"
#include "station_window/station_window.h"

namespace tarvik::station {
namespace {

using namespace std::chrono_literals;

using testing::CScriptedSource;
using testing::Event;
using testing::FailedLook;
using testing::Look;
using testing::Script;

class StationWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<testing::ScopedConfigHome> m_config;
    std::shared_ptr<Script> m_script;
    QString m_settings;

    std::unique_ptr<CStationWindow> Make(const StationCommandLine& line = {},
                                         const std::vector<PresentPort>& present = {}) {
        m_script = std::make_shared<Script>();
        return std::make_unique<CStationWindow>(std::make_unique<CScriptedSource>(m_script),
                                                m_settings, line, present);
    }

    // A window running on ports COM1 and COM2, both searching.
    std::unique_ptr<CStationWindow> Running() {
        StationCommandLine line;
        line.ports = {"COM1", "COM2"};
        line.image = "/firmware.bin";
        line.log = (m_config->path() / "boards.csv").string();
        auto window = Make(line);
        window->show();
        m_script->look = {Look("COM1", PortStage::PlaceBoard), Look("COM2", PortStage::PlaceBoard)};
        window->OnStart();
        return window;
    }

    void Redraw() { QTest::qWait(static_cast<int>(kRedrawPeriod.count()) * 3); }

private slots:
    void init() {
        m_config = std::make_unique<testing::ScopedConfigHome>();
        m_settings = QString::fromStdString((m_config->path() / "tarvik-station.ini").string());
    }
    void cleanup() { m_config.reset(); }

    void startHandsTheStripToTheStation() {
        auto window = Running();
        QCOMPARE(m_script->starts.size(), size_t{1});
        const StationRequest& request = m_script->starts[0];
        QCOMPARE(request.ports, (std::vector<std::string>{"COM1", "COM2"}));
        QCOMPARE(request.image, std::string("/firmware.bin"));
        QCOMPARE(request.dataBitsIndex, 1);
        QVERIFY(!request.count);
        QVERIFY(window->Running());
        QVERIFY(!window->startButton->isEnabled());
        QVERIFY(window->stopButton->isEnabled());
        QVERIFY(!window->portList->isEnabled());
        QVERIFY(!window->imageEdit->isEnabled());
        QCOMPARE(window->panels.size(), size_t{2});
    }

    void aStartWithoutImageOrPortIsRefusedBeforeTheStation() {
        for (const bool withImage : {false, true}) {
            StationCommandLine line;
            if (withImage) {
                line.image = "/firmware.bin";  // but no port checked
            }
            auto window = Make(line);
            window->show();
            BoxAnswer ok([](QMessageBox* box) { box->accept(); });
            window->OnStart();
            QCOMPARE(ok.texts.size(), 1);
            QVERIFY(m_script->starts.empty());
            QVERIFY(!window->Running());
        }
    }

    void aRefusedStartIsSaidAndNothingRuns() {
        StationCommandLine line;
        line.ports = {"COM1"};
        line.image = "/firmware.bin";
        auto window = Make(line);
        window->show();
        m_script->startError = {StartError::Kind::Port, "COM1: 串口不存在或被其他程序占用"};
        window->OnStart();
        QVERIFY(!window->Running());
        QVERIFY(window->startButton->isEnabled());
        QVERIFY(window->noticeLabel->isVisible());
        QVERIFY(window->noticeLabel->text().contains("COM1"));
        QCOMPARE(window->ExitCode(), int(kExitPortFailed));
    }

    void panelsShowEachStage() {
        auto window = Running();
        const PortLook failed = FailedLook("COM2", "升级失败(0x1b)");
        m_script->look = {Look("COM1", PortStage::Transfer), failed};
        Redraw();
        CStationPanel* one = window->panels[0];
        CStationPanel* two = window->panels[1];
        QCOMPARE(one->name->text(), QString("COM1"));
        QCOMPARE(one->word->text(), QString("升级中 25%"));
        QVERIFY(one->bar->isVisible());
        QCOMPARE(one->bar->value(), 25);
        QVERIFY(one->line->text().startsWith("剩余 0:15"));
        QCOMPARE(two->word->text(), QString("失败"));
        QVERIFY(two->word->styleSheet().contains("#c62828"));
        QVERIFY(two->line->text().contains("升级失败(0x1b)"));
        QVERIFY(two->line->text().contains("checksum"));
        QVERIFY(two->line->text().contains("请取下电路板"));
        QVERIFY(!two->bar->isVisible());
        QCOMPARE(two->counters->text(), QString("1 块  成功 0  失败 1"));
        QCOMPARE(window->totalsLabel->text(), QString("板数 1  成功 0  失败 1  良率 0.0%"));

        m_script->look[1] = Look("COM2", PortStage::Reopening);
        Redraw();
        QCOMPARE(two->word->text(), QString("设备已拔出"));
    }

    void recordsNewestFirstFieldByField() {
        auto window = Running();
        m_script->events = {Event("COM1", 1, BoardVerdict::Succeeded),
                            Event("COM2", 1, BoardVerdict::Failed)};
        Redraw();
        m_script->events = {Event("COM1", 2, BoardVerdict::Succeeded)};
        Redraw();
        QTableWidget* table = window->recordTable;
        QCOMPARE(table->rowCount(), 3);
        const QStringList newest = {"2026-12-11T06:02:00.000Z", "COM1", "2", "ok", "", "3.250"};
        const QStringList failed = {
            "2026-12-11T06:01:00.000Z", "COM2", "1", "failed", "checksum", "3.250"};
        for (int c = 0; c < 6; ++c) {
            QCOMPARE(table->item(0, c)->text(), newest[c]);
            QCOMPARE(table->item(1, c)->text(), failed[c]);
        }
        QCOMPARE(table->item(2, 1)->text(), QString("COM1"));
    }

    void stopDuringATransferAsksAndEnterKeepsTheBoardsGoing() {
        auto window = Running();
        m_script->look[0] = Look("COM1", PortStage::Transfer);
        Redraw();
        {
            BoxAnswer enter([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
            QVERIFY(!window->OnStop());
            QCOMPARE(enter.texts.size(), 1);
            QVERIFY(enter.texts[0].contains("COM1"));
            QVERIFY(!enter.texts[0].contains("COM2"));
        }
        QCOMPARE(m_script->stops, 0);
        QVERIFY(window->Running());

        {
            BoxAnswer escape([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
            QVERIFY(!window->OnStop());
            QCOMPARE(escape.texts.size(), 1);
            QCOMPARE(m_script->stops, 0);
        }
        BoxAnswer yes([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        QVERIFY(window->OnStop());
        QCOMPARE(m_script->stops, 1);
        QCOMPARE(m_script->inTransferAtStop, 1u);
        QVERIFY(!window->Running());
        QVERIFY(window->startButton->isEnabled());
        QCOMPARE(window->panels[0]->word->text(), QString("已中断"));
        QCOMPARE(window->ExitCode(), int(kExitInterrupted));
    }

    void stopWithoutATransferEndsAtOnce() {
        auto window = Running();
        BoxAnswer any([](QMessageBox* box) { box->accept(); });
        QVERIFY(window->OnStop());
        QVERIFY(any.texts.isEmpty());
        QCOMPARE(m_script->stops, 1);
        QCOMPARE(window->ExitCode(), int(kExitOk));
    }

    void keysDuringATransferStopNothing() {
        auto window = Running();
        m_script->look[0] = Look("COM1", PortStage::Transfer);
        Redraw();
        window->activateWindow();
        // Whatever has the focus, and on the window itself.
        for (QWidget* target : {static_cast<QWidget*>(window.get()), QApplication::focusWidget()}) {
            if (target == nullptr) {
                continue;
            }
            for (const Qt::Key key :
                 {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape, Qt::Key_S}) {
                QTest::keyClick(target, key);
            }
        }
        QTest::keyClick(window.get(), Qt::Key_F4, Qt::AltModifier);
        QApplication::processEvents();
        QCOMPARE(m_script->stops, 0);
        QVERIFY(window->Running());
        QVERIFY(window->isVisible());
        QVERIFY(!window->stopButton->hasFocus());
    }

    void closingDuringATransferAsksFirst() {
        auto window = Running();
        m_script->look[1] = Look("COM2", PortStage::Transfer);
        Redraw();
        {
            BoxAnswer no([](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
            QVERIFY(!window->close());
            QCOMPARE(no.texts.size(), 1);
            QVERIFY(window->isVisible());
            QCOMPARE(m_script->stops, 0);
        }
        BoxAnswer yes([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        QVERIFY(window->close());
        QCOMPARE(m_script->stops, 1);
        QCOMPARE(m_script->inTransferAtStop, 1u);
        QCOMPARE(window->ExitCode(), int(kExitInterrupted));
    }

    void aLogThatFailsIsSaid() {
        auto window = Running();
        QVERIFY(!window->noticeLabel->isVisible());
        m_script->logFailure = "/mnt/full/boards.csv: No space left on device";
        Redraw();
        QVERIFY(window->noticeLabel->isVisible());
        QVERIFY(window->noticeLabel->text().contains("No space left on device"));
        QVERIFY(window->noticeLabel->text().contains("不再接收"));
        m_script->ended = true;  // the station took no further board
        Redraw();
        QVERIFY(!window->Running());
        QCOMPARE(window->ExitCode(), int(kExitFailed));  // a board may be unrecorded
    }

    void countEndsTheWindowWithItsCode() {
        struct Case {
            uint32_t failed;
            int code;
        };
        for (const Case c : {Case{0, kExitOk}, Case{1, kExitFailed}}) {
            StationCommandLine line;
            line.ports = {"COM1"};
            line.image = "/firmware.bin";
            line.count = 2;
            line.start = true;
            auto window = Make(line);
            window->show();
            m_script->look = {Look("COM1", PortStage::PlaceBoard)};
            QTRY_COMPARE(m_script->starts.size(), size_t{1});  // --start: at once
            QCOMPARE(m_script->starts[0].count, std::optional<uint64_t>(2));
            PortLook done = Look("COM1", PortStage::Idle);
            done.boards = 2;
            done.succeeded = 2 - c.failed;
            done.failed = c.failed;
            done.lastVerdict = c.failed ? BoardVerdict::Failed : BoardVerdict::Succeeded;
            m_script->look = {done};
            m_script->ended = true;
            QTRY_VERIFY(!window->isVisible());
            QCOMPARE(window->ExitCode(), c.code);
            QCOMPARE(m_script->stops, 1);
        }
    }

    void eightPanelsFitTheSmallScreen() {
        StationCommandLine line;
        for (int i = 1; i <= 8; ++i) {
            line.ports.push_back("COM" + std::to_string(i));
        }
        auto window = Make(line);
        window->show();
        QCOMPARE(window->panels.size(), size_t{8});
        // Two rows of four.
        QVERIFY(window->panels[3]->y() == window->panels[0]->y());
        QVERIFY(window->panels[4]->y() > window->panels[0]->y());
        // The work area of a 1366x768 screen less a taskbar and a title bar.
        const QSize needed = window->minimumSizeHint();
        QVERIFY2(needed.width() <= 1366 && needed.height() <= 768 - 40 - 30,
                 qPrintable(QString("%1x%2").arg(needed.width()).arg(needed.height())));
    }

    void theStripIsRememberedButAShortcutsPortsAreNot() {
        {
            auto window = Make({}, {{"COM3", "FT232R USB UART", "A10K3B7Q"}, {"COM4", "", ""}});
            QCOMPARE(window->portList->count(), 2);
            QCOMPARE(window->portList->item(0)->text(), QString("COM3  FT232R USB UART  A10K3B7Q"));
            QVERIFY(window->logEdit->text().endsWith(".csv"));
            window->imageEdit->setText("/a.bin");
            window->logEdit->setText("/tmp/x.csv");
            window->portList->item(1)->setCheckState(Qt::Checked);
            window->parityBox->setCurrentIndex(2);
            window->soundsBox->setChecked(false);
            window->show();
            QVERIFY(window->close());
        }
        {
            StationCommandLine line;
            line.ports = {"/dev/pts/99"};
            auto window = Make(line, {{"COM3", "", ""}, {"COM4", "", ""}});
            QCOMPARE(window->imageEdit->text(), QString("/a.bin"));
            QCOMPARE(window->logEdit->text(), QString("/tmp/x.csv"));
            QCOMPARE(window->parityBox->currentIndex(), 2);
            QVERIFY(!window->soundsBox->isChecked());
            // Only the shortcut's port is checked for this run.
            QCOMPARE(window->portList->item(1)->checkState(), Qt::Unchecked);
            QCOMPARE(window->portList->item(2)->text(), QString("/dev/pts/99  (未连接)"));
            QCOMPARE(window->portList->item(2)->checkState(), Qt::Checked);
            window->show();
            QVERIFY(window->close());
        }
        auto window = Make({}, {{"COM3", "", ""}, {"COM4", "", ""}});
        QCOMPARE(window->portList->count(), 2);
        QCOMPARE(window->portList->item(1)->checkState(), Qt::Checked);
    }
};

}  // namespace
}  // namespace tarvik::station

QTEST_MAIN(tarvik::station::StationWindowTest)
#include "station_window_test.moc"
