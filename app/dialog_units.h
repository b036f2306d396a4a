// Dialog templates are laid out in dialog units: a quarter of the dialog font's average
// character width horizontally and an eighth of its character height vertically. These
// helpers turn template rectangles into pixels for a given font.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

namespace tarvik {

struct DialogBaseUnits {
    int cx = 0;  // average character width, pixels
    int cy = 0;  // character height, pixels
};

// The family of the dialog font among the `installed` families: SimSun; else AR PL UMing CN,
// a Song-style font whose base units at 12 pt are SimSun's 8 x 16, so the templates keep
// their proportions; else another Chinese font (Noto Sans CJK SC, Noto Serif CJK SC,
// WenQuanYi), whose taller lines stretch the window; else empty (the default font).
QString PreferredDialogFamily(const QStringList& installed);

// The dialog font: the preferred family of this system at `pointSize`.
QFont DialogFont(int pointSize);

// Average width of the 52 Latin letters, rounded, and the font's height (ascent + descent).
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A template rectangle (x, y, width, height in dialog units) in pixels; each value is
// converted on its own and rounded to the nearest pixel.
QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int width, int height);
QSize MapDialogSize(const DialogBaseUnits& units, int width, int height);

}  // namespace tarvik
