// Takes the pictures of the window for the documentation: a whole upgrade against tarvik-sim
// in a throw-away configuration folder, then the window grabbed into a PNG file; with a
// second file name, also the boxes an operator meets over it (a message box, the file
// dialog, the About box) side by side.
//   xvfb-run -a build/tests/app/tarvik-window-shot docs/window.png docs/dialogs.png
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "app/upgrade_app.h"
#include "res/resource.h"
#include "sim_process.h"
#include "upgrade/texts.h"
#include "window_fixture.h"

static void InitResources() {
    Q_INIT_RESOURCE(tarvik);
}

namespace {

constexpr int kPollMs = 20;
// Time for a box to lay itself out, and for the file dialog to list its folder.
constexpr int kSettleMs = 300;
constexpr int kListingMs = 1000;
constexpr int kGapPixels = 16;
const QColor kBackground(0xff, 0xff, 0xff);
const QColor kFrame(0x80, 0x80, 0x80);

// Runs `open`, which shows a modal box, and grabs that box once it is showing, then closes
// it with Cancel (a message box and the About box end on OK, the file dialog chooses
// nothing).
QPixmap GrabModal(const std::function<void()>& open, int settleMs) {
    QPixmap picture;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (modal == nullptr || !modal->isVisible() || modal->parentWidget() == nullptr) {
            return;
        }
        poll.stop();
        QTest::qWait(settleMs);
        picture = modal->grab();
        if (qobject_cast<QFileDialog*>(modal) != nullptr) {
            modal->reject();
        } else {
            modal->accept();
        }
    });
    poll.start(kPollMs);
    open();
    return picture;
}

// The pictures in a row on the dialog background, their tops aligned.
QPixmap SideBySide(const std::vector<QPixmap>& pictures) {
    int width = kGapPixels;
    int height = 0;
    for (const QPixmap& p : pictures) {
        width += p.width() + kGapPixels;
        height = std::max(height, p.height());
    }
    QPixmap row(width, height + 2 * kGapPixels);
    row.fill(kBackground);
    QPainter painter(&row);
    int x = kGapPixels;
    painter.setPen(kFrame);
    for (const QPixmap& p : pictures) {
        painter.drawPixmap(x, kGapPixels, p);
        painter.drawRect(x - 1, kGapPixels - 1, p.width() + 1, p.height() + 1);
        x += p.width() + kGapPixels;
    }
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarvik;
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s WINDOW.png [DIALOGS.png]\n", argv[0]);
        return 2;
    }
    constexpr int kCom = 3;
    constexpr size_t kImageBytes = 37 * 1024;
    constexpr int kUpgradeWaitMs = 120000;

    testing::ScopedConfigHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(testing::kAppName));
    InstallFrameworkChinese(app);
    InitResources();

    // A folder of its own, so the file dialog lists just the image.
    const auto folder = home.path() / "firmware";
    std::filesystem::create_directory(folder);
    const auto image = folder / "relay_v103.bin";
    testing::WriteImage(image, kImageBytes);
    testing::SimProcess sim({"--com", std::to_string(kCom)});

    CUpgradeDlg dlg;
    dlg.show();
    testing::WindowParts parts(dlg);
    const QString path = QString::fromStdString(image.string());
    dlg.chooseImageFile = [path] { return path; };
    parts.browse->click();
    parts.portList->setCurrentIndex(kCom - 1);
    parts.openClose->click();
    parts.start->click();
    if (!QTest::qWaitFor(
            [&] { return parts.statusLine->text() == QString::fromUtf8(text::kUpgradeSucceeded); },
            kUpgradeWaitMs)) {
        std::fprintf(stderr, "the upgrade did not finish: %s\n",
                     qPrintable(parts.statusLine->text()));
        return 1;
    }
    // Focus away from the buttons, as an operator's window would look at rest.
    parts.fileBox->setFocus();
    QTest::qWait(kSettleMs);
    if (!dlg.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    parts.openClose->click();

    if (argc == 3) {
        const QPixmap message =
            GrabModal([&] { dlg.ShowMessage(text::kOpenPortFirst); }, kSettleMs);
        dlg.chooseImageFile = nullptr;
        const QPixmap files = GrabModal(
            [&] {
                QTimer::singleShot(0, [&] {
                    if (auto* dialog =
                            qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                        dialog->setDirectory(QString::fromStdString(folder.string()));
                    }
                });
                parts.browse->click();
            },
            kListingMs);
        const QPixmap about = GrabModal([&] { dlg.OnSysCommand(res::kAboutCommand); }, kSettleMs);
        if (message.isNull() || files.isNull() || about.isNull() ||
            !SideBySide({message, files, about}).save(QString::fromLocal8Bit(argv[2]))) {
            std::fprintf(stderr, "cannot write %s\n", argv[2]);
            return 1;
        }
    }
    return 0;
}
