// CAboutDlg: the small modal box with the product name and version (template 100).
#pragma once

#include <QDialog>

namespace tarvik {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace tarvik
