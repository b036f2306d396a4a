// Takes the picture of the window for the documentation: a whole upgrade against tarvik-sim
// in a throw-away configuration folder, then the window grabbed into a PNG file.
//   xvfb-run -a build/tests/app/tarvik-window-shot docs/window.png
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTest>

#include <cstdio>
#include <filesystem>

#include "app/upgrade_app.h"
#include "modal_answerer.h"
#include "sim_process.h"
#include "upgrade/texts.h"
#include "window_fixture.h"

static void InitResources() {
    Q_INIT_RESOURCE(tarvik);
}

int main(int argc, char** argv) {
    using namespace tarvik;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    constexpr int kCom = 3;
    constexpr size_t kImageBytes = 37 * 1024;
    constexpr int kUpgradeWaitMs = 120000;

    testing::ScopedConfigHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(testing::kAppName));
    InitResources();

    const auto image = home.path() / "relay_v103.bin";
    testing::WriteImage(image, kImageBytes);
    testing::SimProcess sim({"--com", std::to_string(kCom)});
    testing::ModalAnswerer answerer;

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
    QTest::qWait(300);
    if (!dlg.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    parts.openClose->click();
    return 0;
}
