// What the main window decides, as opposed to how it draws: the lists and the values their
// selections give the port, the settings and the selections they restore, the Open/Close
// state with its captions and lamp, Browse, Start and Stop around the upgrade engine, and the
// hand-over of the board's replies from the reader thread.
//
// Plain C++: the Qt window and the Win32 dialog are two IUpgradeView implementations over
// one CUpgradeWindowLogic. A view only draws and forwards; what it shows is decided here.
//
// Threads: everything runs on the window's thread except IUpgradeView::RequestReplyDelivery,
// which the reader thread calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "app/start_focus.h"
#include "app/window_record.h"
#include "res/resource.h"
#include "serial/com_port.h"
#include "settings/list_items.h"
#include "upgrade/driver.h"
#include "upgrade/engine.h"
#include "upgrade/reader.h"

namespace tarvik {

struct Settings;

// Queue sizes asked of the port when it is opened, bytes.
inline constexpr uint32_t kPortQueueSize = 1024;
// The second argument of the timed-read preset; it has no effect.
inline constexpr uint32_t kReadTimeoutArgument = 10000;
// Closing the port waits this long on the window's thread after asking the reader to stop.
inline constexpr std::chrono::milliseconds kCloseWait{30};
// The Open/Close button's lamp bitmaps show this colour as transparent (RGB 0, 255, 0).
inline constexpr uint8_t kLampTransparentRgb[3] = {0, 255, 0};

// The device opened for a port list text: "\\.\" followed by the text ("\\.\" alone when
// no port is selected, which no device answers to).
std::string DeviceNameOf(const std::string& portText);
// A baud list text read as a decimal number; 0 when it holds none.
uint32_t BaudOf(const std::string& baudText);
// The file-name part of `path`: what follows the last of `separators`.
std::string FileNamePart(const std::string& path, const std::string& separators);
// The application's name: the executable's file name without its last extension. Message
// boxes without a caption of their own carry it.
std::string AppNameOf(const std::string& executablePath, const std::string& separators);

// How a window draws what the logic decides. Controls are named by their template ids.
class IUpgradeView {
public:
    virtual ~IUpgradeView() = default;

    virtual void InsertListItem(int listId, int index, const std::string& utf8) = 0;
    // Selects `index`; -1 leaves the list without a selection.
    virtual void SelectListItem(int listId, int index) = 0;
    virtual int ListSelection(int listId) const = 0;  // -1 when nothing is selected
    virtual void SetControlText(int id, const std::string& utf8) = 0;
    virtual std::string ControlText(int id) const = 0;
    virtual void EnableControl(int id, bool enabled) = 0;
    virtual bool IsControlEnabled(int id) const = 0;
    // The control with the keyboard focus (kNoId: none of the window's own), and moving it.
    virtual int FocusedControl() const = 0;
    virtual void FocusControl(int id) = 0;
    // The Open/Close button's state bitmap (bitmap resource id) with green as transparent.
    virtual void ShowLamp(int bitmapId) = 0;
    virtual void SetProgressRange(uint32_t minimum, uint32_t maximum) = 0;
    virtual void SetProgressPos(uint32_t position) = 0;
    // Window timer `id` with `period`; arming an armed id re-arms it. Ticks come back as
    // CUpgradeWindowLogic::OnTimer(id).
    virtual void ArmTimer(int id, std::chrono::milliseconds period) = 0;
    virtual void StopTimer(int id) = 0;
    // A message box with an OK button, captioned with the application's name; returns when
    // the operator has closed it.
    virtual void ShowMessage(const std::string& utf8) = 0;
    // The operator's choice of an existing image file (the "(*.bin)" filter first, then
    // "所有文件(*.*)"), UTF-8; empty when the dialog was cancelled.
    virtual std::string ChooseImageFile() = 0;
    // The characters that end a folder in the paths ChooseImageFile returns.
    virtual std::string PathSeparators() const = 0;
    // Reader thread: a reply waits. Make the window's thread call DeliverReply() soon; this
    // must not wait for that to happen (the window's thread may be waiting for the reader).
    virtual void RequestReplyDelivery() = 0;
};

// Every window implements the whole view; this declares it in the window's class.
#define TARVIK_UPGRADE_VIEW_OVERRIDES                                             \
    void InsertListItem(int listId, int index, const std::string& utf8) override; \
    void SelectListItem(int listId, int index) override;                          \
    int ListSelection(int listId) const override;                                 \
    void SetControlText(int id, const std::string& utf8) override;                \
    std::string ControlText(int id) const override;                               \
    void EnableControl(int id, bool enabled) override;                            \
    bool IsControlEnabled(int id) const override;                                 \
    int FocusedControl() const override;                                          \
    void FocusControl(int id) override;                                           \
    void ShowLamp(int bitmapId) override;                                         \
    void SetProgressRange(uint32_t minimum, uint32_t maximum) override;           \
    void SetProgressPos(uint32_t position) override;                              \
    void ArmTimer(int id, std::chrono::milliseconds period) override;             \
    void StopTimer(int id) override;                                              \
    void ShowMessage(const std::string& utf8) override;                           \
    std::string ChooseImageFile() override;                                       \
    std::string PathSeparators() const override;                                  \
    void RequestReplyDelivery() override;

class CUpgradeWindowLogic : public IUpgradeDriver {
public:
    CUpgradeWindowLogic(IUpgradeView& view, std::string settingsPath);
    // Shutdown() if the window has not called it.
    ~CUpgradeWindowLogic() override;

