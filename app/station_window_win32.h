// tarvik-station.exe's window: the production screen of a fixture PC, in plain Win32. A
// settings strip (image, log, the ports with check boxes and their Device Manager names, the
// search's line settings, 开始/停止, sound), one custom-painted panel per port taking boards,
// the totals and a list of the latest records.
//
// The window only draws and forwards: the station runs on its own thread and the window reads
// its state on a timer at a human rate, never per block.
//
// Threads: every member runs on the window's thread.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvik {

// What the program was started with (a fixture PC's shortcut).
struct StationArguments {
    std::vector<std::string> ports;  // "COM7"
    std::optional<std::string> image;
    std::optional<std::string> log;
    std::optional<uint32_t> count;  // boards per port, then the program ends
    bool stopOnFail = false;
    bool start = false;  // begin at once
};

// The arguments after the program's name; unknown ones are left alone.
StationArguments ParseStationArguments(const std::vector<std::string>& arguments);

// One panel as painted.
struct StationPanelPaint {
    std::string port;      // "COM7"
    std::string name;      // what the system calls the adapter
    std::string word;      // the large state word
    COLORREF colour = 0;   // of the word (and the bar)
    int percent = -1;      // a bar below the word when 0..100
    std::string detail;    // under the word: the time left, or a failure's reason and step
    std::string counters;  // the port's boards, successes and failures
};

class CStationWindow {
public:
    CStationWindow();
    ~CStationWindow();
    CStationWindow(const CStationWindow&) = delete;
    CStationWindow& operator=(const CStationWindow&) = delete;

    // Makes the window (not yet shown); false when the system refused.
    bool Create(const StationArguments& arguments);
    HWND Handle() const { return m_hwnd; }
    // Runs messages until the window is gone; returns the program's exit code.
    int Run(int show);
    // True when every panel shows the verdict of a board, or the station is not running.
    bool AllPanelsShowVerdicts() const;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCreate();
    void OnCommand(int id, int code);
    void Layout();
    void FillPorts();
    void RebuildPanels();
    void PaintPanel(HWND panel, HDC dc, size_t index);
    std::vector<std::string> CheckedPorts() const;
    HWND Make(const wchar_t* className, const std::string& text, DWORD style, int id);

    StationArguments m_arguments;
    HWND m_hwnd = nullptr;
    HFONT m_font = nullptr;       // the controls'
    HFONT m_nameFont = nullptr;   // a panel's port name
    HFONT m_wordFont = nullptr;   // a panel's state word
    HICON m_icon = nullptr;
    HICON m_smallIcon = nullptr;
    std::vector<HWND> m_panelWindows;
    std::vector<StationPanelPaint> m_panels;
    int m_exitCode = 0;
};

}  // namespace tarvik
