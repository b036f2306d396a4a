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
#include <vector>

#include "app/about_dlg.h"
#include "app/dialog_units.h"
#include "app/message_box.h"
#include "controls/image_button.h"
#include "res/resource.h"
#include "serial/com_names.h"
#include "serial/net_line.h"
#include "settings/settings.h"
#include "upgrade/texts.h"

// The compiled-in resources live in a static library: name them once so the linker keeps
// them.
static void InitTarvikResources() {
    Q_INIT_RESOURCE(tarvik);
}

namespace tarvik {

namespace {

// A progress bar starts with the range 0..100 until an upgrade sets its own.
constexpr int kProgressDefaultMaximum = 100;

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

QRgb LampTransparent() {
    return qRgb(kLampTransparentRgb[0], kLampTransparentRgb[1], kLampTransparentRgb[2]);
}

}  // namespace

CUpgradeDlg::CUpgradeDlg(QWidget* parent, QString settingsPath)
    : QDialog(parent),
      m_logic(*this, settingsPath.isEmpty() ? SettingsFilePath() : settingsPath.toStdString()) {
    InitTarvikResources();
    for (size_t i = 0; i < m_timers.size(); ++i) {
        const int id = static_cast<int>(i) + kResendTimer;
        auto* timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, id] { m_logic.OnTimer(id); });
        m_timers[i] = timer;
    }
    CreateControls();
    OnInitDialog();
}

CUpgradeDlg::~CUpgradeDlg() {
    for (QTimer* timer : m_timers) {
        timer->stop();
    }
    // The reader holds the port: it must have ended before the port goes away.
    m_logic.Shutdown();
}

