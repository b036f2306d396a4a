#include "app/upgrade_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <optional>
#include <thread>
#include <vector>

#include "app/about_dlg.h"
#include "app/dialog_units.h"
#include "app/message_box.h"
#include "app/resource.h"
#include "app/settings.h"
#include "app/start_focus.h"
#include "controls/image_button.h"
#include "serial/com_names.h"
#include "upgrade/texts.h"

// The compiled-in resources live in a static library: name them once so the linker keeps
// them.
static void InitTarvikResources() {
    Q_INIT_RESOURCE(tarvik);
}

namespace tarvik {

namespace {

constexpr QRgb kLampTransparent = qRgb(0, 255, 0);

// Template 102: 324 x 205 dialog units.
constexpr int kDialogWidth = 324;
constexpr int kDialogHeight = 205;

// A progress bar starts with the range 0..100 until an upgrade sets its own.
constexpr int kProgressDefaultMaximum = 100;

constexpr const char* kBaudTexts[] = {
    "1200",  "2400",   "4800",   "9600",   "14400",  "19200",  "38400",  "56000",
    "57600", "115200", "128000", "230400", "256000", "460800", "921600", "1024000",
};
constexpr const char* kParityTexts[] = {"NONE", "ODD", "EVEN"};
constexpr const char* kDataBitsTexts[] = {"7", "8"};
constexpr const char* kStopBitsTexts[] = {"1", "1.5", "2"};
// Data bits = list index + this.
constexpr int kDataBitsBase = 7;
// The device name of a COM port is this prefix followed by the port list's text.
constexpr char kDevicePrefix[] = "\\\\.\\";

enum class Kind { List, Label, Group, FileBox, Button, LampButton, Progress, TextLine };

struct ControlTemplate {
    int id;  // 0: a control without id
    Kind kind;
    const char* text;
    int x, y, width, height;  // dialog units; a list's height includes its drop-down
    bool hidden;
};

// The controls in template order, which is also the tab order of those that take the focus.
constexpr ControlTemplate kTemplate[] = {
    {res::kBaudList, Kind::List, "", 67, 36, 45, 316, true},
    {res::kParityList, Kind::List, "", 68, 36, 45, 104, false},
    {res::kDataBitsList, Kind::List, "", 127, 35, 45, 97, false},
    {res::kStopBitsList, Kind::List, "", 185, 34, 45, 84, false},
    {0, Kind::Label, "波特率", 66, 25, 25, 8, true},
    {0, Kind::Label, "数据位", 128, 24, 25, 8, false},
    {0, Kind::Label, "效验位", 69, 25, 25, 8, false},
    {0, Kind::Label, "停止位", 184, 24, 25, 8, false},
    {0, Kind::Group, "固件升级", 7, 73, 310, 90, false},
    {0, Kind::Group, "串口参数", 7, 7, 310, 58, false},
    {res::kPortList, Kind::List, "", 14, 37, 45, 148, false},
    {0, Kind::Label, "串口号", 14, 26, 25, 8, false},
    {0, Kind::Group, "信息", 7, 166, 310, 32, false},
    {res::kFileBox, Kind::FileBox, "", 13, 87, 257, 14, false},
    {res::kBrowseButton, Kind::Button, "浏览", 272, 86, 32, 14, false},
    {res::kStartButton, Kind::Button, "开始升级", 78, 111, 50, 22, false},
    {res::kExitButton, Kind::Button, "退出", 241, 110, 50, 22, false},
    {res::kProgressBar, Kind::Progress, "Progress1", 13, 147, 291, 14, false},
    {res::kInfoLine, Kind::TextLine, "", 14, 179, 274, 8, false},
    {res::kStatusLine, Kind::TextLine, "Static", 13, 137, 290, 8, false},
    {res::kOpenCloseButton, Kind::LampButton, "打开", 236, 32, 67, 14, false},
    {res::kStopButton, Kind::Button, "停止", 160, 110, 50, 22, false},
};

template <size_t N>
void FillList(QComboBox* list, const char* const (&texts)[N]) {
    for (size_t i = 0; i < N; ++i) {
        list->insertItem(static_cast<int>(i), QString::fromUtf8(texts[i]));
    }
}

// Selects `index`, or nothing when it lies outside the list.
void Select(QComboBox* list, int index) {
    list->setCurrentIndex((index >= 0 && index < list->count()) ? index : -1);
}

// "所有文件(*.*)" stands for every file, also one without a dot in its name (firmware, fw);
// the pattern taken literally would hide those.
void ShowEveryFileUnderAllFilesFilter(QFileDialog& dialog) {
    auto* files = dialog.findChild<QFileSystemModel*>();
    if (files == nullptr) {
        return;
    }
    // The dialog applies a chosen filter's patterns first; this comes after them.
    QObject::connect(&dialog, &QFileDialog::filterSelected, files, [files](const QString& filter) {
        if (filter == QString::fromUtf8(text::kFilterAll)) {
            files->setNameFilters({QStringLiteral("*")});
        }
    });
}

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

CUpgradeDlg::CUpgradeDlg(QWidget* parent, QString settingsPath)
    : QDialog(parent),
      m_settingsPath(settingsPath.isEmpty() ? QString::fromStdString(SettingsFilePath())
                                            : std::move(settingsPath)),
      m_engine(*this),
      m_handOver([this] {
          // Reader thread: the reply is handled on this window's thread, between its other
          // events; the reader waits until then.
          QMetaObject::invokeMethod(
              this,
              [this] {
                  m_handOver.Deliver([this](const uint8_t* data, uint32_t count) {
                      m_engine.OnFrameReceived(data, count);
                  });
              },
              Qt::QueuedConnection);
      }) {
    InitTarvikResources();
    for (size_t i = 0; i < m_timers.size(); ++i) {
        const int id = static_cast<int>(i) + kResendTimer;
        auto* timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, id] { m_engine.OnTimer(id); });
        m_timers[i] = timer;
    }
    CreateControls();
    OnInitDialog();
}

