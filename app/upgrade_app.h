// CUpgradeApp: the program. It names itself after its executable, runs the main window as
// a modal dialog, and ends when the dialog ends.
#pragma once

#include <QApplication>
#include <QString>

#include "qt_setup/framework_chinese.h"

namespace tarvik {

// The application's name: the executable's file name without its extension. Message boxes
// without a caption of their own carry it.
QString AppNameFromExecutable(const QString& executablePath);

class CUpgradeApp : public QApplication {
    Q_OBJECT
public:
    // Names the application and makes the framework's texts Chinese.
    CUpgradeApp(int& argc, char** argv);

    // Runs the whole program: the main window from its start to its end, then destroys it
    // (its reader stopped and joined before its port goes away). Always false: there is no
    // further message loop.
    bool InitInstance();
};

}  // namespace tarvik
