// The tool's message boxes: a text, an OK button and a caption.
#pragma once

#include <QFont>
#include <QString>

class QMessageBox;
class QWidget;

namespace tarvik {

// Room a title bar takes besides its caption: the window icon, the close button and the
// margins of window managers' title bars, pixels.
inline constexpr int kTitleBarChromeWidth = 120;

// The least width of a window whose whole `caption` should stay readable in its title bar,
// the caption measured in `font` made bold (as title bars often draw it).
int WidthForCaption(const QString& caption, const QFont& font);

// Widens `box` to WidthForCaption of its window title: a short text ("请先打开串口") makes a
// box so narrow that a window manager cuts its caption down to "…".
void MakeRoomForCaption(QMessageBox& box);

// Shows `text` in a modal box over `parent` with an OK button and `caption`; returns when
// the operator has closed it.
void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text);

}  // namespace tarvik
