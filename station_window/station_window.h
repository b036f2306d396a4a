// CStationWindow: tarvik-station's Qt view. A settings strip (image, log, ports, the search's
// line settings, 开始/停止, sounds), one panel per port, the totals and the latest records.
// What it shows is decided in station_logic; the station itself runs behind IStationSource
// on its own thread, and the window only pulls a look at it every kRedrawPeriod.
//
// Threads: everything here runs on the user-interface thread.
#pragma once

#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

#include "station_window/station_logic.h"
#include "station_window/station_settings.h"
#include "station_window/station_source.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTimer;

namespace tarvik::station {

// One port's panel.
class CStationPanel : public QWidget {
    Q_OBJECT
public:
    explicit CStationPanel(QWidget* parent = nullptr);
    void Show(const PanelView& view);

    QLabel* name = nullptr;
    QLabel* word = nullptr;
    QLabel* line = nullptr;
    QProgressBar* bar = nullptr;
    QLabel* counters = nullptr;
};

class CStationWindow : public QWidget {
    Q_OBJECT
public:
    // `settingsPath`: where the strip is remembered; `line`: the shortcut's command line;
    // `present`: the ports the system lists.
    CStationWindow(std::unique_ptr<IStationSource> source, QString settingsPath,
                   const StationCommandLine& line, const std::vector<PresentPort>& present,
                   QWidget* parent = nullptr);
    ~CStationWindow() override;

    // 开始 and 停止, as the buttons call them. OnStop returns false when the operator kept
    // the boards going.
    void OnStart();
    bool OnStop();
    bool Running() const { return m_running; }
    // The program's exit code (tarvik-cli's) once the window has ended.
    int ExitCode() const { return m_exitCode; }

    // The controls, for the tests.
    QLineEdit* imageEdit = nullptr;
    QLineEdit* logEdit = nullptr;
    QPushButton* imageBrowse = nullptr;
    QPushButton* logBrowse = nullptr;
    QListWidget* portList = nullptr;
    QComboBox* parityBox = nullptr;
    QComboBox* dataBitsBox = nullptr;
    QComboBox* stopBitsBox = nullptr;
    QCheckBox* soundsBox = nullptr;
    QPushButton* startButton = nullptr;
    QPushButton* stopButton = nullptr;
    QLabel* totalsLabel = nullptr;
    QLabel* noticeLabel = nullptr;
    QTableWidget* recordTable = nullptr;
    std::vector<CStationPanel*> panels;

    // The question 停止 and closing ask during a transfer: true when the operator chose to
    // stop the boards.
    bool AskStop(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildStrip();
    void LoadStrip();
    StationSettings StripSettings() const;
    void SaveStrip();
    void MakePanels(const std::vector<std::string>& ports);
    void Refresh();
    void Finish();
    void SetRunning(bool running);
    void Notice(const QString& text);
    void Beep();

    std::unique_ptr<IStationSource> m_source;
    QString m_settingsPath;
    StationCommandLine m_line;
    StationSettings m_settings;
    std::vector<PresentPort> m_present;
    QWidget* m_panelArea = nullptr;
    QGridLayout* m_panelGrid = nullptr;
    QTimer* m_redraw = nullptr;
    QTimer* m_beeper = nullptr;
    int m_beepsDue = 0;
    CRecordTable m_records;
    std::vector<PortLook> m_lastLook;
    bool m_running = false;
    bool m_logFailed = false;
    uint32_t m_interrupted = 0;
    int m_exitCode = 0;
};

}  // namespace tarvik::station
