// The main window: its lists, first look and font, the settings file through the window,
// the ways it ends, the window menu and About box, Open/Close on a pseudo-terminal reached
// through the ports folder, Start's checks with their messages, the keyboard focus during
// an upgrade, the width of message boxes and the file dialog's filters.
#include <QApplication>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/about_dlg.h"
#include "app/dialog_units.h"
#include "app/message_box.h"
#include "app/upgrade_app.h"
#include "modal_answerer.h"
#include "no_threads.h"
#include "pty_pair.h"
#include "serial/com_port.h"
#include "settings/settings.h"
#include "upgrade/board_record.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"
#include "window_fixture.h"

static void InitResources() {
    Q_INIT_RESOURCE(tarvik);
}

namespace tarvik {

using testing::ModalAnswerer;
using testing::PtyPair;
using testing::ReadText;
using testing::ScopedConfigHome;
using testing::WindowParts;
using testing::WriteImage;
using testing::WriteText;

namespace {

constexpr int kWaitMs = 10000;  // generous: the machine is shared
constexpr std::chrono::hours kNeverFires{1};
constexpr int kComLinked = 7;     // COM7, reached through the ports folder
constexpr int kComNowhere = 200;  // COM200: no folder entry, no fixed device
constexpr int kImageWithBlocks = 1000;

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

QStringList Items(const QComboBox* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) {
        items << list->itemText(i);
    }
    return items;
}

// Holds the first call queued to `window` (the reader's hand-over of a reply): `during`
// runs before it is delivered, so the reader stays blocked in the hand-over meanwhile.
class HoldFirstCall : public QObject {
public:
    HoldFirstCall(QObject& window, std::function<void()> during)
        : m_window(window), m_during(std::move(during)) {
        m_window.installEventFilter(this);
    }
    ~HoldFirstCall() override { m_window.removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &m_window && event->type() == QEvent::MetaCall && m_during) {
            const std::function<void()> during = std::move(m_during);
            m_during = nullptr;
            during();
        }
        return false;
    }

private:
    QObject& m_window;
    std::function<void()> m_during;
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScopedConfigHome> m_home;

    std::unique_ptr<CUpgradeDlg> MakeWindow() {
        auto dlg = std::make_unique<CUpgradeDlg>();
        dlg->show();
        return dlg;
    }

    // Opens the window's port on a pseudo-terminal linked as COM7.
    void OpenOnPty(CUpgradeDlg& dlg, PtyPair& pty) {
        m_home->linkPort(kComLinked, pty.slavePath());
        WindowParts parts(dlg);
        parts.portList->setCurrentIndex(kComLinked - 1);
        parts.openClose->click();
        QCOMPARE(parts.openClose->text(), Utf8(text::kCloseCaption));
    }

private slots:
    void initTestCase() {
        InitResources();
        QCoreApplication::setApplicationName(QString::fromLatin1(testing::kAppName));
    }
    void init() { m_home = std::make_unique<ScopedConfigHome>(); }
    void cleanup() { m_home.reset(); }

    void applicationNameIsTheExecutableWithoutExtension() {
        const struct {
            const char* path;
            const char* name;
        } cases[] = {
            {"/usr/bin/tarvik", "tarvik"},
            {"/work/build/app/tarvik", "tarvik"},
            {"C:/tools/tarvik.exe", "tarvik"},
            {"/opt/tarvik.v2.exe", "tarvik.v2"},
            {"tarvik", "tarvik"},
        };
        for (const auto& c : cases) {
            QCOMPARE(AppNameFromExecutable(QString::fromLatin1(c.path)),
                     QString::fromLatin1(c.name));
        }
    }

    void firstRunWithoutSettingsFile() {
        QVERIFY(!std::filesystem::exists(m_home->settingsFile()));
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);

        QCOMPARE(parts.portList->count(), 256);
        QCOMPARE(parts.portList->itemText(0), QStringLiteral("COM1"));
        QCOMPARE(parts.portList->itemText(1), QStringLiteral("COM2"));
        QCOMPARE(parts.portList->itemText(9), QStringLiteral("COM10"));
        QCOMPARE(parts.portList->itemText(255), QStringLiteral("COM256"));
        QCOMPARE(Items(parts.baudList),
                 QStringList({"1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
                              "57600", "115200", "128000", "230400", "256000", "460800", "921600",
                              "1024000"}));
        QCOMPARE(Items(parts.parityList), QStringList({"NONE", "ODD", "EVEN"}));
        QCOMPARE(Items(parts.dataBitsList), QStringList({"7", "8"}));
        QCOMPARE(Items(parts.stopBitsList), QStringList({"1", "1.5", "2"}));

