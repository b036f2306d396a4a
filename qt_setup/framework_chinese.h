// What every Qt program of the tool (the dialog and the station window) sets up alike.
#pragma once

#include <QCoreApplication>

namespace tarvik {

// Makes the framework's own texts (the OK button of message boxes, the whole file dialog)
// Simplified Chinese like the rest of the tool, whatever the system's language. False when
// the system has no such translation; those texts then stay in English.
bool InstallFrameworkChinese(QCoreApplication& app);

}  // namespace tarvik
