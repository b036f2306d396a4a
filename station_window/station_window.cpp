#include "station_window/station_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

#include "res/resource.h"
#include "settings/list_items.h"
#include "station/station_options.h"

namespace tarvik::station {

namespace {

constexpr char kWindowTitle[] = "批量升级";
// Sizes, pixels at 96 dpi: the big word is read from a step or two away from the fixture.
constexpr int kWordPixels = 34;
constexpr int kNamePixels = 16;
constexpr int kPanelMinWidth = 300;
constexpr int kPanelMinHeight = 150;
constexpr int kPortListRows = 4;
constexpr int kTableRowsShown = 4;
constexpr int kFirstWidth = 1280;
constexpr int kFirstHeight = 720;
constexpr int kRecordColumns = 6;

QString Q(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QString Css(PanelColour colour) {
    return QStringLiteral("#%1").arg(ColourRgb(colour), 6, 16, QLatin1Char('0'));
}

void FillCombo(QComboBox* box, int listId) {
    for (const std::string& item : ListItems(listId)) {
        box->addItem(Q(item));
    }
}

void SelectIndex(QComboBox* box, int index) {
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : 0);
}

}  // namespace

CStationPanel::CStationPanel(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("stationPanel"));
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral(
        "#stationPanel { border: 1px solid #b0b0b0; border-radius: 4px; background: white; }"));
    setMinimumSize(kPanelMinWidth, kPanelMinHeight);
    auto* layout = new QVBoxLayout(this);
    name = new QLabel(this);
    QFont nameFont = name->font();
    nameFont.setPixelSize(kNamePixels);
    nameFont.setBold(true);
    name->setFont(nameFont);
    word = new QLabel(this);
    QFont wordFont = word->font();
    wordFont.setPixelSize(kWordPixels);
    wordFont.setBold(true);
    word->setFont(wordFont);
    word->setAlignment(Qt::AlignCenter);
    line = new QLabel(this);
    line->setAlignment(Qt::AlignCenter);
    line->setWordWrap(true);
    bar = new QProgressBar(this);
    bar->setRange(0, 100);
    bar->setTextVisible(false);
    counters = new QLabel(this);
    layout->addWidget(name);
    layout->addStretch(1);
    layout->addWidget(word);
    layout->addWidget(bar);
    layout->addWidget(line);
    layout->addStretch(1);
    layout->addWidget(counters);
}

void CStationPanel::Show(const PanelView& view) {
    name->setText(Q(view.name));
    word->setText(Q(view.word));
    word->setStyleSheet(QStringLiteral("color: %1;").arg(Css(view.colour)));
    line->setText(Q(view.line));
    line->setStyleSheet(QStringLiteral("color: %1;").arg(Css(view.lineColour)));
    // The bar keeps its room when hidden, so the word does not jump as a transfer begins.
    QSizePolicy keep = bar->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    bar->setSizePolicy(keep);
    bar->setVisible(view.percent.has_value());
    bar->setValue(view.percent.value_or(0));
    counters->setText(Q(view.counters));
}

CStationWindow::CStationWindow(std::unique_ptr<IStationSource> source, QString settingsPath,
                               const StationCommandLine& line,
                               const std::vector<PresentPort>& present, QWidget* parent)
    : QWidget(parent),
      m_source(std::move(source)),
      m_settingsPath(std::move(settingsPath)),
      m_line(line),
      m_present(present) {
    setWindowTitle(Q(kWindowTitle));
    BuildStrip();
    LoadStrip();
    m_redraw = new QTimer(this);
    m_redraw->setInterval(kRedrawPeriod);
    connect(m_redraw, &QTimer::timeout, this, &CStationWindow::Refresh);
    m_beeper = new QTimer(this);
    m_beeper->setInterval(kBeepGap);
    connect(m_beeper, &QTimer::timeout, this, &CStationWindow::Beep);
    resize(kFirstWidth, kFirstHeight);
    if (m_line.start) {
        // Once the window is up, so a refused start is said over it.
        QTimer::singleShot(0, this, &CStationWindow::OnStart);
    }
}

CStationWindow::~CStationWindow() {
    if (m_running) {
        m_source->Stop();
    }
}

