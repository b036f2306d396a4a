#include "app/message_box.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSizePolicy>
#include <QSpacerItem>

namespace tarvik {

int WidthForCaption(const QString& caption, const QFont& font) {
    QFont bold = font;
    bold.setBold(true);
    return QFontMetrics(bold).horizontalAdvance(caption) + kTitleBarChromeWidth;
}

void MakeRoomForCaption(QMessageBox& box) {
    // The box sizes itself from its layout when shown: a spacer across the whole last row
    // is the width it cannot go below.
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (grid == nullptr) {
        box.setMinimumWidth(WidthForCaption(box.windowTitle(), box.font()));
        return;
    }
    grid->addItem(new QSpacerItem(WidthForCaption(box.windowTitle(), box.font()), 0,
                                  QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
    MakeRoomForCaption(box);
    box.exec();
}

}  // namespace tarvik
