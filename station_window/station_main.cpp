// tarvik-station: the production screen. One panel per fixture, boards upgraded one after
// another on every checked port, each recorded in the log.
#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <string>
#include <vector>

#include "qt_setup/framework_chinese.h"
#include "serial/port_list.h"
#include "station/station_options.h"
#include "station_window/station_settings.h"
#include "station_window/station_source.h"
#include "station_window/station_window.h"
#include "tarvik_version.h"

int main(int argc, char** argv) {
    using namespace tarvik;
    // Answered before the window system is asked for: a manual page is made from these
    // where there is no display.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--version") {
            std::printf("tarvik-station %s\n", kVersion);
            return kExitOk;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(station::StationUsage().c_str(), stdout);
            return kExitOk;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarvik-station"));
    InstallFrameworkChinese(app);

    // The framework has taken its own options (-platform and the like) out already.
    std::vector<std::string> args;
    const QStringList given = QCoreApplication::arguments();
    for (qsizetype i = 1; i < given.size(); ++i) {
        args.push_back(given[i].toStdString());
    }
    const station::ParsedCommandLine parsed = station::ParseStationCommandLine(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "tarvik-station: %s\n%s", parsed.error.c_str(),
                     station::StationUsage().c_str());
        return kExitUsage;
    }

    std::vector<station::PresentPort> present;
    for (const PortEntry& entry : ListPorts()) {
        present.push_back({entry.comName, entry.description, entry.serial});
    }
    station::CStationWindow window(station::StationRun(),
                                   QString::fromStdString(station::StationSettingsPath()),
                                   parsed.line, present);
    window.show();
    app.exec();
    return window.ExitCode();
}