void CStationWindow::BuildStrip() {
    auto* outer = new QVBoxLayout(this);
    auto* strip = new QGroupBox(QStringLiteral("设置"), this);
    auto* grid = new QGridLayout(strip);

    imageEdit = new QLineEdit(strip);
    imageBrowse = new QPushButton(QStringLiteral("浏览"), strip);
    logEdit = new QLineEdit(strip);
    logBrowse = new QPushButton(QStringLiteral("浏览"), strip);
    grid->addWidget(new QLabel(QStringLiteral("固件文件"), strip), 0, 0);
    grid->addWidget(imageEdit, 0, 1);
    grid->addWidget(imageBrowse, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("记录文件"), strip), 1, 0);
    grid->addWidget(logEdit, 1, 1);
    grid->addWidget(logBrowse, 1, 2);

    auto* lineRow = new QHBoxLayout;
    parityBox = new QComboBox(strip);
    FillCombo(parityBox, res::kParityList);
    dataBitsBox = new QComboBox(strip);
    FillCombo(dataBitsBox, res::kDataBitsList);
    stopBitsBox = new QComboBox(strip);
    FillCombo(stopBitsBox, res::kStopBitsList);
    soundsBox = new QCheckBox(QStringLiteral("声音"), strip);
    lineRow->addWidget(new QLabel(QStringLiteral("效验位"), strip));
    lineRow->addWidget(parityBox);
    lineRow->addWidget(new QLabel(QStringLiteral("数据位"), strip));
    lineRow->addWidget(dataBitsBox);
    lineRow->addWidget(new QLabel(QStringLiteral("停止位"), strip));
    lineRow->addWidget(stopBitsBox);
    lineRow->addSpacing(12);
    lineRow->addWidget(soundsBox);
    lineRow->addStretch(1);
    grid->addLayout(lineRow, 2, 0, 1, 3);

    portList = new QListWidget(strip);
    portList->setMaximumHeight(portList->fontMetrics().height() * (kPortListRows + 1));
    grid->addWidget(new QLabel(QStringLiteral("串口"), strip), 0, 3, Qt::AlignTop);
    grid->addWidget(portList, 0, 4, 3, 1);

    startButton = new QPushButton(QStringLiteral("开始"), strip);
    stopButton = new QPushButton(QStringLiteral("停止"), strip);
    // Neither button is the default: Enter in a box of the strip presses nothing. 停止 takes
    // no focus, so no key (Space, Enter) held or tapped by accident reaches it.
    for (QPushButton* button : {startButton, stopButton}) {
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setMinimumHeight(button->sizeHint().height() * 2);
    }
    stopButton->setFocusPolicy(Qt::NoFocus);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(startButton);
    buttons->addWidget(stopButton);
    grid->addLayout(buttons, 0, 5, 3, 1);
    grid->setColumnStretch(1, 3);
    grid->setColumnStretch(4, 2);
    outer->addWidget(strip);

    noticeLabel = new QLabel(this);
    noticeLabel->setStyleSheet(
        QStringLiteral("color: white; background: %1; padding: 4px;").arg(Css(PanelColour::Red)));
    noticeLabel->setWordWrap(true);
    noticeLabel->hide();
    outer->addWidget(noticeLabel);

    m_panelArea = new QWidget(this);
    m_panelGrid = new QGridLayout(m_panelArea);
    m_panelGrid->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_panelArea, 1);

    totalsLabel = new QLabel(this);
    QFont totalsFont = totalsLabel->font();
    totalsFont.setBold(true);
    totalsLabel->setFont(totalsFont);
    outer->addWidget(totalsLabel);

    recordTable = new QTableWidget(0, kRecordColumns, this);
    QStringList titles;
    for (const std::string& title : RecordColumnTitles()) {
        titles << Q(title);
    }
    recordTable->setHorizontalHeaderLabels(titles);
    recordTable->verticalHeader()->hide();
    recordTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    recordTable->setSelectionMode(QAbstractItemView::NoSelection);
    recordTable->setFocusPolicy(Qt::NoFocus);
    // Every field whole (the time is as long as the log writes it); the seconds take the rest.
    recordTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    recordTable->horizontalHeader()->setStretchLastSection(true);
    recordTable->setFixedHeight(recordTable->horizontalHeader()->sizeHint().height() +
                                recordTable->verticalHeader()->defaultSectionSize() *
                                    kTableRowsShown +
                                2 * recordTable->frameWidth());
    outer->addWidget(recordTable);

    connect(startButton, &QPushButton::clicked, this, &CStationWindow::OnStart);
    connect(stopButton, &QPushButton::clicked, this, [this] { OnStop(); });
    connect(imageBrowse, &QPushButton::clicked, this, [this] {
        const QString path =
            QFileDialog::getOpenFileName(this, QStringLiteral("选择固件文件"), imageEdit->text());
        if (!path.isEmpty()) {
            imageEdit->setText(path);
        }
    });
    connect(logBrowse, &QPushButton::clicked, this, [this] {
        // The log is appended to: choosing a file that exists is no overwrite.
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("选择记录文件"), logEdit->text(),
            QStringLiteral("CSV (*.csv);;JSON lines (*.jsonl *.json);;* (*)"), nullptr,
            QFileDialog::DontConfirmOverwrite);
        if (!path.isEmpty()) {
            logEdit->setText(path);
        }
    });
}

