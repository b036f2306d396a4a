#include "app/dialog_units.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace tarvik {

namespace {

constexpr int kUnitsPerCharWidth = 4;
constexpr int kUnitsPerCharHeight = 8;
constexpr int kLatinLetterPairs = 26;

// a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

QString PreferredDialogFamily(const QStringList& installed) {
    static const char* const kPreferred[] = {
        "SimSun",
        "AR PL UMing CN",
        "Noto Sans CJK SC",
        "Noto Serif CJK SC",
        "WenQuanYi Micro Hei",
        "WenQuanYi Zen Hei",
    };
    for (const char* name : kPreferred) {
        const QString family = QString::fromLatin1(name);
        if (installed.contains(family, Qt::CaseInsensitive)) {
            return family;
        }
    }
    return QString();
}

QFont DialogFont(int pointSize) {
    const QString family = PreferredDialogFamily(QFontDatabase::families());
    QFont font;
    if (!family.isEmpty()) {
        font = QFont(family);
    }
    font.setPointSize(pointSize);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // letters / 52, rounded: (letters / 26 + 1) / 2.
    return DialogBaseUnits{(letters / kLatinLetterPairs + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int width, int height) {
    return QRect(MulDiv(x, units.cx, kUnitsPerCharWidth), MulDiv(y, units.cy, kUnitsPerCharHeight),
                 MulDiv(width, units.cx, kUnitsPerCharWidth),
                 MulDiv(height, units.cy, kUnitsPerCharHeight));
}

QSize MapDialogSize(const DialogBaseUnits& units, int width, int height) {
    return MapDialogRect(units, 0, 0, width, height).size();
}

}  // namespace tarvik
