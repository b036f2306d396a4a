#include "app/upgrade_app.h"

#include <QDir>

#include <memory>
#include <string>
#include <vector>

#include "app/upgrade_dlg.h"
#include "app/window_logic.h"

namespace tarvik {

QString AppNameFromExecutable(const QString& executablePath) {
    const std::string name =
        AppNameOf(executablePath.toStdString(), QString(QDir::separator()).toStdString());
    return QString::fromStdString(name);
}

CUpgradeApp::CUpgradeApp(int& argc, char** argv) : QApplication(argc, argv) {
    QString executable = applicationFilePath();
    if (executable.isEmpty() && argc > 0) {
        executable = QString::fromLocal8Bit(argv[0]);
    }
    setApplicationName(AppNameFromExecutable(executable));
    InstallFrameworkChinese(*this);
}

bool CUpgradeApp::InitInstance() {
    // The platform's socket start-up and 3-D control services have no counterpart here.
    auto window = std::make_unique<CUpgradeDlg>();
    // The framework has taken its own arguments (-platform and the like) out already.
    std::vector<std::string> arguments;
    const QStringList given = QCoreApplication::arguments();
    for (qsizetype i = 1; i < given.size(); ++i) {
        arguments.push_back(given[i].toStdString());
    }
    window->Logic().ApplyCommandLine(arguments);
    window->exec();
    window.reset();
    return false;
}

}  // namespace tarvik
