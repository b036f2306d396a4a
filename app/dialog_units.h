// Dialog templates are laid out in dialog units: a quarter of the dialog font's average
// character width horizontally and an eighth of its character height vertically. These
// helpers turn template rectangles into pixels for a given font.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace tarvik {

struct DialogBaseUnits {
    int cx = 0;  // average character width, pixels
    int cy = 0;  // character height, pixels
};

// The dialog font: SimSun when the system has it, else a Chinese font of the system (Noto
// Sans CJK SC, Noto Serif CJK SC, WenQuanYi), else the default font; at `pointSize`.
QFont DialogFont(int pointSize);

// Average width of the 52 Latin letters, rounded, and the font's height (ascent + descent).
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A template rectangle (x, y, width, height in dialog units) in pixels; each value is
// converted on its own and rounded to the nearest pixel.
QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int width, int height);
QSize MapDialogSize(const DialogBaseUnits& units, int width, int height);

}  // namespace tarvik
