#include "qt_setup/framework_chinese.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace tarvik {

bool InstallFrameworkChinese(QCoreApplication& app) {
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    QLocale::setDefault(chinese);
    // The translator lives as long as the application.
    auto* translator = new QTranslator(&app);
    if (!translator->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

}  // namespace tarvik
