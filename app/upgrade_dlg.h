// CUpgradeDlg: the tool's only working window (template 102). It holds the port lists, the
// image file box, the buttons, the progress bar and the two text lines; it owns the serial
// port, the upgrade engine and, while the port is open, the reply reader.
//
// What the window decides lives in CUpgradeWindowLogic, shared with the Win32 dialog; this
// class only draws it: timers 1 to 3 are QTimers, a reply waiting in the reader's hand-over
// is delivered by a call queued onto this thread, and message boxes carry the application's
// name as caption.
//
// Threads: everything here runs on the user-interface thread; only the hand-over's notify
// runs on the reader thread, and all it does is queue a call.
#pragma once

#include <QDialog>
#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>

#include "app/window_logic.h"

class QComboBox;
class QLineEdit;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tarvik {

class CImageButton;

class CUpgradeDlg : public QDialog, public IUpgradeView {
    Q_OBJECT
public:
    // Builds the controls and initialises them; the settings are read from `settingsPath`
    // (by default the configuration folder's tools-tarvik.ini).
    explicit CUpgradeDlg(QWidget* parent = nullptr, QString settingsPath = QString());
    // Stops the timers and the reader; the reader has ended (and closed the port) before
    // the port goes away.
    ~CUpgradeDlg() override;

    // Handlers of the buttons and of the window menu.
    void OnOpenClose();
    uint32_t OpenPort();  // 0 on success, else the port's error code
    void OnBrowse();
    void OnStart();
    void OnStop();
    void OnExit();
    void OnSysCommand(unsigned commandId);

    // The control with template id `id`, or null.
    QWidget* Control(int id) const;
    template <class T>
    T* ControlAs(int id) const {
        return qobject_cast<T*>(Control(id));
    }
    QString ImagePath() const;
    QString ImageName() const;
    QString SettingsPath() const;
    bool IsTimerActive(int id) const;
    CUpgradeWindowLogic& Logic() { return m_logic; }
    CUpgradeEngine& Engine() { return m_logic.Engine(); }
    const CReplyReader& Reader() const { return m_logic.Reader(); }
    CComPort& Port() { return m_logic.Port(); }
    LineSelections Selections() const { return m_logic.Selections(); }
    // The window menu as the right mouse button shows it: the close item, a separator and
    // the About item.
    QMenu* CreateWindowMenu();
    // Where the selected COM name leads on this machine (the port list's tool tip).
    QString PortToolTip() const;

    // The operator's choice of image file; an empty string when the dialog was cancelled.
    // Replaceable so that a test can choose without a file dialog.
    std::function<QString()> chooseImageFile;

    // IUpgradeView
    TARVIK_UPGRADE_VIEW_OVERRIDES

    // Every way the dialog ends (退出, Enter, Esc, the close box) comes here: an upgrade still
    // running is recorded before the window goes.
    void done(int result) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void OnInitDialog();
    void SaveSettings();
    QString ChooseImageWithDialog();
    QComboBox* List(int listId) const;
    QTimer* Timer(int id) const;

    // Members in the order the window builds them.
    CUpgradeWindowLogic m_logic;
    std::array<QTimer*, 3> m_timers{};
    std::map<int, QWidget*> m_controls;
    CImageButton* m_openClose = nullptr;
    QPushButton* m_start = nullptr;
    QComboBox* m_portList = nullptr;
    QProgressBar* m_progress = nullptr;
};

}  // namespace tarvik