    CUpgradeWindowLogic(const CUpgradeWindowLogic&) = delete;
    CUpgradeWindowLogic& operator=(const CUpgradeWindowLogic&) = delete;

    // The window's initialisation once its controls exist: the lists filled, the settings
    // restored, the Open/Close button dark.
    void OnInitDialog();
    // The window is about to go: the reader is stopped and has closed the port before this
    // returns. A reply it is handing over at this moment is let go, so this never waits for
    // the window's own thread. An upgrade still running is recorded (OnWindowEnding), without
    // a message: the window may already be gone.
    void Shutdown();

    // --log FILE: every upgrade started with Start whose board answered is recorded there
    // (window_record.h). A log that cannot be opened, or later written, is said in a message
    // box, and the window then goes on without recording.
    void OpenLog(const std::string& path);
    // The window's command line (the program's arguments after its name, the framework's
    // own taken out): --log FILE opens the log; anything else is said in a message box and
    // the window goes on without recording.
    void ApplyCommandLine(const std::vector<std::string>& arguments);
    bool IsRecording() const { return m_recorder.IsOpen(); }
    // The operator ends the window (close box, 退出, Enter, Esc) while it can still show a
    // message: an upgrade still running is recorded as interrupted.
    void OnWindowEnding();

    // The buttons.
    void OnOpenClose();
    uint32_t OpenPort();  // 0 on success, else the port's error code
    void OnBrowse();
    StartResult OnStart();
    void OnStop();
    // A window timer ticked.
    void OnTimer(int id);
    // Enter on a control that is not a push button: true when it is the dialog's OK (the
    // window ends), false when it does nothing (start_focus.h).
    bool EnterEndsWindow() const;
    // Window thread, after RequestReplyDelivery: handles the waiting reply, if any.
    bool DeliverReply();

    // The settings as the window shows them now, and saving them (the close box).
    Settings CurrentSettings() const;
    bool SaveSettings() const;

    const std::string& ImagePath() const { return m_imagePath; }
    const std::string& ImageName() const { return m_imageName; }
    const std::string& SettingsPath() const { return m_settingsPath; }
    // The port list's selected text (empty without a selection).
    std::string SelectedPortText() const;
    CUpgradeEngine& Engine() { return m_engine; }
    const CReplyReader& Reader() const { return m_reader; }

    // IUpgradeDriver: the engine's calls, drawn by the view.
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

private:
    void LoadSettings();
    StartFocus FocusHolder() const;
    // After each event the engine handled: the record of an upgrade that has ended.
    void AfterEngineEvent();

    IUpgradeView& m_view;
    std::string m_imagePath;
    std::string m_imageName;
    std::string m_settingsPath;
    CComPort m_port;
    CUpgradeEngine m_engine;
    CReplyHandOver m_handOver;
    CReplyReader m_reader;
    CWindowRecorder m_recorder;
    // What the two text lines show, as the records word an outcome.
    std::string m_statusText;
    std::string m_infoText;
};

}  // namespace tarvik