void CUpgradeDlg::CreateControls() {
    setWindowTitle(QString::fromUtf8(text::kMainTitle));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont(res::kMainFontPoints));
    const DialogBaseUnits units = BaseUnitsOf(font());
    setFixedSize(MapDialogSize(units, res::kMainWidth, res::kMainHeight));

    QWidget* previousStop = nullptr;
    std::vector<QWidget*> groups;
    for (const res::ControlTemplate& t : res::kMainTemplate) {
        const QRect rect = MapDialogRect(units, t.x, t.y, t.width, t.height);
        const QString text = QString::fromUtf8(t.text);
        QWidget* widget = nullptr;
        switch (t.kind) {
            case res::ControlKind::List: {
                auto* list = new QComboBox(this);
                const int boxHeight = list->sizeHint().height();
                list->setGeometry(rect.x(), rect.y(), rect.width(), boxHeight);
                const int rowHeight = list->fontMetrics().height();
                list->setMaxVisibleItems(std::max(1, (rect.height() - boxHeight) / rowHeight));
                widget = list;
                break;
            }
            case res::ControlKind::Label:
            case res::ControlKind::TextLine: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setGeometry(rect);
                widget = label;
                break;
            }
            case res::ControlKind::Group: {
                auto* group = new QGroupBox(text, this);
                group->setGeometry(rect);
                // A frame drawn behind the controls it surrounds; clicks go through it.
                group->setAttribute(Qt::WA_TransparentForMouseEvents);
                group->setFocusPolicy(Qt::NoFocus);
                groups.push_back(group);
                widget = group;
                break;
            }
            case res::ControlKind::FileBox: {
                auto* box = new QLineEdit(this);
                box->setReadOnly(true);
                box->setGeometry(rect);
                widget = box;
                break;
            }
            case res::ControlKind::Button:
            case res::ControlKind::LampButton: {
                QPushButton* button = nullptr;
                if (t.kind == res::ControlKind::LampButton) {
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
            case res::ControlKind::Progress: {
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
        if (t.id != res::kNoId) {
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
    m_progress = ControlAs<QProgressBar>(res::kProgressBar);

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
    m_logic.OnInitDialog();
    m_openClose->SetFlatLook(false, true);
    m_portList->setToolTip(PortToolTip());
}

void CUpgradeDlg::SaveSettings() {
    m_logic.SaveSettings();
}

QString CUpgradeDlg::ImagePath() const {
    return FromUtf8(m_logic.ImagePath());
}

QString CUpgradeDlg::ImageName() const {
    return FromUtf8(m_logic.ImageName());
}

QString CUpgradeDlg::SettingsPath() const {
    return FromUtf8(m_logic.SettingsPath());
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
    m_logic.OnOpenClose();
}

uint32_t CUpgradeDlg::OpenPort() {
    return m_logic.OpenPort();
}

QString CUpgradeDlg::PortToolTip() const {
    const QString name = FromUtf8(m_logic.SelectedPortText());
    if (name.isEmpty()) {
        return QStringLiteral("未选择串口");
    }
    const std::optional<std::string> device = ResolveDeviceName(name.toStdString());
    if (!device) {
        return QStringLiteral("%1 在本机没有对应的设备").arg(name);
    }
    if (net::IsNetworkName(*device)) {
        // A network line: the address, not looked up (that would hold up the window).
        return QStringLiteral("%1 → %2（网络串口，明文传输）").arg(name, FromUtf8(*device));
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

std::string CUpgradeDlg::ChooseImageFile() {
    const QString path = chooseImageFile ? chooseImageFile() : ChooseImageWithDialog();
    return path.toStdString();
}

std::string CUpgradeDlg::PathSeparators() const {
    return QString(QDir::separator()).toStdString();
}

void CUpgradeDlg::OnBrowse() {
    m_logic.OnBrowse();
}

void CUpgradeDlg::OnStart() {
    m_logic.OnStart();
}

void CUpgradeDlg::OnStop() {
    m_logic.OnStop();
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
        // anywhere else it is the dialog's OK, except on the file box while an upgrade runs.
        auto* button = qobject_cast<QPushButton*>(focusWidget());
        if (button != nullptr) {
            if (button->isEnabled()) {
                button->click();
            }
        } else if (m_logic.EnterEndsWindow()) {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void CUpgradeDlg::done(int result) {
    m_logic.OnWindowEnding();
    QDialog::done(result);
}

void CUpgradeDlg::closeEvent(QCloseEvent* event) {
    // The close box, Alt+F4 and the window menu's close item come here; Exit, Enter and Esc
    // end the dialog without a close event and save nothing.
    SaveSettings();
    QDialog::closeEvent(event);
}

// ---- Drawing what the logic decides ----

QComboBox* CUpgradeDlg::List(int listId) const {
    return ControlAs<QComboBox>(listId);
}

void CUpgradeDlg::InsertListItem(int listId, int index, const std::string& utf8) {
    List(listId)->insertItem(index, FromUtf8(utf8));
}

void CUpgradeDlg::SelectListItem(int listId, int index) {
    List(listId)->setCurrentIndex(index);
}

int CUpgradeDlg::ListSelection(int listId) const {
    return List(listId)->currentIndex();
}

void CUpgradeDlg::SetControlText(int id, const std::string& utf8) {
    QWidget* control = Control(id);
    if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(FromUtf8(utf8));
    } else if (auto* box = qobject_cast<QLineEdit*>(control)) {
        box->setText(FromUtf8(utf8));
    } else if (auto* button = qobject_cast<QPushButton*>(control)) {
        button->setText(FromUtf8(utf8));
    }
}

std::string CUpgradeDlg::ControlText(int id) const {
    const QWidget* control = Control(id);
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        return label->text().toStdString();
    }
    if (const auto* box = qobject_cast<const QLineEdit*>(control)) {
        return box->text().toStdString();
    }
    if (const auto* button = qobject_cast<const QPushButton*>(control)) {
        return button->text().toStdString();
    }
    return std::string();
}

void CUpgradeDlg::EnableControl(int id, bool enabled) {
    if (QWidget* control = Control(id)) {
        control->setEnabled(enabled);
    }
}

bool CUpgradeDlg::IsControlEnabled(int id) const {
    const QWidget* control = Control(id);
    return control != nullptr && control->isEnabled();
}

void CUpgradeDlg::ShowLamp(int bitmapId) {
    m_openClose->LoadStateBitmaps(bitmapId, LampTransparent(), 0, 0);
}

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

void CUpgradeDlg::SetProgressRange(uint32_t minimum, uint32_t maximum) {
    m_progress->setRange(static_cast<int>(std::min<uint32_t>(minimum, INT_MAX)),
                         static_cast<int>(std::min<uint32_t>(maximum, INT_MAX)));
}

void CUpgradeDlg::SetProgressPos(uint32_t position) {
    // A position outside the range is pinned to its nearer end, not ignored.
    const int pos = static_cast<int>(std::min<uint32_t>(position, INT_MAX));
    m_progress->setValue(std::clamp(pos, m_progress->minimum(), m_progress->maximum()));
}

int CUpgradeDlg::FocusedControl() const {
    const QWidget* holder = focusWidget();
    for (const auto& [id, control] : m_controls) {
        if (control == holder) {
            return id;
        }
    }
    return res::kNoId;
}

void CUpgradeDlg::FocusControl(int id) {
    if (QWidget* control = Control(id)) {
        control->setFocus();
    }
}

void CUpgradeDlg::ShowMessage(const std::string& utf8) {
    ShowMessageBox(this, QCoreApplication::applicationName(), FromUtf8(utf8));
}

void CUpgradeDlg::RequestReplyDelivery() {
    // Reader thread: queue the delivery onto this window's thread; the reader waits in the
    // hand-over until it has run (or the window shuts the reader down).
    QMetaObject::invokeMethod(
        this, [this] { m_logic.DeliverReply(); }, Qt::QueuedConnection);
}

}  // namespace tarvik
