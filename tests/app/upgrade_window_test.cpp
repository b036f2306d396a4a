// Whole upgrades in the window against tarvik-sim, reached as a COM name through the ports
// folder: success on both lines, and a window closed in the middle of a transfer that ends
// cleanly even while a reply is being handed over.
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QtTest>

#include <filesystem>
#include <memory>
#include <thread>

#include "modal_answerer.h"
#include "sim_process.h"
#include "upgrade/image.h"
#include "upgrade/texts.h"
#include "window_fixture.h"

static void InitResources() {
    Q_INIT_RESOURCE(tarvik);
}

namespace tarvik {

using testing::ModalAnswerer;
using testing::ReadText;
using testing::ScopedConfigHome;
using testing::SimExecutable;
using testing::SimProcess;
using testing::WindowParts;
using testing::WriteImage;

namespace {

constexpr int kSimCom = 9;
constexpr int kUpgradeWaitMs = 120000;  // generous: a loaded machine, real serial timing
constexpr int kWaitMs = 30000;
constexpr std::chrono::seconds kSimExitWait{30};
constexpr size_t kSmallImage = 3000;        // 24 blocks
constexpr size_t kLargeImage = 256 * 1024;  // 2049 blocks: long enough to interrupt
constexpr uint32_t kBlocksBeforeClosing = 8;
// Long enough for the board to answer the block in flight, so that its reply waits in the
// hand-over while the window's thread is busy.
constexpr std::chrono::milliseconds kBusyWindow{400};

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

}  // namespace

class UpgradeWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScopedConfigHome> m_home;

    // The window on the simulated board's COM name, its image chosen and the port open.
    std::unique_ptr<CUpgradeDlg> ReadyWindow(const std::filesystem::path& image) {
        auto dlg = std::make_unique<CUpgradeDlg>();
        dlg->show();
        WindowParts parts(*dlg);
        const QString path = QString::fromStdString(image.string());
        dlg->chooseImageFile = [path] { return path; };
        parts.browse->click();
        parts.portList->setCurrentIndex(kSimCom - 1);
        parts.openClose->click();
        return dlg;
    }

private slots:
    void initTestCase() {
        InitResources();
        QCoreApplication::setApplicationName(QString::fromLatin1(testing::kAppName));
    }
    void init() {
        if (!QFileInfo(QString::fromStdString(SimExecutable())).isExecutable()) {
            QSKIP("tarvik-sim has not been built");
        }
        m_home = std::make_unique<ScopedConfigHome>();
    }
    void cleanup() { m_home.reset(); }

