// Takes the picture of the station window for the documentation: four fixtures of simulated
// boards in a throw-away configuration folder (two rows of boards, one of which fails, a board
// in a long transfer, and a fixture where no board answers), grabbed into a PNG once every
// panel shows a different state.
//   xvfb-run -a build/tests/station_window/tarvik-station-shot docs/station.png
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QTest>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "qt_setup/framework_chinese.h"
#include "scoped_config.h"
#include "serial/port_list.h"
#include "sim_process.h"
#include "station_window/station_window.h"

namespace {

constexpr int kPollMs = 50;
constexpr int kStatesWaitMs = 120000;
constexpr int kSettleMs = 500;
constexpr int kShotWidth = 1366;
constexpr int kShotHeight = 700;
// Long enough for the paced board to be mid-transfer (about 18 s at 115200) while the
// unpaced ones have long had their verdicts.
constexpr uint32_t kImageBytes = 200 * 1024;

void WriteImage(const std::filesystem::path& path, uint32_t length) {
    std::string bytes(length, '\0');
    for (uint32_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    bytes.replace(1, 3, "IO-");
    tarvik::testing::WriteText(path, bytes);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarvik;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s STATION.png\n", argv[0]);
        return 2;
    }
    testing::ScopedConfigHome home;
    QApplication app(argc, argv);
    InstallFrameworkChinese(app);

    const auto image = home.path() / "relay_v103.bin";
    WriteImage(image, kImageBytes);
    // The board on COM13 takes the line's time (paced at 115200), so it is still in transfer
    // when the others have their verdicts.
    // The boards on COM11 and COM12 stay on their fixtures, answering, so their verdicts stay
    // in sight with 请取下电路板.
    testing::SimProcess done({"--com", "11", "--boards", "9", "--stay", "3600"});
    testing::SimProcess failing(
        {"--com", "12", "--boards", "9", "--stay", "3600", "--fail", "29@1"});
    testing::SimProcess slow({"--com", "13", "--pace", "--boot-after", "1"});
    testing::SimProcess empty({"--com", "14", "--boot-after", "3600"});

    station::StationCommandLine line;
    line.ports = {"COM11", "COM12", "COM13", "COM14"};
    line.image = image.string();
    line.log = (home.path() / "tarvik-2026-12-11.csv").string();
    line.start = true;
    std::vector<station::PresentPort> present;
    for (const PortEntry& entry : ListPorts()) {
        present.push_back({entry.comName, "tarvik-sim", ""});
    }
    station::CStationWindow window(station::StationRun(),
                                   QString::fromStdString((home.path() / "station.ini").string()),
                                   line, present);
    window.resize(kShotWidth, kShotHeight);
    window.show();

    const auto word = [&](size_t i) { return window.panels[i]->word->text(); };
    QElapsedTimer waited;
    waited.start();
    while (!(word(0) == QString::fromUtf8(station::kWordSucceeded) &&
             word(1) == QString::fromUtf8(station::kWordFailed) &&
             word(2).startsWith(QString::fromUtf8(station::kWordUpgrading)) &&
             window.panels[2]->bar->value() >= 30)) {
        if (waited.elapsed() > kStatesWaitMs) {
            std::fprintf(stderr, "the panels did not reach their states: %s | %s | %s | %s\n",
                         qPrintable(word(0)), qPrintable(word(1)), qPrintable(word(2)),
                         qPrintable(word(3)));
            return 1;
        }
        QTest::qWait(kPollMs);
    }
    QTest::qWait(kSettleMs);
    const QPixmap picture = window.grab();
    if (!picture.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    // The window's end stops the station (the board in transfer is interrupted).
    return 0;
}