void CStationWindow::LoadStrip() {
    m_settings = ApplyCommandLine(LoadStationSettings(m_settingsPath.toStdString()), m_line);
    imageEdit->setText(Q(m_settings.image));
    logEdit->setText(Q(m_settings.log.empty()
                           ? DefaultLogPath(DocumentsFolder(), std::chrono::system_clock::now())
                           : m_settings.log));
    SelectIndex(parityBox, m_settings.parityIndex);
    SelectIndex(dataBitsBox, m_settings.dataBitsIndex);
    SelectIndex(stopBitsBox, m_settings.stopBitsIndex);
    soundsBox->setChecked(m_settings.sounds);
    portList->clear();
    for (const PortChoice& choice : PortChoices(m_present, m_settings.ports)) {
        auto* item = new QListWidgetItem(Q(choice.label), portList);
        item->setData(Qt::UserRole, Q(choice.name));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(choice.checked ? Qt::Checked : Qt::Unchecked);
    }
    MakePanels(m_settings.ports);
    totalsLabel->setText(Q(TotalsText(SumTotals({}))));
}

StationSettings CStationWindow::StripSettings() const {
    StationSettings settings;
    settings.image = imageEdit->text().trimmed().toStdString();
    settings.log = logEdit->text().trimmed().toStdString();
    for (int i = 0; i < portList->count(); ++i) {
        const QListWidgetItem* item = portList->item(i);
        if (item->checkState() == Qt::Checked) {
            settings.ports.push_back(item->data(Qt::UserRole).toString().toStdString());
        }
    }
    settings.parityIndex = parityBox->currentIndex();
    settings.dataBitsIndex = dataBitsBox->currentIndex();
    settings.stopBitsIndex = stopBitsBox->currentIndex();
    settings.sounds = soundsBox->isChecked();
    return settings;
}

void CStationWindow::SaveStrip() {
    StationSettings settings = StripSettings();
    // A shortcut's --port and --image are for its own runs: what the operator chose by hand
    // is remembered, not what one shortcut said.
    if (!m_line.ports.empty()) {
        settings.ports = LoadStationSettings(m_settingsPath.toStdString()).ports;
    }
    SaveStationSettings(m_settingsPath.toStdString(), settings);
}

void CStationWindow::MakePanels(const std::vector<std::string>& ports) {
    for (CStationPanel* panel : panels) {
        delete panel;
    }
    panels.clear();
    const Grid grid = GridFor(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        auto* panel = new CStationPanel(m_panelArea);
        PortLook idle;
        idle.name = ports[i];
        panel->Show(MakePanel(idle));
        m_panelGrid->addWidget(panel, static_cast<int>(i / grid.columns),
                               static_cast<int>(i % grid.columns));
        panels.push_back(panel);
    }
}

void CStationWindow::OnStart() {
    if (m_running) {
        return;
    }
    const StationSettings settings = StripSettings();
    if (settings.image.empty()) {
        QMessageBox::warning(this, Q(kWindowTitle), QStringLiteral("请选择要升级的文件！"));
        return;
    }
    if (settings.ports.empty()) {
        QMessageBox::warning(this, Q(kWindowTitle), QStringLiteral("请选择至少一个串口"));
        return;
    }
    if (settings.ports.size() > kMaxPanels) {
        QMessageBox::warning(this, Q(kWindowTitle),
                             QStringLiteral("最多 %1 个串口").arg(kMaxPanels));
        return;
    }
    StationRequest request;
    request.ports = settings.ports;
    request.image = settings.image;
    request.log = settings.log.empty()
                      ? DefaultLogPath(DocumentsFolder(), std::chrono::system_clock::now())
                      : settings.log;
    logEdit->setText(Q(request.log));
    request.count = m_line.count;
    request.stopOnFail = m_line.stopOnFail;
    request.parityIndex = settings.parityIndex;
    request.dataBitsIndex = settings.dataBitsIndex;
    request.stopBitsIndex = settings.stopBitsIndex;
    SaveStrip();

    MakePanels(request.ports);
    noticeLabel->hide();
    m_logFailed = false;
    m_interrupted = 0;
    if (const StartError error = m_source->Start(request)) {
        m_exitCode = error.kind == StartError::Kind::Port ? kExitPortFailed : kExitUsage;
        Notice(Q(error.text));
        if (m_line.count) {
            // A fixture's shortcut: nobody is there to read it; the exit code says it.
            QMessageBox::critical(this, Q(kWindowTitle), Q(error.text));
            close();
        }
        return;
    }
    SetRunning(true);
    Refresh();
}