CUpgradeDlg::~CUpgradeDlg() {
    for (QTimer* timer : m_timers) {
        timer->stop();
    }
    // The reader holds the port: it must have ended before the port goes away. A reply it
    // is handing over at this moment is let go, so this cannot wait for itself.
    m_reader.StopAndJoin();
}

void CUpgradeDlg::CreateControls() {
    setWindowTitle(QString::fromUtf8(text::kMainTitle));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont(kMainFontPoints));
    const DialogBaseUnits units = BaseUnitsOf(font());
    setFixedSize(MapDialogSize(units, kDialogWidth, kDialogHeight));

    QWidget* previousStop = nullptr;
    std::vector<QWidget*> groups;
    for (const ControlTemplate& t : kTemplate) {
        const QRect rect = MapDialogRect(units, t.x, t.y, t.width, t.height);
        const QString text = QString::fromUtf8(t.text);
        QWidget* widget = nullptr;
        switch (t.kind) {
            case Kind::List: {
                auto* list = new QComboBox(this);
                const int boxHeight = list->sizeHint().height();
                list->setGeometry(rect.x(), rect.y(), rect.width(), boxHeight);
                const int rowHeight = list->fontMetrics().height();
                list->setMaxVisibleItems(std::max(1, (rect.height() - boxHeight) / rowHeight));
                widget = list;
                break;
            }
            case Kind::Label:
            case Kind::TextLine: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setGeometry(rect);
                widget = label;
                break;
            }
            case Kind::Group: {
                auto* group = new QGroupBox(text, this);
                group->setGeometry(rect);
                // A frame drawn behind the controls it surrounds; clicks go through it.
                group->setAttribute(Qt::WA_TransparentForMouseEvents);
                group->setFocusPolicy(Qt::NoFocus);
                groups.push_back(group);
                widget = group;
                break;
            }
            case Kind::FileBox: {
                auto* box = new QLineEdit(this);
                box->setReadOnly(true);
                box->setGeometry(rect);
                widget = box;
                break;
            }
            case Kind::Button:
            case Kind::LampButton: {
                QPushButton* button = nullptr;
                if (t.kind == Kind::LampButton) {
                    m_openClose = new CImageButton(this);
                    button = m_openClose;
                } else {
                    button = new QPushButton(this);
                }
                button->setText(text);
                button->setGeometry(rect);
                // A dialog would otherwise make its first button the default when shown;
                // this one has none, and Enter is handled by the dialog itself.
                button->setAutoDefault(false);
                button->setDefault(false);
                widget = button;
                break;
            }
            case Kind::Progress: {
                auto* bar = new QProgressBar(this);
                bar->setTextVisible(false);
                bar->setRange(0, kProgressDefaultMaximum);
                bar->setValue(0);
                bar->setGeometry(rect);
                widget = bar;
                break;
            }
        }
        if (t.hidden) {
            widget->hide();
        }
        if (t.id != 0) {
            widget->setObjectName(QStringLiteral("ctl%1").arg(t.id));
            m_controls[t.id] = widget;
        }
        if (widget->focusPolicy() & Qt::TabFocus) {
            if (previousStop != nullptr) {
                setTabOrder(previousStop, widget);
            }
            previousStop = widget;
        }
    }
    for (QWidget* group : groups) {
        group->lower();
    }

    m_start = ControlAs<QPushButton>(res::kStartButton);
    m_portList = ControlAs<QComboBox>(res::kPortList);
    m_baudList = ControlAs<QComboBox>(res::kBaudList);
    m_parityList = ControlAs<QComboBox>(res::kParityList);
    m_dataBitsList = ControlAs<QComboBox>(res::kDataBitsList);
    m_stopBitsList = ControlAs<QComboBox>(res::kStopBitsList);
    m_fileBox = ControlAs<QLineEdit>(res::kFileBox);
    m_progress = ControlAs<QProgressBar>(res::kProgressBar);
    m_infoLine = ControlAs<QLabel>(res::kInfoLine);
    m_statusLine = ControlAs<QLabel>(res::kStatusLine);

    connect(ControlAs<QPushButton>(res::kBrowseButton), &QPushButton::clicked, this,
            &CUpgradeDlg::OnBrowse);
    connect(m_start, &QPushButton::clicked, this, &CUpgradeDlg::OnStart);
    connect(ControlAs<QPushButton>(res::kExitButton), &QPushButton::clicked, this,
            &CUpgradeDlg::OnExit);
    connect(m_openClose, &QPushButton::clicked, this, &CUpgradeDlg::OnOpenClose);
    connect(ControlAs<QPushButton>(res::kStopButton), &QPushButton::clicked, this,
            &CUpgradeDlg::OnStop);
    connect(m_portList, &QComboBox::currentIndexChanged, this,
            [this] { m_portList->setToolTip(PortToolTip()); });
    m_portList->installEventFilter(this);
}

