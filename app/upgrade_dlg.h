// CUpgradeDlg: the tool's only working window (template 102). It holds the port lists, the
// image file box, the buttons, the progress bar and the two text lines; it owns the serial
// port, the upgrade engine and, while the port is open, the reply reader.
//
// The window is the engine's driver: timers 1 to 3 are QTimers, replies arrive from the
// reader through a hand-over that queues the delivery onto this thread, and message boxes
// carry the application's name as caption.
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

#include "serial/com_port.h"
#include "upgrade/driver.h"
#include "upgrade/engine.h"
#include "upgrade/reader.h"

class QComboBox;
class QLineEdit;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tarvik {

class CImageButton;

// Queue sizes asked of the port when it is opened, bytes.
inline constexpr uint32_t kPortQueueSize = 1024;
// The second argument of the timed-read preset; it has no effect.
inline constexpr uint32_t kReadTimeoutArgument = 10000;
// Closing the port waits this long on the window's thread after asking the reader to stop.
inline constexpr std::chrono::milliseconds kCloseWait{30};
// The dialog's font size, points.
inline constexpr int kMainFontPoints = 12;

class CUpgradeDlg : public QDialog, public IUpgradeDriver {
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
    const QString& ImagePath() const { return m_imagePath; }
    const QString& ImageName() const { return m_imageName; }
    const QString& SettingsPath() const { return m_settingsPath; }
    bool IsTimerActive(int id) const;
    CUpgradeEngine& Engine() { return m_engine; }
    const CReplyReader& Reader() const { return m_reader; }
    // The window menu as the right mouse button shows it: the close item, a separator and
    // the About item.
    QMenu* CreateWindowMenu();
    // Where the selected COM name leads on this machine (the port list's tool tip).
    QString PortToolTip() const;

    // The operator's choice of image file; an empty string when the dialog was cancelled.
    // Replaceable so that a test can choose without a file dialog.
    std::function<QString()> chooseImageFile;

    // IUpgradeDriver
    void ArmTimer(int id, std::chrono::milliseconds period) override;
    void StopTimer(int id) override;
    void SetInfoText(const std::string& utf8) override;
    void SetStatusText(const std::string& utf8) override;
    void SetProgressRange(uint32_t minimum, uint32_t maximum) override;
    void SetProgressPos(uint32_t position) override;
    void EnableStart(bool enabled) override;
    bool IsStartEnabled() const override;
    void ShowMessage(const std::string& utf8) override;
    LineSelections Selections() const override;
    void Wait(std::chrono::milliseconds duration) override;
    CComPort& Port() override { return m_port; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void OnInitDialog();
    void LoadSettings();
    void SaveSettings();
    QString ChooseImageWithDialog();
    QTimer* Timer(int id) const;

    // Members in the order the window builds them.
    QString m_imagePath;
    QString m_imageName;
    QString m_settingsPath;
    CComPort m_port;
    CUpgradeEngine m_engine;
    CReplyHandOver m_handOver;
    CReplyReader m_reader;
    std::array<QTimer*, 3> m_timers{};
    std::map<int, QWidget*> m_controls;
    CImageButton* m_openClose = nullptr;
    QPushButton* m_start = nullptr;
    QComboBox* m_portList = nullptr;
    QComboBox* m_baudList = nullptr;
    QComboBox* m_parityList = nullptr;
    QComboBox* m_dataBitsList = nullptr;
    QComboBox* m_stopBitsList = nullptr;
    QLineEdit* m_fileBox = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_infoLine = nullptr;
    QLabel* m_statusLine = nullptr;
};

}  // namespace tarvik