bool CStationWindow::AskStop(const QString& text) {
    QMessageBox box(QMessageBox::Warning, Q(kAskStopTitle), text,
                    QMessageBox::Yes | QMessageBox::No, this);
    // Enter and Space answer 否: only a deliberate click on 是 stops boards.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("停止"));
    box.button(QMessageBox::No)->setText(QStringLiteral("继续升级"));
    return box.exec() == QMessageBox::Yes;
}

bool CStationWindow::OnStop() {
    if (!m_running) {
        return true;
    }
    const std::vector<PortLook> look = m_source->Look();
    if (MustAskBeforeStop(look) && !AskStop(Q(AskStopText(look)))) {
        return false;
    }
    m_interrupted += m_source->Stop();
    Finish();
    return true;
}

void CStationWindow::Refresh() {
    std::vector<PortLook> look = m_source->Look();
    for (const StationEvent& event : m_source->TakeEvents()) {
        m_records.Add(event.record);
        m_beepsDue += BeepsFor(SoundFor(event.verdict, soundsBox->isChecked()));
    }
    if (m_beepsDue > 0 && !m_beeper->isActive()) {
        Beep();
        m_beeper->start();
    }
    for (size_t i = 0; i < look.size() && i < panels.size(); ++i) {
        panels[i]->Show(MakePanel(look[i]));
    }
    totalsLabel->setText(Q(TotalsText(SumTotals(look))));
    const auto& rows = m_records.Rows();
    recordTable->setRowCount(static_cast<int>(rows.size()));
    for (size_t r = 0; r < rows.size(); ++r) {
        const RecordRow& row = rows[r];
        const std::string* cells[kRecordColumns] = {&row.time,   &row.port, &row.board,
                                                    &row.result, &row.step, &row.seconds};
        for (int c = 0; c < kRecordColumns; ++c) {
            QTableWidgetItem* item = recordTable->item(static_cast<int>(r), c);
            if (item == nullptr) {
                item = new QTableWidgetItem;
                recordTable->setItem(static_cast<int>(r), c, item);
            }
            item->setText(Q(*cells[c]));
        }
    }
    if (const std::optional<std::string> failure = m_source->LogFailure();
        failure && !m_logFailed) {
        m_logFailed = true;
        Notice(QStringLiteral("记录文件无法写入，不再接收新的电路板：%1").arg(Q(*failure)));
    }
    m_lastLook = std::move(look);
    if (m_running && m_source->Ended()) {
        m_interrupted += m_source->Stop();
        Finish();
    }
}

void CStationWindow::Finish() {
    m_redraw->stop();
    m_running = false;
    // The boards that ended while stopping: their records, their panels.
    Refresh();
    SetRunning(false);
    m_exitCode = ExitCodeFor(SumTotals(m_lastLook), m_interrupted > 0, m_logFailed);
    if (m_line.count) {
        // The shortcut's run is over: the window ends with its code.
        close();
    }
}

void CStationWindow::SetRunning(bool running) {
    m_running = running;
    startButton->setEnabled(!running);
    stopButton->setEnabled(running);
    for (QWidget* w :
         std::initializer_list<QWidget*>{imageEdit, logEdit, imageBrowse, logBrowse, portList,
                                         parityBox, dataBitsBox, stopBitsBox}) {
        w->setEnabled(!running);
    }
    if (running) {
        m_redraw->start();
        // Nothing with a key's action keeps the focus while boards are upgraded.
        soundsBox->setFocus();
    }
}

void CStationWindow::Notice(const QString& text) {
    noticeLabel->setText(text);
    noticeLabel->show();
}

void CStationWindow::Beep() {
    if (m_beepsDue <= 0) {
        m_beeper->stop();
        return;
    }
    --m_beepsDue;
    QApplication::beep();
}

void CStationWindow::closeEvent(QCloseEvent* event) {
    if (m_running && !OnStop()) {
        event->ignore();
        return;
    }
    if (!m_line.count) {
        SaveStrip();
    }
    event->accept();
}

void CStationWindow::keyPressEvent(QKeyEvent* event) {
    // Esc closes many windows; here it would reach 停止's question at best. It does nothing.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace tarvik::station
