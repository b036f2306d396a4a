// Whole upgrades in the window against tarvik-sim, reached as a COM name through the ports
// folder: success on both lines, and a window closed in the middle of a transfer that ends
// cleanly even while a reply is being handed over.
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <filesystem>
#include <memory>
#include <thread>

#include "modal_answerer.h"
#include "sim_process.h"
#include "tarvik_version.h"
#include "upgrade/board_record.h"
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

// The log's lines, each a JSON object with its keys in the order they were written.
struct LogLine {
    QJsonObject fields;
    QStringList keys;
};
std::vector<LogLine> ReadLog(const std::filesystem::path& log) {
    std::vector<LogLine> lines;
    const QString text = QString::fromStdString(ReadText(log));
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        LogLine entry;
        entry.fields = QJsonDocument::fromJson(line.toUtf8()).object();
        static const QRegularExpression key(QStringLiteral("\"([a-z_0-9]+)\":"));
        for (auto m = key.globalMatch(line); m.hasNext();) {
            entry.keys << m.next().captured(1);
        }
        lines.push_back(entry);
    }
    return lines;
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

    // With --log the window records the upgrade started with 开始升级: one line, its fields
    // in their order, the image's length, sums and path as the file has them, and no word
    // more in the window.
    void logRecordsAnUpgrade() {
        const auto image = m_home->path() / "固件 relay.bin";
        const auto log = m_home->path() / "boards.jsonl";
        WriteImage(image, kSmallImage);
        SimProcess sim({"--com", std::to_string(kSimCom), "--once"});

        ModalAnswerer answerer;
        auto dlg = ReadyWindow(image);
        dlg->Logic().ApplyCommandLine({"--log", log.string()});
        QVERIFY(dlg->Logic().IsRecording());
        WindowParts parts(*dlg);
        const QDateTime before = QDateTime::currentDateTimeUtc();
        parts.start->click();
        QTRY_COMPARE_WITH_TIMEOUT(parts.statusLine->text(), Utf8(text::kUpgradeSucceeded),
                                  kUpgradeWaitMs);
        const QDateTime after = QDateTime::currentDateTimeUtc();
        QCOMPARE(answerer.messages, QStringList());

        const std::vector<LogLine> lines = ReadLog(log);
        QCOMPARE(lines.size(), size_t{1});
        const QJsonObject& r = lines[0].fields;
        QCOMPARE(lines[0].keys,
                 QStringList({"time", "port", "board", "result", "step", "message", "seconds",
                              "baud", "blocks", "bytes", "resends", "image", "image_sum",
                              "board_sum", "image_sha256", "version", "host"}));
        const QString time = r["time"].toString();
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"))
                     .match(time)
                     .hasMatch(),
                 qPrintable(time));
        const QDateTime started = QDateTime::fromString(time, Qt::ISODateWithMs);
        QVERIFY(started >= before.addMSecs(-1) && started <= after);
        QCOMPARE(r["port"].toString(), QStringLiteral("COM%1").arg(kSimCom));
        QCOMPARE(r["board"].toInt(), 1);
        QCOMPARE(r["result"].toString(), QString::fromLatin1(kRecordOk));
        QVERIFY(r["step"].isNull());
        QCOMPARE(r["message"].toString(), Utf8(text::kUpgradeSucceeded));
        QVERIFY(r["seconds"].toDouble() > 0);
        QVERIFY(r["seconds"].toDouble() <= before.msecsTo(after) / 1000.0 + 0.001);
        QCOMPARE(r["baud"].toInt(), 115200);
        const std::string bytes = ReadText(image);
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        QCOMPARE(r["blocks"].toInt(), static_cast<int>(TotalBlocks(kSmallImage)));
        QCOMPARE(r["bytes"].toInt(), static_cast<int>(kSmallImage));
        QCOMPARE(r["resends"].toInt(), 0);
        QCOMPARE(r["image"].toString(), QString::fromStdString(image.string()));
        QCOMPARE(r["image_sum"].toString(),
                 QStringLiteral("%1").arg(ExpectedSum(data, kSmallImage), 8, 16, QLatin1Char('0')));
        QCOMPARE(r["board_sum"].toString(), r["image_sum"].toString());
        QCOMPARE(r["image_sha256"].toString(),
                 QString::fromStdString(Sha256Hex(data, bytes.size())));
        QCOMPARE(r["version"].toString(), QString::fromLatin1(kVersion));
        QCOMPARE(sim.waitExit(kSimExitWait), std::optional<int>(0));
    }

    // A log that takes no bytes (/dev/full, a full disk): the operator is told when the
    // record is written, the upgrade itself ends as it would, and the window goes on
    // without recording (the next upgrade shows no second message).
    void anUnwritableLogIsSaidAndTheWindowGoesOn() {
        const auto image = m_home->path() / "relay.bin";
        WriteImage(image, kSmallImage);
        SimProcess sim({"--com", std::to_string(kSimCom)});

        ModalAnswerer answerer;
        auto dlg = ReadyWindow(image);
        dlg->Logic().ApplyCommandLine({"--log", "/dev/full"});
        QVERIFY(dlg->Logic().IsRecording());
        WindowParts parts(*dlg);
        for (int upgrade = 1; upgrade <= 2; ++upgrade) {
            parts.statusLine->setText(QString());
            parts.start->click();
            QTRY_COMPARE_WITH_TIMEOUT(parts.statusLine->text(), Utf8(text::kUpgradeSucceeded),
                                      kUpgradeWaitMs);
            QTRY_COMPARE_WITH_TIMEOUT(answerer.messages.size(), 1, kWaitMs);
        }
        QVERIFY2(answerer.messages[0].startsWith(Utf8(kLogWriteFailedText)),
                 qPrintable(answerer.messages[0]));
        QVERIFY(answerer.messages[0].contains(QStringLiteral("/dev/full")));
        QVERIFY(!dlg->Logic().IsRecording());
        sim.stop();
    }

    // Open/Close closing the port in the middle of a transfer is the engine's port-closed
    // event, as in every other front end: the resend timer stops and the upgrade is stalled
    // (a front end that gives up on stalls sees it), until Stop.
    void closingThePortDuringATransferStallsIt() {
        const auto image = m_home->path() / "large.bin";
        WriteImage(image, kLargeImage);
        SimProcess sim({"--com", std::to_string(kSimCom), "--pace"});

        const auto log = m_home->path() / "boards.jsonl";
        ModalAnswerer answerer;
        auto dlg = ReadyWindow(image);
        dlg->Logic().ApplyCommandLine({"--log", log.string()});
        WindowParts parts(*dlg);
        parts.start->click();
        QTRY_VERIFY_WITH_TIMEOUT(dlg->Engine().Phase() == UpgradePhase::Sending, kUpgradeWaitMs);
        parts.openClose->click();
        QCOMPARE(parts.openClose->text(), Utf8(text::kOpenCaption));
        QCOMPARE(dlg->Engine().Phase(), UpgradePhase::Stalled);
        QVERIFY(!dlg->IsTimerActive(kResendTimer));
        QVERIFY(!parts.start->isEnabled());
        QVERIFY(ReadLog(log).empty());
        parts.stop->click();
        QCOMPARE(dlg->Engine().Phase(), UpgradePhase::Idle);
        QVERIFY(parts.start->isEnabled());
        QCOMPARE(answerer.messages, QStringList());
        // Stopped after the board answered: one record, interrupted, with 停止's words.
        const std::vector<LogLine> lines = ReadLog(log);
        QCOMPARE(lines.size(), size_t{1});
        QCOMPARE(lines[0].fields["result"].toString(), QString::fromLatin1(kRecordInterrupted));
        QVERIFY(lines[0].fields["step"].isNull());
        QCOMPARE(lines[0].fields["message"].toString(), Utf8(text::kUpgradeStopped));
        QCOMPARE(lines[0].fields["baud"].toInt(), 115200);
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