    void wholeUpgradeSucceeds() {
        const auto image = m_home->path() / "relay.bin";
        const auto received = m_home->path() / "received.bin";
        WriteImage(image, kSmallImage);
        SimProcess sim({"--com", std::to_string(kSimCom), "--once", "--out", received.string()});

        ModalAnswerer answerer;
        auto dlg = ReadyWindow(image);
        WindowParts parts(*dlg);
        QCOMPARE(parts.openClose->text(), Utf8(text::kCloseCaption));
        QCOMPARE(parts.fileBox->text(), QStringLiteral("relay.bin"));

        parts.start->click();
        QVERIFY(!parts.start->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(parts.statusLine->text(), Utf8(text::kUpgradeSucceeded),
                                  kUpgradeWaitMs);
        QCOMPARE(parts.infoLine->text(), Utf8(text::kUpgradeSucceeded));
        const int blocks = static_cast<int>(TotalBlocks(kSmallImage));
        QCOMPARE(parts.progress->maximum(), blocks);
        QCOMPARE(parts.progress->value(), blocks);
        QVERIFY(parts.start->isEnabled());
        QCOMPARE(answerer.messages, QStringList());
        QVERIFY(!dlg->IsTimerActive(kResendTimer));
        QVERIFY(!dlg->IsTimerActive(kScanTimer));
        QVERIFY(!dlg->IsTimerActive(kFastResendTimer));

        const std::optional<int> status = sim.waitExit(kSimExitWait);
        QVERIFY(status.has_value());
        QCOMPARE(*status, 0);
        const std::string board = ReadText(received);
        QCOMPARE(board.size(), static_cast<size_t>(blocks) * 128);
        QVERIFY(board.compare(0, kSmallImage, ReadText(image)) == 0);

        // Closing the port after the upgrade: the reader ends and closes it.
        parts.openClose->click();
        QTRY_VERIFY_WITH_TIMEOUT(!dlg->Reader().Running(), kWaitMs);
        QVERIFY(!dlg->Port().IsOpen());
    }

    // An operator at a fixture taps 开始升级 twice (and a third time with Enter): the taps
    // after the first land on the read-only file box, and the upgrade they started goes on
    // to its end.
    void tappingStartTwiceLetsTheUpgradeGoOn() {
        const auto image = m_home->path() / "relay.bin";
        WriteImage(image, kSmallImage);
        SimProcess sim({"--com", std::to_string(kSimCom), "--once", "--pace"});

        ModalAnswerer answerer;
        auto dlg = ReadyWindow(image);
        WindowParts parts(*dlg);
        parts.start->setFocus();
        QTest::keyClick(parts.start, Qt::Key_Space);
        QVERIFY(!parts.start->isEnabled());
        for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return}) {
            QTest::keyClick(dlg->focusWidget(), key);
            QVERIFY(dlg->isVisible());
            QVERIFY(!parts.start->isEnabled());
            QVERIFY(parts.infoLine->text() != Utf8(text::kUpgradeStopped));
        }
        QTRY_COMPARE_WITH_TIMEOUT(parts.statusLine->text(), Utf8(text::kUpgradeSucceeded),
                                  kUpgradeWaitMs);
        QCOMPARE(parts.progress->value(), static_cast<int>(TotalBlocks(kSmallImage)));
        QCOMPARE(dlg->focusWidget(), parts.start);
        QCOMPARE(answerer.messages, QStringList());
        const std::optional<int> status = sim.waitExit(kSimExitWait);
        QVERIFY(status.has_value());
        QCOMPARE(*status, 0);
    }

    // Open/Close closing the port in the middle of a transfer is the engine's port-closed
    // event, as in every other front end: the resend timer stops and the upgrade is stalled
    // (a front end that gives up on stalls sees it), until Stop.
    void closingThePortDuringATransferStallsIt() {
        const auto image = m_home->path() / "large.bin";
        WriteImage(image, kLargeImage);
        SimProcess sim({"--com", std::to_string(kSimCom), "--pace"});

        ModalAnswerer answerer;
        auto dlg = ReadyWindow(image);
        WindowParts parts(*dlg);
        parts.start->click();
        QTRY_VERIFY_WITH_TIMEOUT(dlg->Engine().Phase() == UpgradePhase::Sending, kUpgradeWaitMs);
        parts.openClose->click();
        QCOMPARE(parts.openClose->text(), Utf8(text::kOpenCaption));
        QCOMPARE(dlg->Engine().Phase(), UpgradePhase::Stalled);
        QVERIFY(!dlg->IsTimerActive(kResendTimer));
        QVERIFY(!parts.start->isEnabled());
        parts.stop->click();
        QCOMPARE(dlg->Engine().Phase(), UpgradePhase::Idle);
        QVERIFY(parts.start->isEnabled());
        QCOMPARE(answerer.messages, QStringList());
        sim.stop();
    }

    // The close box in the middle of a transfer: the settings are saved and the window goes
    // away while the board's reply to the block in flight waits in the hand-over; the reader
    // is let go and has ended before the port is destroyed.
    void closingDuringATransferEndsCleanly() {
        const auto image = m_home->path() / "large.bin";
        WriteImage(image, kLargeImage);
        SimProcess sim({"--com", std::to_string(kSimCom), "--pace"});

        ModalAnswerer answerer;
        auto dlg = ReadyWindow(image);
        WindowParts parts(*dlg);
        QCOMPARE(parts.openClose->text(), Utf8(text::kCloseCaption));
        parts.start->click();
        QTRY_VERIFY_WITH_TIMEOUT(dlg->Engine().State().blockCounter >= kBlocksBeforeClosing,
                                 kUpgradeWaitMs);
        QCOMPARE(dlg->Engine().Phase(), UpgradePhase::Sending);

        std::this_thread::sleep_for(kBusyWindow);
        dlg->close();
        QVERIFY(!dlg->isVisible());
        QElapsedTimer ending;
        ending.start();
        dlg.reset();
        // Bounded by the reader's read cycle, not by the transfer.
        QVERIFY2(ending.elapsed() < kWaitMs, qPrintable(QString::number(ending.elapsed())));
        QCOMPARE(answerer.messages, QStringList());
        QVERIFY(ReadText(m_home->settingsFile()).find("\nScom=8\n") != std::string::npos);

        // Nothing of the window is left to run: events still queued for it are dropped.
        QTest::qWait(200);
        sim.stop();
    }
};

}  // namespace tarvik

QTEST_MAIN(tarvik::UpgradeWindowTest)
#include "upgrade_window_test.moc"
