#include "app/window_logic.h"

#include <charconv>
#include <iterator>
#include <thread>

#include "app/start_focus.h"
#include "serial/com_names.h"
#include "settings/settings.h"
#include "upgrade/texts.h"

namespace tarvik {

namespace {

// The device name of a COM port is this prefix followed by the port list's text.
constexpr char kDevicePrefix[] = "\\\\.\\";

// The lists in the order the window fills them.
constexpr int kListsInFillOrder[] = {res::kPortList, res::kBaudList, res::kParityList,
                                     res::kDataBitsList, res::kStopBitsList};

}  // namespace

std::string DeviceNameOf(const std::string& portText) {
    return kDevicePrefix + portText;
}

uint32_t BaudOf(const std::string& baudText) {
    uint32_t baud = 0;
    const auto [end, error] =
        std::from_chars(baudText.data(), baudText.data() + baudText.size(), baud);
    (void)end;
    return error == std::errc() ? baud : 0;
}

std::string FileNamePart(const std::string& path, const std::string& separators) {
    const size_t last = path.find_last_of(separators);
    return last == std::string::npos ? path : path.substr(last + 1);
}

std::string AppNameOf(const std::string& executablePath, const std::string& separators) {
    // Only the last extension goes: "tarvik.exe" and "tarvik" are both "tarvik"; a name
    // that only starts with a dot keeps it.
    const std::string fileName = FileNamePart(executablePath, separators);
    const size_t dot = fileName.rfind('.');
    return (dot != std::string::npos && dot > 0) ? fileName.substr(0, dot) : fileName;
}

CUpgradeWindowLogic::CUpgradeWindowLogic(IUpgradeView& view, std::string settingsPath)
    : m_view(view),
      m_settingsPath(std::move(settingsPath)),
      m_engine(*this),
      // Reader thread: the window's thread handles the reply between its other messages;
      // the reader waits in the hand-over until then.
      m_handOver([this] { m_view.RequestReplyDelivery(); }) {}

CUpgradeWindowLogic::~CUpgradeWindowLogic() {
    Shutdown();
}

void CUpgradeWindowLogic::Shutdown() {
    // The reader holds the port: it must have ended before the port goes away.
    m_reader.StopAndJoin();
    m_recorder.OnWindowEnding(m_engine, m_statusText, m_infoText);
}

void CUpgradeWindowLogic::OpenLog(const std::string& path) {
    const std::string error = m_recorder.Open(path);
    if (!error.empty()) {
        ShowMessage(error);
    }
}

void CUpgradeWindowLogic::ApplyCommandLine(const std::vector<std::string>& arguments) {
    const WindowOptions options = ParseWindowArguments(arguments);
    if (!options.error.empty()) {
        ShowMessage(options.error);
        return;
    }
    if (!options.logPath.empty()) {
        OpenLog(options.logPath);
    }
}

void CUpgradeWindowLogic::OnWindowEnding() {
    const std::string error = m_recorder.OnWindowEnding(m_engine, m_statusText, m_infoText);
    if (!error.empty()) {
        ShowMessage(error);
    }
}

void CUpgradeWindowLogic::AfterEngineEvent() {
    const std::string error = m_recorder.AfterEvent(m_engine, m_statusText, m_infoText);
    if (!error.empty()) {
        ShowMessage(error);
    }
}

void CUpgradeWindowLogic::OnInitDialog() {
    for (const int list : kListsInFillOrder) {
        const std::vector<std::string>& items = ListItems(list);
        for (size_t i = 0; i < items.size(); ++i) {
            m_view.InsertListItem(list, static_cast<int>(i), items[i]);
        }
    }
    LoadSettings();
    m_view.ShowLamp(res::kLampOffBitmap);
}

void CUpgradeWindowLogic::LoadSettings() {
    const Settings settings = tarvik::LoadSettings(m_settingsPath);
    m_imagePath = settings.upgradePath;
    m_imageName = settings.upgradeName;
    m_view.SetControlText(res::kFileBox, m_imageName);
    // An index outside its list leaves the list without a selection.
    const auto select = [this](int list, int index) {
        const bool inside = index >= 0 && static_cast<size_t>(index) < ListItems(list).size();
        m_view.SelectListItem(list, inside ? index : -1);
    };
    select(res::kPortList, settings.portIndex);
    select(res::kBaudList, settings.baudIndex);
    select(res::kDataBitsList, settings.dataBitsIndex);
    select(res::kStopBitsList, settings.stopBitsIndex);
    select(res::kParityList, settings.parityIndex);
}

Settings CUpgradeWindowLogic::CurrentSettings() const {
    Settings settings;
    settings.upgradePath = m_imagePath;
    settings.upgradeName = m_imageName;
    settings.portIndex = m_view.ListSelection(res::kPortList);
    settings.baudIndex = m_view.ListSelection(res::kBaudList);
    settings.dataBitsIndex = m_view.ListSelection(res::kDataBitsList);
    settings.stopBitsIndex = m_view.ListSelection(res::kStopBitsList);
    settings.parityIndex = m_view.ListSelection(res::kParityList);
    return settings;
}

bool CUpgradeWindowLogic::SaveSettings() const {
    // Not saved is not reported: the operator only loses this run's choices.
    return tarvik::SaveSettings(m_settingsPath, CurrentSettings());
}

std::string CUpgradeWindowLogic::SelectedPortText() const {
    return ListItemText(res::kPortList, m_view.ListSelection(res::kPortList));
}

// ---- Open/Close ----

void CUpgradeWindowLogic::OnOpenClose() {
    // The caption is the window's port state: "打开" while closed, "关闭" while open.
    if (m_view.ControlText(res::kOpenCloseButton) == text::kOpenCaption) {
        if (OpenPort() == kErrSuccess) {
            m_view.ShowLamp(res::kLampOnBitmap);
            m_view.SetControlText(res::kOpenCloseButton, text::kCloseCaption);
        } else {
            ShowMessage(text::kPortUnavailable);
        }
        return;
    }
    // The reader closes the port itself; asked to, it cuts its waiting read short.
    m_reader.RequestStop();
    m_engine.OnPortClosed();
    AfterEngineEvent();
    Wait(kCloseWait);
    m_view.ShowLamp(res::kLampOffBitmap);
    m_view.SetControlText(res::kOpenCloseButton, text::kOpenCaption);
}

uint32_t CUpgradeWindowLogic::OpenPort() {
    const std::string device = DeviceNameOf(SelectedPortText());
    // The reader of the last opening holds the port until it has ended: the port is still
    // open, and opening it again must fail.
    if (m_reader.Running()) {
        return kErrAlreadyInitialized;
    }
    const uint32_t opened = m_port.Open(device.c_str(), kPortQueueSize, kPortQueueSize);
    if (opened != kErrSuccess) {
        return opened;
    }
    m_port.SetupHandshaking(kHandshakeOff);
    const uint32_t baud =
        BaudOf(ListItemText(res::kBaudList, m_view.ListSelection(res::kBaudList)));
    const LineSelections line = Selections();
    m_port.Setup(baud, static_cast<uint8_t>(line.dataBitsIndex + kDataBitsIndexBase),
                 static_cast<uint8_t>(line.parityIndex), static_cast<uint8_t>(line.stopBitsIndex));
    m_port.SetupReadTimeouts(kReadTimed, kReadTimeoutArgument);
    uint32_t started = kErrSuccess;
    if (!m_reader.Start(m_port, m_handOver, &started)) {
        // A port that nothing reads would never deliver a reply (and a reader thread the
        // system cannot start is no reason to end the program): leave it closed.
        m_port.Close();
        return started;
    }
    return kErrSuccess;
}

// ---- Browse, Start, Stop ----

void CUpgradeWindowLogic::OnBrowse() {
    // Cancelling clears an earlier choice: path, name and file box all become empty.
    m_imagePath = m_view.ChooseImageFile();
    m_imageName = FileNamePart(m_imagePath, m_view.PathSeparators());
    m_view.SetControlText(res::kFileBox, m_imageName);
}

StartResult CUpgradeWindowLogic::OnStart() {
    // Taken before the engine starts: the port list may not change while it runs, but the
    // record names the port the upgrade began on.
    const std::string port = SelectedPortText();
    const StartResult result = m_engine.Start(m_imagePath, m_imageName);
    if (result == StartResult::Started) {
        m_recorder.OnStarted(port, m_imagePath);
    }
    return result;
}

void CUpgradeWindowLogic::OnStop() {
    m_engine.OnStop();
    AfterEngineEvent();
}

void CUpgradeWindowLogic::OnTimer(int id) {
    m_engine.OnTimer(id);
    AfterEngineEvent();
}

bool CUpgradeWindowLogic::DeliverReply() {
    const bool delivered = m_handOver.Deliver(
        [this](const uint8_t* data, uint32_t count) { m_engine.OnFrameReceived(data, count); });
    // After the hand-over has let the reader go: writing the record may show a message box.
    if (delivered) {
        AfterEngineEvent();
    }
    return delivered;
}

// ---- The engine's driver ----

void CUpgradeWindowLogic::ArmTimer(int id, std::chrono::milliseconds period) {
    m_view.ArmTimer(id, period);
}

void CUpgradeWindowLogic::StopTimer(int id) {
    m_view.StopTimer(id);
}

void CUpgradeWindowLogic::SetInfoText(const std::string& utf8) {
    m_infoText = utf8;
    m_view.SetControlText(res::kInfoLine, utf8);
}

void CUpgradeWindowLogic::SetStatusText(const std::string& utf8) {
    m_statusText = utf8;
    m_view.SetControlText(res::kStatusLine, utf8);
}

void CUpgradeWindowLogic::SetProgressRange(uint32_t minimum, uint32_t maximum) {
    m_view.SetProgressRange(minimum, maximum);
}

void CUpgradeWindowLogic::SetProgressPos(uint32_t position) {
    m_view.SetProgressPos(position);
}

StartFocus CUpgradeWindowLogic::FocusHolder() const {
    const int holder = m_view.FocusedControl();
    return holder == res::kStartButton ? StartFocus::kStart
           : holder == res::kFileBox   ? StartFocus::kFileBox
                                       : StartFocus::kOther;
}

void CUpgradeWindowLogic::EnableStart(bool enabled) {
    if (enabled) {
        m_recorder.OnStartEnabled();
    }
    const StartFocus now = FocusHolder();
    const StartFocus next = FocusAfterStartChange(enabled, now);
    // Moved before Start is disabled, so that the focus never passes on to 退出.
    if (next == StartFocus::kFileBox && now != StartFocus::kFileBox) {
        m_view.FocusControl(res::kFileBox);
    }
    m_view.EnableControl(res::kStartButton, enabled);
    if (next == StartFocus::kStart && now != StartFocus::kStart) {
        m_view.FocusControl(res::kStartButton);
    }
}

bool CUpgradeWindowLogic::EnterEndsWindow() const {
    return tarvik::EnterEndsWindow(IsStartEnabled(), FocusHolder());
}

bool CUpgradeWindowLogic::IsStartEnabled() const {
    return m_view.IsControlEnabled(res::kStartButton);
}

void CUpgradeWindowLogic::ShowMessage(const std::string& utf8) {
    m_view.ShowMessage(utf8);
}

LineSelections CUpgradeWindowLogic::Selections() const {
    return LineSelections{m_view.ListSelection(res::kDataBitsList),
                          m_view.ListSelection(res::kParityList),
                          m_view.ListSelection(res::kStopBitsList)};
}

void CUpgradeWindowLogic::Wait(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

}  // namespace tarvik