void CUpgradeDlg::OnInitDialog() {
    setWindowIcon(QIcon(QStringLiteral(":/icon/%1.ico").arg(res::kAppIcon)));

    for (int i = 0; i < kComNameCount; ++i) {
        m_portList->insertItem(i, QStringLiteral("COM%1").arg(i + 1));
    }
    FillList(m_baudList, kBaudTexts);
    FillList(m_parityList, kParityTexts);
    FillList(m_dataBitsList, kDataBitsTexts);
    FillList(m_stopBitsList, kStopBitsTexts);

    LoadSettings();

    m_openClose->LoadStateBitmaps(res::kLampOffBitmap, kLampTransparent, 0, 0);
    m_openClose->SetFlatLook(false, true);
    m_portList->setToolTip(PortToolTip());
}

void CUpgradeDlg::LoadSettings() {
    const Settings settings = tarvik::LoadSettings(m_settingsPath.toStdString());
    m_imagePath = FromUtf8(settings.upgradePath);
    m_imageName = FromUtf8(settings.upgradeName);
    m_fileBox->setText(m_imageName);
    Select(m_portList, settings.portIndex);
    Select(m_baudList, settings.baudIndex);
    Select(m_dataBitsList, settings.dataBitsIndex);
    Select(m_stopBitsList, settings.stopBitsIndex);
    Select(m_parityList, settings.parityIndex);
}

void CUpgradeDlg::SaveSettings() {
    Settings settings;
    settings.upgradePath = m_imagePath.toStdString();
    settings.upgradeName = m_imageName.toStdString();
    settings.portIndex = m_portList->currentIndex();
    settings.baudIndex = m_baudList->currentIndex();
    settings.dataBitsIndex = m_dataBitsList->currentIndex();
    settings.stopBitsIndex = m_stopBitsList->currentIndex();
    settings.parityIndex = m_parityList->currentIndex();
    // Not saved is not reported: the operator only loses this run's choices.
    tarvik::SaveSettings(m_settingsPath.toStdString(), settings);
}