        QCOMPARE(parts.portList->currentText(), QStringLiteral("COM1"));
        QCOMPARE(parts.baudList->currentText(), QStringLiteral("115200"));
        QCOMPARE(parts.parityList->currentText(), QStringLiteral("NONE"));
        QCOMPARE(parts.dataBitsList->currentText(), QStringLiteral("8"));
        QCOMPARE(parts.stopBitsList->currentText(), QStringLiteral("1"));
        QCOMPARE(parts.fileBox->text(), QString());
        QVERIFY(parts.fileBox->isReadOnly());
        QCOMPARE(dlg->ImagePath(), QString());
        QCOMPARE(parts.statusLine->text(), QStringLiteral("Static"));
        QCOMPARE(parts.infoLine->text(), QString());
        QCOMPARE(parts.openClose->text(), Utf8(text::kOpenCaption));
        QCOMPARE(parts.openClose->ActiveImage().width(), 63);
        QVERIFY(!parts.openClose->IsFlat());
        QCOMPARE(parts.progress->value(), 0);
        QVERIFY(parts.start->isEnabled());
        QVERIFY(!parts.baudList->isVisible());
        QVERIFY(parts.parityList->isVisible());
        QCOMPARE(dlg->windowTitle(), Utf8(text::kMainTitle));
        QVERIFY(!dlg->windowIcon().isNull());
        for (QPushButton* button : dlg->findChildren<QPushButton*>()) {
            QVERIFY2(!button->isDefault(), qPrintable(button->text()));
        }
        // The selections reach the engine as list indexes.
        const LineSelections line = dlg->Selections();
        QCOMPARE(line.dataBitsIndex, 1);
        QCOMPARE(line.parityIndex, 0);
        QCOMPARE(line.stopBitsIndex, 0);
        QVERIFY(!std::filesystem::exists(m_home->settingsFile()));
    }

    // Each control sits at its template rectangle in the dialog font's units; the tab order
    // is the template's; the group frames never catch a click meant for a control.
    void layoutFollowsTheTemplate() {
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        const DialogBaseUnits units = BaseUnitsOf(dlg->font());
        QVERIFY(units.cx > 0 && units.cy > 0);
        QCOMPARE(dlg->size(), MapDialogRect(units, 0, 0, 324, 205).size());
        QCOMPARE(parts.start->geometry(), MapDialogRect(units, 78, 111, 50, 22));
        QCOMPARE(parts.openClose->geometry(), MapDialogRect(units, 236, 32, 67, 14));
        QCOMPARE(parts.fileBox->geometry(), MapDialogRect(units, 13, 87, 257, 14));
        QCOMPARE(parts.progress->geometry(), MapDialogRect(units, 13, 147, 291, 14));
        QCOMPARE(parts.statusLine->geometry(), MapDialogRect(units, 13, 137, 290, 8));
        QCOMPARE(parts.portList->pos(), MapDialogRect(units, 14, 37, 45, 148).topLeft());

        QStringList shown;
        QStringList hidden;
        for (const QLabel* label : dlg->findChildren<QLabel*>()) {
            if (!label->text().isEmpty() && label != parts.statusLine) {
                (label->isVisible() ? shown : hidden) << label->text();
            }
        }
        shown.sort();
        QStringList labels = {"数据位", "效验位", "停止位", "串口号"};
        labels.sort();
        QCOMPARE(shown, labels);
        QCOMPARE(hidden, QStringList{"波特率"});
        QStringList frames;
        for (const QGroupBox* group : dlg->findChildren<QGroupBox*>()) {
            frames << group->title();
        }
        frames.sort();
        QStringList titles = {"固件升级", "串口参数", "信息"};
        titles.sort();
        QCOMPARE(frames, titles);

        const QList<QWidget*> expected = {parts.parityList, parts.dataBitsList, parts.stopBitsList,
                                          parts.portList,   parts.fileBox,      parts.browse,
                                          parts.start,      parts.exit,         parts.openClose,
                                          parts.stop};
        QWidget* at = parts.parityList;
        for (QWidget* next : expected.mid(1)) {
            do {
                at = at->nextInFocusChain();
            } while (!(at->focusPolicy() & Qt::TabFocus) || !at->isVisible() ||
                     !expected.contains(at));
            QCOMPARE(at, next);
        }
        for (QWidget* control : expected) {
            const QPoint middle = control->geometry().center();
            QWidget* hit = dlg->childAt(middle);
            QVERIFY2(hit == control || control->isAncestorOf(hit),
                     qPrintable(control->objectName()));
        }
    }

    // The dialog font: SimSun, else the Song-style font with SimSun's metrics, else a
    // Chinese sans font. With either of the first two the window has the template's
    // proportions, 8 x 16 pixels per base unit at 12 pt; a taller sans font stretched it.
    void dialogFontKeepsTheTemplateProportions() {
        const struct {
            const char* name;
            QStringList installed;
            const char* chosen;
        } cases[] = {
            {"all three", {"Noto Sans CJK SC", "AR PL UMing CN", "SimSun"}, "SimSun"},
            {"no SimSun",
             {"Noto Sans CJK SC", "AR PL UMing TW", "AR PL UMing CN"},
             "AR PL UMing CN"},
            {"other spelling", {"simsun"}, "SimSun"},
            {"sans only", {"DejaVu Sans", "Noto Sans CJK SC"}, "Noto Sans CJK SC"},
            {"no Chinese font", {"DejaVu Sans"}, ""},
        };
        for (const auto& c : cases) {
            QVERIFY2(PreferredDialogFamily(c.installed) == QString::fromLatin1(c.chosen), c.name);
        }

        const QString family = PreferredDialogFamily(QFontDatabase::families());
        QVERIFY2(family == QStringLiteral("SimSun") || family == QStringLiteral("AR PL UMing CN"),
                 "the set-up installs fonts-arphic-uming");
        auto dlg = MakeWindow();
        QCOMPARE(QFontInfo(dlg->font()).family(), family);
        const DialogBaseUnits units = BaseUnitsOf(dlg->font());
        QCOMPARE(units.cx, 8);
        QCOMPARE(units.cy, 16);
        QCOMPARE(dlg->size(), QSize(648, 410));
        CAboutDlg about(dlg.get());
        QCOMPARE(about.size(), QSize(353, 83));  // 235 x 55 units at 9 pt: 6 x 12 pixels
    }

    // The example choice: COM5, EVEN, 7 data bits, 2 stop bits, saved by the close box and
    // shown again by the next run.
    void settingsRoundTripThroughTheWindow() {
        {
            auto dlg = MakeWindow();
            WindowParts parts(*dlg);
            parts.portList->setCurrentIndex(4);
            parts.parityList->setCurrentIndex(testing::kParityEven);
            parts.dataBitsList->setCurrentIndex(testing::kDataBits7);
            parts.stopBitsList->setCurrentIndex(testing::kStopBits2);
            dlg->close();
            QVERIFY(!dlg->isVisible());
        }
        QCOMPARE(ReadText(m_home->settingsFile()),
                 std::string("[Info]\nupgrade_path=\nupgrade_name=\nScom=4\nSbotelv=9\n"
                             "Sdata=0\nSstop=2\nScheck=2\n"));
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        QCOMPARE(parts.portList->currentText(), QStringLiteral("COM5"));
        QCOMPARE(parts.parityList->currentText(), QStringLiteral("EVEN"));
        QCOMPARE(parts.dataBitsList->currentText(), QStringLiteral("7"));
        QCOMPARE(parts.stopBitsList->currentText(), QStringLiteral("2"));
        QCOMPARE(parts.baudList->currentText(), QStringLiteral("115200"));
    }

    // Files written by hand or by older runs: other spellings, other keys, indexes outside
    // their lists.
    void settingsFilesFromElsewhere() {
        const struct {
            const char* name;
            std::string file;
            int port, baud, dataBits, stopBits, parity;
            const char* imageName;
            std::string savedAgain;
        } cases[] = {
            {"section spelled [INFO]", "[INFO]\nSCOM=2\nsbotelv=3\nSdata=0\nupgrade_name=a.bin\n",
             2, 3, 0, 0, 0, "a.bin",
             "[Info]\nupgrade_path=\nupgrade_name=a.bin\nScom=2\nSbotelv=3\nSdata=0\nSstop=0\n"
             "Scheck=0\n"},
            {"extra keys and sections dropped",
             "[Other]\nx=1\n[Info]\nScom=1\nlast_dir=/tmp\nScheck=1\n", 1, 9, 1, 0, 1, "",
             "[Info]\nupgrade_path=\nupgrade_name=\nScom=1\nSbotelv=9\nSdata=1\nSstop=0\n"
             "Scheck=1\n"},
            {"indexes outside their lists", "[Info]\nScom=300\nSstop=-4\nSbotelv=16\n", -1, -1, 1,
             -1, 0, "",
             "[Info]\nupgrade_path=\nupgrade_name=\nScom=-1\nSbotelv=-1\nSdata=1\nSstop=-1\n"
             "Scheck=0\n"},
        };
        for (const auto& c : cases) {
            WriteText(m_home->settingsFile(), c.file);
            auto dlg = MakeWindow();
            WindowParts parts(*dlg);
            const std::string label = c.name;
            QVERIFY2(parts.portList->currentIndex() == c.port, c.name);
            QVERIFY2(parts.baudList->currentIndex() == c.baud, c.name);
            QVERIFY2(parts.dataBitsList->currentIndex() == c.dataBits, c.name);
            QVERIFY2(parts.stopBitsList->currentIndex() == c.stopBits, c.name);
            QVERIFY2(parts.parityList->currentIndex() == c.parity, c.name);
            QVERIFY2(parts.fileBox->text() == QString::fromUtf8(c.imageName), c.name);
            dlg->close();
            QVERIFY2(ReadText(m_home->settingsFile()) == c.savedAgain,
                     (label + ": " + ReadText(m_home->settingsFile())).c_str());
        }
    }

    // Exit, Enter away from a button and Esc end the window without saving; the close box,
    // Alt+F4 and the window menu's close item save.
    void onlyTheClosePathSaves() {
        const std::string before = "[Info]\nScom=1\n";
        const struct {
            const char* name;
            std::function<void(CUpgradeDlg&, WindowParts&)> end;
            bool saves;
            int result;
        } cases[] = {
            {"Exit button", [](CUpgradeDlg&, WindowParts& p) { p.exit->click(); }, false,
             QDialog::Accepted},
            {"Esc key",
             [](CUpgradeDlg&, WindowParts& p) {
                 p.parityList->setFocus();
                 QTest::keyClick(p.parityList, Qt::Key_Escape);
             },
             false, QDialog::Rejected},
            {"Enter key on a list",
             [](CUpgradeDlg&, WindowParts& p) {
                 p.parityList->setFocus();
                 QTest::keyClick(p.parityList, Qt::Key_Return);
             },
             false, QDialog::Accepted},
            {"Enter key on the file box",
             [](CUpgradeDlg&, WindowParts& p) {
                 p.fileBox->setFocus();
                 QTest::keyClick(p.fileBox, Qt::Key_Enter, Qt::KeypadModifier);
             },
             false, QDialog::Accepted},
            {"close box", [](CUpgradeDlg& d, WindowParts&) { d.close(); }, true, QDialog::Rejected},
            {"window menu close",
             [](CUpgradeDlg& d, WindowParts&) { d.OnSysCommand(res::kSysCloseCommand); }, true,
             QDialog::Rejected},
        };
        for (const auto& c : cases) {
            WriteText(m_home->settingsFile(), before);
            auto dlg = MakeWindow();
            WindowParts parts(*dlg);
            parts.portList->setCurrentIndex(9);
            c.end(*dlg, parts);
            QVERIFY2(!dlg->isVisible(), c.name);
            QVERIFY2(dlg->result() == c.result, c.name);
            const std::string after = ReadText(m_home->settingsFile());
            QVERIFY2((after != before) == c.saves, c.name);
            if (c.saves) {
                QVERIFY2(after.find("\nScom=9\n") != std::string::npos, c.name);
            }
        }
    }

    void enterOnAPushButtonPressesThatButton() {
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        int chosen = 0;
        dlg->chooseImageFile = [&chosen] {
            ++chosen;
            return QString();
        };
        QVERIFY(QTest::qWaitForWindowExposed(dlg.get()));
        parts.browse->setFocus();
        QTest::keyClick(parts.browse, Qt::Key_Return);
        QCOMPARE(chosen, 1);
        QVERIFY(dlg->isVisible());
    }

    // The window menu: close, a separator, then the About item last; ids 16 to 31 open the
    // About box, other ids do not.
    void windowMenuAndAboutBox() {
        auto dlg = MakeWindow();
        std::unique_ptr<QMenu> menu(dlg->CreateWindowMenu());
        const QList<QAction*> actions = menu->actions();
        QVERIFY(actions.size() >= 2);
        QVERIFY(actions[actions.size() - 2]->isSeparator());
        QCOMPARE(actions.last()->text(), Utf8(text::kAboutItem));
        QCOMPARE(actions.last()->data().toUInt(), 16u);

        ModalAnswerer answerer;
        const struct {
            unsigned id;
            bool opens;
        } cases[] = {{16, true}, {17, true}, {31, true}, {15, false}, {32, false}, {0xF010, false}};
        for (const auto& c : cases) {
            answerer.Clear();
            dlg->OnSysCommand(c.id);
            QVERIFY2(answerer.dialogs.size() == (c.opens ? 1 : 0),
                     qPrintable(QString::number(c.id)));
            QVERIFY(dlg->isVisible());
        }
        answerer.Clear();
        actions.last()->trigger();
        QCOMPARE(answerer.dialogs, QStringList{Utf8(text::kAboutTitle)});
    }

    void aboutBoxContents() {
        CAboutDlg about;
        QCOMPARE(about.windowTitle(), Utf8(text::kAboutTitle));
        const QList<QLabel*> labels = about.findChildren<QLabel*>();
        bool version = false;
        for (const QLabel* label : labels) {
            version = version || label->text() == Utf8(text::kVersionLine);
        }
        QVERIFY(version);
        auto* ok = about.findChild<QPushButton*>(QStringLiteral("ok"));
        QVERIFY(ok != nullptr);
        QCOMPARE(ok->text(), Utf8(text::kOkButton));
        QVERIFY(ok->isDefault());
    }

    // Open/Close on a pseudo-terminal reached as COM7 through the ports folder.
    void openAndCloseThroughThePortsFolder() {
        PtyPair pty;
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        parts.baudList->setCurrentIndex(testing::kBaud9600);
        m_home->linkPort(kComLinked, pty.slavePath());
        parts.portList->setCurrentIndex(kComLinked - 1);
        QVERIFY2(parts.portList->toolTip().contains(QString::fromStdString(pty.slavePath())),
                 qPrintable(parts.portList->toolTip()));

        ModalAnswerer answerer;
        parts.openClose->click();
        QCOMPARE(answerer.messages, QStringList());
        QCOMPARE(parts.openClose->text(), Utf8(text::kCloseCaption));
        QCOMPARE(parts.openClose->ActiveImage().width(), 47);
        QVERIFY(dlg->Port().IsOpen());
        QVERIFY(dlg->Reader().Running());
        QCOMPARE(dlg->Port().GetBaudRate(), 9600);

        // An upgrade's timers are running when the operator closes the port.
        dlg->ArmTimer(kResendTimer, kNeverFires);
        dlg->ArmTimer(kScanTimer, kNeverFires);
        dlg->ArmTimer(kFastResendTimer, kNeverFires);
        parts.openClose->click();
        QCOMPARE(parts.openClose->text(), Utf8(text::kOpenCaption));
        QCOMPARE(parts.openClose->ActiveImage().width(), 63);
        QVERIFY(!dlg->IsTimerActive(kResendTimer));
        QVERIFY(dlg->IsTimerActive(kScanTimer));
        QVERIFY(dlg->IsTimerActive(kFastResendTimer));
        // The reader closes the port when its current read ends.
        QTRY_VERIFY_WITH_TIMEOUT(!dlg->Reader().Running(), kWaitMs);
        QVERIFY(!dlg->Port().IsOpen());

        parts.openClose->click();
        QCOMPARE(parts.openClose->text(), Utf8(text::kCloseCaption));
        QVERIFY(dlg->Reader().Running());
        QCOMPARE(answerer.messages, QStringList());
    }

    // COM7's entry holds a network address: the tip shows it, and the port opens on it.
    void openANetworkLineThroughThePortsFolder() {
        // A raw server on loopback: connecting needs only its listening socket.
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t size = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        listen(listener, 1);
        const std::string line = "socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        std::filesystem::create_directories(m_home->path() / "tarvik-ports");
        std::ofstream(m_home->path() / "tarvik-ports" / "com7") << line << "\n";

        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        parts.portList->setCurrentIndex(kComLinked - 1);
        QVERIFY2(parts.portList->toolTip().contains(QString::fromStdString(line)),
                 qPrintable(parts.portList->toolTip()));
        ModalAnswerer answerer;
        parts.openClose->click();
        QCOMPARE(answerer.messages, QStringList());
        QVERIFY(dlg->Port().IsOpen());
        QVERIFY(dlg->Port().RateFixed());
        parts.openClose->click();
        QTRY_VERIFY_WITH_TIMEOUT(!dlg->Reader().Running(), kWaitMs);
        QVERIFY(!dlg->Port().IsOpen());
        close(listener);
    }

    void openingFailsWithTheMessage() {
        PtyPair pty;
        m_home->linkPort(kComLinked, pty.slavePath());
        CComPort holder;  // another program holding COM7
        QCOMPARE(holder.Open(pty.slavePath().c_str(), kPortQueueSize, kPortQueueSize), kErrSuccess);

        const struct {
            const char* name;
            int index;  // -1: no selection
        } cases[] = {
            {"a COM name that leads nowhere", kComNowhere - 1},
            {"a port held by another program", kComLinked - 1},
            {"no port selected", -1},
        };
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        ModalAnswerer answerer;
        for (const auto& c : cases) {
            answerer.Clear();
            parts.portList->setCurrentIndex(c.index);
            parts.openClose->click();
            QVERIFY2(answerer.messages == QStringList{Utf8(text::kPortUnavailable)}, c.name);
            QVERIFY2(answerer.captions == QStringList{QString::fromLatin1(testing::kAppName)},
                     c.name);
            QVERIFY2(parts.openClose->text() == Utf8(text::kOpenCaption), c.name);
            QVERIFY2(parts.openClose->ActiveImage().width() == 63, c.name);
            QVERIFY2(!dlg->Reader().Running(), c.name);
            QVERIFY2(!dlg->Port().IsOpen(), c.name);
        }
    }

    // A reader thread the system cannot start (memory used up): the window's one message,
    // and nothing left half-open; the next opening works.
    void readerThatCannotStartLeavesThePortClosed() {
        PtyPair pty;
        m_home->linkPort(kComLinked, pty.slavePath());
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        parts.portList->setCurrentIndex(kComLinked - 1);
        ModalAnswerer answerer;
        {
            testing::NoNewThreads starved;
            QVERIFY(starved.Applied());
            parts.openClose->click();
        }
        QCOMPARE(answerer.messages, QStringList{Utf8(text::kPortUnavailable)});
        QCOMPARE(parts.openClose->text(), Utf8(text::kOpenCaption));
        QVERIFY(!dlg->Reader().Running());
        QVERIFY(!dlg->Port().IsOpen());
        CComPort other;  // the device is free again
        QCOMPARE(other.Open(pty.slavePath().c_str(), kPortQueueSize, kPortQueueSize), kErrSuccess);
        other.Close();

        answerer.Clear();
        parts.openClose->click();
        QCOMPARE(answerer.messages, QStringList());
        QVERIFY(dlg->Port().IsOpen());
        QVERIFY(dlg->Reader().Running());
    }

    // Open pressed while the old reader still holds the port: the reader is held in the
    // hand-over of a reply (its end cannot come before the window takes that reply), so the
    // opening is refused with the message, the caption stays 打开 and the port stays open.
    // Once the reply is taken the reader closes the port, and Open works again.
    void reopeningWhileTheOldPortClosesIsRefused() {
        PtyPair pty;
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        OpenOnPty(*dlg, pty);
        ModalAnswerer answerer;

        struct Seen {
            bool held = false;
            QString caption;
            int lampWidth = 0;
            bool readerRunning = false;
            bool portOpen = false;
        } seen;
        HoldFirstCall hold(*dlg, [&] {
            seen.held = true;
            parts.openClose->click();  // close: the reader is asked to stop
            parts.openClose->click();  // open again at once
            seen.caption = parts.openClose->text();
            seen.lampWidth = parts.openClose->ActiveImage().width();
            seen.readerRunning = dlg->Reader().Running();
            seen.portOpen = dlg->Port().IsOpen();
        });
        pty.send(std::string("any reply ED"));
        QTRY_VERIFY_WITH_TIMEOUT(seen.held, kWaitMs);

        QCOMPARE(answerer.messages, QStringList{Utf8(text::kPortUnavailable)});
        QCOMPARE(answerer.captions, QStringList{QString::fromLatin1(testing::kAppName)});
        QCOMPARE(seen.caption, Utf8(text::kOpenCaption));
        QCOMPARE(seen.lampWidth, 63);
        QVERIFY(seen.readerRunning);
        QVERIFY(seen.portOpen);

        QTRY_VERIFY_WITH_TIMEOUT(!dlg->Reader().Running(), kWaitMs);
        QVERIFY(!dlg->Port().IsOpen());
        answerer.Clear();
        parts.openClose->click();
        QCOMPARE(parts.openClose->text(), Utf8(text::kCloseCaption));
        QCOMPARE(answerer.messages, QStringList());
        QVERIFY(dlg->Port().IsOpen());
        QVERIFY(dlg->Reader().Running());
    }

    // Start's checks, in their order, each with its message (the bad image only on the
    // status line).
    void startChecksInOrder() {
        const auto folder = m_home->path();
        const auto good = folder / "good.bin";
        const auto huge = folder / "huge.bin";
        const auto bad = folder / "bad.bin";
        WriteImage(good, kImageWithBlocks);
        WriteText(bad, std::string(300, 'x'));
        { std::ofstream grow(huge, std::ios::binary); }
        std::filesystem::resize_file(huge, kFirmwareCapacity + 1);

        const struct {
            const char* name;
            bool portOpen;
            std::string path;
            std::string fileName;
            const char* message;  // nullptr: no message box
            const char* status;   // nullptr: the status line is not checked
            bool starts;
        } cases[] = {
            {"port closed, nothing chosen", false, "", "", text::kOpenPortFirst, nullptr, false},
            {"port closed, image chosen", false, good, "good.bin", text::kOpenPortFirst, nullptr,
             false},
            {"nothing chosen", true, "", "", text::kChooseFile, nullptr, false},
            {"a path without a name", true, good, "", text::kChooseFile, nullptr, false},
            {"a file that is gone", true, (folder / "gone.bin").string(), "gone.bin",
             text::kOpenFileFailed, nullptr, false},
            {"a file above 10 MiB", true, huge, "huge.bin", text::kFileHuge, nullptr, false},
            {"no marker", true, bad, "bad.bin", nullptr, text::kBinFileBad, false},
            {"a good image", true, good, "good.bin", nullptr, nullptr, true},
        };
        PtyPair pty;
        m_home->linkPort(kComLinked, pty.slavePath());
        for (const auto& c : cases) {
            Settings settings;
            settings.upgradePath = c.path;
            settings.upgradeName = c.fileName;
            settings.portIndex = kComLinked - 1;
            QVERIFY(SaveSettings(m_home->settingsFile(), settings));
            auto dlg = MakeWindow();
            WindowParts parts(*dlg);
            ModalAnswerer answerer;
            if (c.portOpen) {
                parts.openClose->click();
                QVERIFY2(parts.openClose->text() == Utf8(text::kCloseCaption), c.name);
            }
            parts.start->click();
            const QStringList expected =
                c.message == nullptr ? QStringList() : QStringList{Utf8(c.message)};
            QVERIFY2(answerer.messages == expected,
                     qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(c.name),
                                                             answerer.messages.join('|'))));
            for (const QString& caption : answerer.captions) {
                QCOMPARE(caption, QString::fromLatin1(testing::kAppName));
            }
            if (c.status != nullptr) {
                QVERIFY2(parts.statusLine->text() == Utf8(c.status), c.name);
            }
            QVERIFY2(parts.start->isEnabled() == !c.starts, c.name);
            if (c.starts) {
                QVERIFY(dlg->IsTimerActive(kScanTimer));
                QCOMPARE(parts.progress->maximum(), kImageWithBlocks / 128 + 1);
                parts.stop->click();
                QVERIFY(parts.start->isEnabled());
                QVERIFY(!dlg->IsTimerActive(kScanTimer));
                QCOMPARE(parts.infoLine->text(), Utf8(text::kUpgradeStopped));
            }
            dlg.reset();
        }
    }

    // Browse: the file dialog with its two filters; the file box shows the name only;
    // cancelling clears the choice, and Start then asks for a file.
    void browseChoosesAndCancelClears() {
        const auto image = m_home->path() / "relay_v2.bin";
        WriteImage(image, kImageWithBlocks);
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        ModalAnswerer answerer;
        QStringList filters;
        bool readOnly = false;
        bool existingOnly = false;
        answerer.onFileDialog = [&](QFileDialog* files) {
            filters = files->nameFilters();
            readOnly = files->testOption(QFileDialog::ReadOnly);
            existingOnly = files->fileMode() == QFileDialog::ExistingFile;
            QCOMPARE(files->selectedNameFilter(), Utf8(text::kFilterBin));
            // The dialog fills its name box only while that box has no focus, and whether
            // it has the focus yet depends on when the window got activated.
            if (auto* nameBox = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                nameBox->clearFocus();
            }
            files->selectFile(QString::fromStdString(image.string()));
            static_cast<QDialog*>(files)->accept();
        };
        parts.browse->click();
        QCOMPARE(answerer.fileDialogs, 1);
        QCOMPARE(filters, QStringList({Utf8(text::kFilterBin), Utf8(text::kFilterAll)}));
        QVERIFY(readOnly);
        QVERIFY(existingOnly);
        QCOMPARE(dlg->ImagePath(), QString::fromStdString(image.string()));
        QCOMPARE(dlg->ImageName(), QStringLiteral("relay_v2.bin"));
        QCOMPARE(parts.fileBox->text(), QStringLiteral("relay_v2.bin"));

        answerer.onFileDialog = [](QFileDialog* files) { files->reject(); };
        parts.browse->click();
        QCOMPARE(answerer.fileDialogs, 2);
        QCOMPARE(dlg->ImagePath(), QString());
        QCOMPARE(parts.fileBox->text(), QString());

        PtyPair pty;
        OpenOnPty(*dlg, pty);
        answerer.Clear();
        parts.start->click();
        QCOMPARE(answerer.messages, QStringList{Utf8(text::kChooseFile)});
    }

    // While an upgrade runs the focus is on neither 退出 nor 停止: Start hands it to the
    // read-only file box as it is disabled, so the key that started the upgrade, pressed again
    // (an operator taps twice), neither ends the program nor stops the upgrade; when the
    // upgrade ends the focus is back on 开始升级. A focus the operator put elsewhere stays.
    void focusRestsOnTheFileBoxWhileAnUpgradeRuns() {
        const auto image = m_home->path() / "good.bin";
        WriteImage(image, kImageWithBlocks);
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        const QString path = QString::fromStdString(image.string());
        dlg->chooseImageFile = [path] { return path; };
        parts.browse->click();
        PtyPair pty;
        OpenOnPty(*dlg, pty);
        ModalAnswerer answerer;

        for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
            const QByteArray name = QTest::toString(key);
            parts.start->setFocus();
            QTest::keyClick(parts.start, key);
            QVERIFY2(!parts.start->isEnabled(), name);
            QVERIFY2(dlg->focusWidget() == parts.fileBox, name);

            // The second tap, and a third: the search goes on.
            for (int tap = 0; tap < 2; ++tap) {
                QTest::keyClick(dlg->focusWidget(), key);
            }
            QVERIFY2(dlg->isVisible(), name);
            QVERIFY2(!parts.start->isEnabled(), name);
            QVERIFY2(dlg->Engine().Phase() == UpgradePhase::Scanning, name);
            QVERIFY2(dlg->Engine().Outcome() == UpgradeOutcome::None, name);

            parts.stop->click();
            QVERIFY2(parts.start->isEnabled(), name);
            QVERIFY2(dlg->focusWidget() == parts.start, name);
        }
        QCOMPARE(answerer.messages, QStringList());

        parts.start->setFocus();
        parts.start->click();
        QCOMPARE(dlg->focusWidget(), parts.fileBox);
        parts.parityList->setFocus();
        parts.stop->click();
        QVERIFY(parts.start->isEnabled());
        QCOMPARE(dlg->focusWidget(), parts.parityList);
    }

    // A short text makes a narrow box: it is widened so that a title bar has room for the
    // whole caption besides its icon and buttons.
    void messageBoxesHaveRoomForTheirCaption() {
        auto dlg = MakeWindow();
        ModalAnswerer answerer;
        QList<int> widths;
        QList<int> needed;
        answerer.onMessageBox = [&](QMessageBox* box) {
            widths << box->width();
            QFont bold = box->font();
            bold.setBold(true);
            needed << QFontMetrics(bold).horizontalAdvance(box->windowTitle()) +
                          kTitleBarChromeWidth;
        };
        const char* texts[] = {text::kOpenPortFirst, text::kFileHuge, text::kFailureReply,
                               text::kPortUnavailable};
        for (const char* shown : texts) {
            dlg->ShowMessage(shown);
        }
        QCOMPARE(answerer.messages.size(), 4);
        for (qsizetype i = 0; i < widths.size(); ++i) {
            QVERIFY2(widths[i] >= needed[i], qPrintable(QStringLiteral("%1: %2 < %3")
                                                            .arg(answerer.messages[i])
                                                            .arg(widths[i])
                                                            .arg(needed[i])));
        }
    }

    // "所有文件(*.*)" lists every file of the folder, those without a dot too, and one of
    // those can be chosen; "(*.bin)" lists the images only.
    void allFilesFilterShowsFilesWithoutADot() {
        const auto folder = m_home->path() / "images";
        std::filesystem::create_directory(folder);
        WriteImage(folder / "relay.bin", kImageWithBlocks);
        WriteImage(folder / "firmware", kImageWithBlocks);
        WriteText(folder / "notes.txt", "v103");
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        ModalAnswerer answerer;
        QStringList underBin;
        QStringList underAll;
        answerer.onFileDialog = [&](QFileDialog* files) {
            auto* view = files->findChild<QListView*>(QStringLiteral("listView"));
            auto* types = files->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            QVERIFY(view != nullptr && types != nullptr);
            const auto listed = [view] {
                QStringList names;
                const QAbstractItemModel* model = view->model();
                for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
                    names << model->index(row, 0, view->rootIndex()).data().toString();
                }
                names.sort();
                return names;
            };
            files->setDirectory(QString::fromStdString(folder.string()));
            QTRY_COMPARE_WITH_TIMEOUT(listed(), QStringList{"relay.bin"}, kWaitMs);
            underBin = listed();
            // As the operator picks it: the list's keyboard, which activates the item.
            types->setFocus();
            QTest::keyClick(types, Qt::Key_Down);
            QCOMPARE(types->currentText(), Utf8(text::kFilterAll));
            QTRY_COMPARE_WITH_TIMEOUT(listed().size(), 3, kWaitMs);
            underAll = listed();
            if (auto* nameBox = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                nameBox->clearFocus();
            }
            files->selectFile(QString::fromStdString((folder / "firmware").string()));
            static_cast<QDialog*>(files)->accept();
        };
        parts.browse->click();
        QCOMPARE(answerer.fileDialogs, 1);
        QCOMPARE(underBin, QStringList{"relay.bin"});
        QCOMPARE(underAll, QStringList({"firmware", "notes.txt", "relay.bin"}));
        QCOMPARE(dlg->ImageName(), QStringLiteral("firmware"));
        QCOMPARE(parts.fileBox->text(), QStringLiteral("firmware"));
    }

    // The progress bar keeps a position outside its range at the nearer end.
    // The window's command line: --log FILE (or --log=FILE) records; a log that cannot be
    // opened, a --log without a file and an argument the window does not know are each said
    // in one message box, and the window goes on without recording.
    void commandLineAndLogsThatCannotBeOpened() {
        const std::string log = (m_home->path() / "boards.csv").string();
        const std::string missing = (m_home->path() / "missing" / "boards.jsonl").string();
        const struct {
            const char* name;
            std::vector<std::string> arguments;
            bool recording;
            const char* message;  // how the one message starts; null: none
        } cases[] = {
            {"no arguments", {}, false, nullptr},
            {"--log FILE", {"--log", log}, true, nullptr},
            {"--log=FILE", {"--log=" + log}, true, nullptr},
            {"a folder that is not there", {"--log", missing}, false, kLogOpenFailedText},
            {"--log without a file", {"--log"}, false, "--log"},
            {"--log= without a file", {"--log="}, false, "--log"},
            {"an unknown argument", {"--logg", log}, false, "不认识的参数：--logg"},
        };
        for (const auto& c : cases) {
            auto dlg = MakeWindow();
            ModalAnswerer answerer;
            dlg->Logic().ApplyCommandLine(c.arguments);
            QVERIFY2(dlg->Logic().IsRecording() == c.recording, c.name);
            if (c.message == nullptr) {
                QVERIFY2(answerer.messages.isEmpty(), c.name);
            } else {
                QVERIFY2(answerer.messages.size() == 1, c.name);
                QVERIFY2(answerer.messages[0].startsWith(QString::fromUtf8(c.message)),
                         qPrintable(answerer.messages[0]));
            }
        }
    }

    // How an ended upgrade is worded in its record.
    void recordVerdicts() {
        const std::string failed = std::string(text::kUpgradeFailed) + "(0x1b)";
        const struct {
            const char* name;
            UpgradeOutcome outcome;
            uint8_t step;
            std::string status;
            std::string info;
            RecordVerdict expected;
        } cases[] = {
            {"success",
             UpgradeOutcome::Succeeded,
             kStepFinish,
             text::kUpgradeSucceeded,
             text::kUpgradeSucceeded,
             {kRecordOk, "", text::kUpgradeSucceeded}},
            {"a block unanswered",
             UpgradeOutcome::Failed,
             kStepDataBlock,
             failed,
             text::kDeviceFound,
             {kRecordFailed, "block", failed}},
            {"the board's failure reply",
             UpgradeOutcome::Failed,
             kStepEnterUpgrade,
             text::kUpgradeFailed,
             text::kDeviceFound,
             {kRecordFailed, "enter", text::kUpgradeFailed}},
            {"stopped in the middle",
             UpgradeOutcome::Stopped,
             kStepDataBlock,
             "13/157",
             text::kUpgradeStopped,
             {kRecordInterrupted, "", text::kUpgradeStopped}},
            {"stopped after a wrong sum",
             UpgradeOutcome::Stopped,
             kStepChecksum,
             text::kUpgradeFailed,
             text::kUpgradeStopped,
             {kRecordFailed, "checksum", text::kUpgradeFailed}},
            {"the window closed in the middle",
             UpgradeOutcome::None,
             kStepDataBlock,
             "13/157",
             text::kDeviceFound,
             {kRecordInterrupted, "", "13/157"}},
        };
        for (const auto& c : cases) {
            const RecordVerdict v = VerdictOf(c.outcome, c.step, c.status, c.info);
            QVERIFY2(v.result == c.expected.result, c.name);
            QVERIFY2(v.step == c.expected.step, c.name);
            QVERIFY2(v.message == c.expected.message, c.name);
        }
    }

    void progressPositionIsPinnedToTheRange() {
        auto dlg = MakeWindow();
        WindowParts parts(*dlg);
        dlg->SetProgressRange(0, 8);
        dlg->SetProgressPos(3);
        QCOMPARE(parts.progress->value(), 3);
        dlg->SetProgressPos(20);
        QCOMPARE(parts.progress->value(), 8);
        dlg->SetProgressRange(0, 81921);
        dlg->SetProgressPos(81921);
        QCOMPARE(parts.progress->value(), 81921);
    }
};

}  // namespace tarvik

QTEST_MAIN(tarvik::WindowTest)
#include "window_test.moc"
