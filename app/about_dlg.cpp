#include "app/about_dlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "app/dialog_units.h"
#include "res/resource.h"

namespace tarvik {

namespace {

constexpr int kFontPoints = 9;
// Template 100, in dialog units.
constexpr int kWidth = 235;
constexpr int kHeight = 55;
constexpr QRect kIconRect{11, 17, 20, 20};
constexpr QRect kVersionRect{40, 10, 119, 8};
constexpr QRect kOkRect{178, 7, 50, 14};
constexpr int kIconPixels = 32;

QRect Map(const DialogBaseUnits& units, const QRect& r) {
    return MapDialogRect(units, r.x(), r.y(), r.width(), r.height());
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(text::kAboutTitle));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont(kFontPoints));
    const DialogBaseUnits units = BaseUnitsOf(font());
    setFixedSize(MapDialogSize(units, kWidth, kHeight));

    const QIcon icon(QStringLiteral(":/icon/%1.ico").arg(res::kAppIcon));
    setWindowIcon(icon);
    auto* picture = new QLabel(this);
    // An icon control takes the size of its icon, wherever its template rectangle ends.
    picture->setGeometry(QRect(Map(units, kIconRect).topLeft(), QSize(kIconPixels, kIconPixels)));
    picture->setPixmap(icon.pixmap(kIconPixels, kIconPixels));

    // Plain text: an ampersand in it is shown, not taken as a mnemonic.
    auto* version = new QLabel(QString::fromUtf8(text::kVersionLine), this);
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(Map(units, kVersionRect));
    version->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* ok = new QPushButton(QString::fromUtf8(text::kOkButton), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setGeometry(Map(units, kOkRect));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace tarvik
