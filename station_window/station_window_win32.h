// CStationWindow on Windows: tarvik-station.exe's window in plain Win32. A settings strip
// (image, log, the ports with check boxes and the system's names, the search's line settings,
// 开始/停止, sounds), one custom-painted panel per port in a grid, the totals and a list view
// of the latest records. What it shows is decided in station_logic (shared with the Qt view);
// the station runs behind IStationSource on its own thread, and the window pulls a look at it
// on a window timer every kRedrawPeriod, never per block.
//
// Threads: every member runs on the window's thread.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station_window/station_logic.h"
#include "station_window/station_settings.h"
#include "station_window/station_source.h"

namespace tarvik::station {

// Control ids of the window, for the tests.
enum StationControl : int {
    kImageBox = 1001,
    kImageBrowse,
    kLogBox,
    kLogBrowse,
    kPortList,
    kParityList,
    kDataBitsList,
    kStopBitsList,
    kSoundsBox,
    kStartButton,
    kStopButton,
    kNoticeLine,
    kTotalsLine,
    kRecordList,
    kFirstLabel = 1101,  // the strip's labels, one id each from here
    kFirstPanel = 2001,  // panel i is kFirstPanel + i
};

class CStationWindow {
public:
    // `settingsPath`: where the strip is remembered; `line`: the shortcut's command line;
    // `present`: the ports the system lists.
    CStationWindow(std::unique_ptr<IStationSource> source, std::string settingsPath,
                   StationCommandLine line, std::vector<PresentPort> present);
    ~CStationWindow();
    CStationWindow(const CStationWindow&) = delete;
    CStationWindow& operator=(const CStationWindow&) = delete;

    // Makes the window, not yet shown (its owner's message loop, or Run, drives it); with
    // --start it begins at once. False when the system refused to make it.
    bool Create();
    HWND Handle() const { return m_hwnd; }
    HWND Item(int id) const { return GetDlgItem(m_hwnd, id); }
    // Shows the window (if it is still there) and runs messages until it is gone.
    void Run(int show);

    // 开始 and 停止, as the buttons call them. OnStop returns false when the operator kept
    // the boards going.
    void OnStart();
    bool OnStop();
    // Closing, as the close box and Alt+F4 ask for it: false when the operator kept the
    // boards going and the window stays.
    bool Close();
    bool Running() const { return m_running; }
    // The program's exit code (tarvik-cli's) once the station has ended.
    int ExitCode() const { return m_exitCode; }
    // What each panel shows now, in the ports' order.
    const std::vector<PanelView>& Panels() const { return m_panels; }
    const CRecordTable& Records() const { return m_records; }

    // Replaceable so that a test can answer without the system's box: the question 停止 and
    // closing ask during a transfer (true: stop the boards), a message, a beep, and the
    // choice of a file (UTF-8, empty when cancelled).
    std::function<bool(const std::string& text)> askStop;
    std::function<void(const std::string& text)> showMessage;
    std::function<void()> beep;
    std::function<std::string(bool image, const std::string& current)> chooseFile;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCreate();
    void OnCommand(int id, int code);
    void Layout();
    void LoadStrip();
    StationSettings StripSettings() const;
    void SaveStrip();
    void MakePanels(const std::vector<std::string>& ports);
    void Refresh();
    void Finish();
    void SetRunning(bool running);
    void Notice(const std::string& text);
    void ShowRecords();
    void PaintPanel(HWND panel, HDC dc, size_t index);
    void OnBeepTimer();
    HWND Make(const wchar_t* className, const std::string& text, DWORD style, int id);
    std::string Text(int id) const;
    bool AskStopWithBox(const std::string& text);
    std::string ChooseWithDialog(bool image, const std::string& current);

    std::unique_ptr<IStationSource> m_source;
    std::string m_settingsPath;
    StationCommandLine m_line;
    StationSettings m_settings;
    std::vector<PresentPort> m_present;
    std::vector<std::string> m_listedPorts;  // the port list's names, row by row
    HWND m_hwnd = nullptr;
    HFONT m_font = nullptr;      // the controls'
    HFONT m_boldFont = nullptr;  // a panel's port name, the totals
    HFONT m_wordFont = nullptr;  // a panel's state word, sized to the panels
    HBRUSH m_noticeBrush = nullptr;
    HICON m_icon = nullptr;
    HICON m_smallIcon = nullptr;
    std::vector<HWND> m_panelWindows;
    std::vector<PanelView> m_panels;
    CRecordTable m_records;
    std::vector<PortLook> m_lastLook;
    int m_beepsDue = 0;
    bool m_beeping = false;  // the beep timer runs
    bool m_inRun = false;    // Run's message loop drives the window
    bool m_running = false;
    bool m_logFailed = false;
    bool m_noticeShown = false;
    uint32_t m_interrupted = 0;
    int m_exitCode = 0;
};

}  // namespace tarvik::station
