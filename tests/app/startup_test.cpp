// The program's start-up and end: the application is named after its executable and speaks
// Chinese in the framework's own dialogs too, the main window runs modally, and however it
// ends, InitInstance returns false with the window gone, its reader ended before its port.
#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "app/upgrade_app.h"
#include "modal_answerer.h"
#include "pty_pair.h"
#include "upgrade/texts.h"
#include "window_fixture.h"

namespace tarvik {

using testing::ModalAnswerer;
using testing::PtyPair;
using testing::ReadText;
using testing::ScopedConfigHome;
using testing::WindowParts;

namespace {

constexpr int kPollMs = 20;
constexpr int kComLinked = 4;

// Runs `act` on the program's main window as soon as it is showing.
void WhenWindowShows(std::function<void(CUpgradeDlg&)> act) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        auto* dlg = qobject_cast<CUpgradeDlg*>(QApplication::activeModalWidget());
        if (dlg != nullptr && dlg->isVisible()) {
            poll->stop();
            poll->deleteLater();
            act(*dlg);
        }
    });
    poll->start(kPollMs);
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void nameComesFromTheExecutable() {
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("app_startup_test"));
    }

    // The window is Chinese, so the framework's own dialogs are too, although this run's
    // language is English: the OK of a message box, the labels and buttons of the file
    // dialog.
    void frameworkDialogsSpeakChinese() {
        ScopedConfigHome home;
        CUpgradeDlg dlg;
        dlg.show();
        ModalAnswerer answerer;
        QStringList boxButtons;
        answerer.onMessageBox = [&](QMessageBox* box) {
            for (const QAbstractButton* button : box->buttons()) {
                boxButtons << button->text();
            }
        };
        QStringList fileDialogTexts;
        answerer.onFileDialog = [&](QFileDialog* files) {
            for (const char* label : {"lookInLabel", "fileNameLabel", "fileTypeLabel"}) {
                if (auto* found = files->findChild<QLabel*>(QString::fromLatin1(label))) {
                    fileDialogTexts << found->text();
                }
            }
            if (auto* buttons = files->findChild<QDialogButtonBox*>()) {
                for (const QAbstractButton* button : buttons->buttons()) {
                    fileDialogTexts << button->text();
                }
            }
            files->reject();
        };
        dlg.ShowMessage(text::kOpenPortFirst);
        WindowParts(dlg).browse->click();
        QCOMPARE(answerer.fileDialogs, 1);
        QCOMPARE(boxButtons, QStringList{QStringLiteral("确定")});
        fileDialogTexts.sort();
        QStringList expected = {QStringLiteral("查找范围："), QStringLiteral("文件名称(&N)："),
                                QStringLiteral("文件类型："), QStringLiteral("打开(&O)"),
                                QStringLiteral("取消")};
        expected.sort();
        QCOMPARE(fileDialogTexts, expected);
    }

    // Ended in each way, with the port open: the run ends, the close path has saved.
    void everyEndingEndsTheRun() {
        const struct {
            const char* name;
            std::function<void(CUpgradeDlg&)> end;
            bool saves;
        } cases[] = {
            {"close box", [](CUpgradeDlg& d) { d.close(); }, true},
            {"Exit", [](CUpgradeDlg& d) { WindowParts(d).exit->click(); }, false},
            {"Esc", [](CUpgradeDlg& d) { d.reject(); }, false},
        };
        for (const auto& c : cases) {
            ScopedConfigHome home;
            PtyPair pty;
            home.linkPort(kComLinked, pty.slavePath());
            bool opened = false;
            WhenWindowShows([&](CUpgradeDlg& dlg) {
                WindowParts parts(dlg);
                parts.portList->setCurrentIndex(kComLinked - 1);
                parts.openClose->click();
                opened = dlg.Reader().Running() && dlg.Port().IsOpen();
                c.end(dlg);
            });
            auto* app = static_cast<CUpgradeApp*>(qApp);
            QVERIFY2(!app->InitInstance(), c.name);
            QVERIFY2(opened, c.name);
            QVERIFY2(QApplication::activeModalWidget() == nullptr, c.name);
            QVERIFY2(std::filesystem::exists(home.settingsFile()) == c.saves, c.name);
            if (c.saves) {
                QVERIFY(ReadText(home.settingsFile()).find("\nScom=3\n") != std::string::npos);
            }
        }
    }
};

}  // namespace tarvik

int main(int argc, char** argv) {
    // An English run: whatever Chinese the framework shows comes from the tool.
    qputenv("LANGUAGE", "en");
    qputenv("LC_ALL", "en_US.UTF-8");
    qputenv("LANG", "en_US.UTF-8");
    tarvik::CUpgradeApp app(argc, argv);
    tarvik::StartupTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "startup_test.moc"