QWidget* CUpgradeDlg::Control(int id) const {
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

QTimer* CUpgradeDlg::Timer(int id) const {
    const int index = id - kResendTimer;
    if (index < 0 || index >= static_cast<int>(m_timers.size())) {
        return nullptr;
    }
    return m_timers[static_cast<size_t>(index)];
}

bool CUpgradeDlg::IsTimerActive(int id) const {
    const QTimer* timer = Timer(id);
    return timer != nullptr && timer->isActive();
}

// ---- Open/Close ----

void CUpgradeDlg::OnOpenClose() {
    if (m_openClose->text() == QString::fromUtf8(text::kOpenCaption)) {
        if (OpenPort() == kErrSuccess) {
            m_openClose->LoadStateBitmaps(res::kLampOnBitmap, kLampTransparent, 0, 0);
            m_openClose->setText(QString::fromUtf8(text::kCloseCaption));
        } else {
            ShowMessage(text::kPortUnavailable);
        }
        return;
    }
    // The reader closes the port itself when its current read ends; the window only asks.
    m_reader.RequestStop();
    m_engine.OnPortClosed();
    std::this_thread::sleep_for(kCloseWait);
    m_openClose->LoadStateBitmaps(res::kLampOffBitmap, kLampTransparent, 0, 0);
    m_openClose->setText(QString::fromUtf8(text::kOpenCaption));
}

uint32_t CUpgradeDlg::OpenPort() {
    const std::string device = kDevicePrefix + m_portList->currentText().toStdString();
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
    const uint32_t baud = m_baudList->currentText().toUInt();
    const LineSelections line = Selections();
    m_port.Setup(baud, static_cast<uint8_t>(line.dataBitsIndex + kDataBitsBase),
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

QString CUpgradeDlg::PortToolTip() const {
    const QString name = m_portList->currentText();
    if (name.isEmpty()) {
        return QStringLiteral("未选择串口");
    }
    const std::optional<std::string> device = ResolveDeviceName(name.toStdString());
    if (!device) {
        return QStringLiteral("%1 在本机没有对应的设备").arg(name);
    }
    const QFileInfo entry(QString::fromStdString(*device));
    // The window's one failure message cannot say why; the tip can, for a device that is
    // there but refuses this user.
    const QString refused =
        DeviceRefusesUser(*device)
            ? QStringLiteral("（当前用户无权打开：请把用户加入 dialout 组，然后重新登录）")
            : QString();
    if (entry.isSymLink()) {
        // An entry of the ports folder: show the device it leads to, and the entry.
        const QString target = entry.canonicalFilePath();
        if (target.isEmpty()) {
            return QStringLiteral("%1 → %2（设备不存在，经 %3）")
                .arg(name, entry.symLinkTarget(), entry.filePath());
        }
        return QStringLiteral("%1 → %2（经 %3）%4").arg(name, target, entry.filePath(), refused);
    }
    if (!entry.exists()) {
        return QStringLiteral("%1 → %2（设备不存在）").arg(name, entry.filePath());
    }
    return QStringLiteral("%1 → %2%3").arg(name, entry.filePath(), refused);
}

bool CUpgradeDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_portList && event->type() == QEvent::ToolTip) {
        // Devices come and go (an adapter plugged in): look again each time the tip shows.
        m_portList->setToolTip(PortToolTip());
    }
    return QDialog::eventFilter(watched, event);
}

// ---- Browse, Start, Stop, Exit ----

QString CUpgradeDlg::ChooseImageWithDialog() {
    QFileDialog dialog(this);
    // The framework's own dialog: it speaks the tool's language whatever the desktop's.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::ReadOnly, true);
    dialog.setNameFilters(
        {QString::fromUtf8(text::kFilterBin), QString::fromUtf8(text::kFilterAll)});
    ShowEveryFileUnderAllFilesFilter(dialog);
    dialog.selectNameFilter(QString::fromUtf8(text::kFilterBin));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return QString();
    }
    return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
}

void CUpgradeDlg::OnBrowse() {
    // Cancelling clears an earlier choice: path, name and file box all become empty.
    const QString path = chooseImageFile ? chooseImageFile() : ChooseImageWithDialog();
    m_imagePath = path;
    m_imageName = path.mid(path.lastIndexOf(QDir::separator()) + 1);
    m_fileBox->setText(m_imageName);
}

void CUpgradeDlg::OnStart() {
    m_engine.Start(QFile::encodeName(m_imagePath).toStdString(), m_imageName.toStdString());
}

void CUpgradeDlg::OnStop() {
    m_engine.OnStop();
}

void CUpgradeDlg::OnExit() {
    // Ends with OK through the virtual accept(); nothing is saved on this path.
    accept();
}

// ---- Window menu, keys, close ----

QMenu* CUpgradeDlg::CreateWindowMenu() {
    auto* menu = new QMenu(this);
    QAction* close = menu->addAction(QString::fromUtf8(text::kCloseItem));
    close->setData(res::kSysCloseCommand);
    menu->addSeparator();
    QAction* about = menu->addAction(QString::fromUtf8(text::kAboutItem));
    about->setData(res::kAboutCommand);
    connect(menu, &QMenu::triggered, this,
            [this](QAction* action) { OnSysCommand(action->data().toUInt()); });
    return menu;
}

void CUpgradeDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = CreateWindowMenu();
    menu->exec(event->globalPos());
    menu->deleteLater();
}

void CUpgradeDlg::OnSysCommand(unsigned commandId) {
    if ((commandId & res::kSysCommandIdMask) == res::kAboutCommand) {
        CAboutDlg about(this);
        about.exec();
        return;
    }
    if (commandId == res::kSysCloseCommand) {
        close();
    }
}

void CUpgradeDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // No button is the default: Enter presses the push button that has the focus, and
        // anywhere else it is the dialog's OK.
        auto* button = qobject_cast<QPushButton*>(focusWidget());
        if (button != nullptr) {
            if (button->isEnabled()) {
                button->click();
            }
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void CUpgradeDlg::closeEvent(QCloseEvent* event) {
    // The close box, Alt+F4 and the window menu's close item come here; Exit, Enter and Esc
    // end the dialog without a close event and save nothing.
    SaveSettings();
    QDialog::closeEvent(event);
}

// ---- The engine's driver ----

void CUpgradeDlg::ArmTimer(int id, std::chrono::milliseconds period) {
    if (QTimer* timer = Timer(id)) {
        timer->start(period);
    }
}

void CUpgradeDlg::StopTimer(int id) {
    if (QTimer* timer = Timer(id)) {
        timer->stop();
    }
}

void CUpgradeDlg::SetInfoText(const std::string& utf8) {
    m_infoLine->setText(FromUtf8(utf8));
}

void CUpgradeDlg::SetStatusText(const std::string& utf8) {
    m_statusLine->setText(FromUtf8(utf8));
}

void CUpgradeDlg::SetProgressRange(uint32_t minimum, uint32_t maximum) {
    m_progress->setRange(static_cast<int>(std::min<uint32_t>(minimum, INT_MAX)),
                         static_cast<int>(std::min<uint32_t>(maximum, INT_MAX)));
}

void CUpgradeDlg::SetProgressPos(uint32_t position) {
    // A position outside the range is pinned to its nearer end, not ignored.
    const int pos = static_cast<int>(std::min<uint32_t>(position, INT_MAX));
    m_progress->setValue(std::clamp(pos, m_progress->minimum(), m_progress->maximum()));
}

void CUpgradeDlg::EnableStart(bool enabled) {
    QWidget* stop = Control(res::kStopButton);
    const QWidget* holder = focusWidget();
    const StartFocus now = holder == m_start ? StartFocus::kStart
                           : holder == stop  ? StartFocus::kStop
                                             : StartFocus::kOther;
    const StartFocus next = FocusAfterStartChange(enabled, now);
    // Moved before Start is disabled, so that the focus never passes on to 退出.
    if (next == StartFocus::kStop && now != StartFocus::kStop) {
        stop->setFocus();
    }
    m_start->setEnabled(enabled);
    if (next == StartFocus::kStart && now != StartFocus::kStart) {
        m_start->setFocus();
    }
}

bool CUpgradeDlg::IsStartEnabled() const {
    return m_start->isEnabled();
}

void CUpgradeDlg::ShowMessage(const std::string& utf8) {
    ShowMessageBox(this, QCoreApplication::applicationName(), FromUtf8(utf8));
}

LineSelections CUpgradeDlg::Selections() const {
    return LineSelections{m_dataBitsList->currentIndex(), m_parityList->currentIndex(),
                          m_stopBitsList->currentIndex()};
}

void CUpgradeDlg::Wait(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

}  // namespace tarvik
