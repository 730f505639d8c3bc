#include "ui/main_window.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QShortcut>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <iostream>

#include "core/app/startup.h"
#include "core/foundation/base_directory.h"
#include "platform/index_search.h"
#include "platform/pg_record_index.h"
#include "platform/raw_import_runner.h"
#include "platform/sqlite_record_index.h"
#include "ui/call_lists.h"
#include "ui/import_progress.h"
#include "ui/message_detail.h"
#include "ui/raw_data_display.h"
#include "ui/statistics_chart.h"
#include "ui/query_form.h"
#include "ui/system_load_window.h"
#include "ui/status_panel.h"
#include "ui/widget_helpers.h"

namespace velk {

CVELKDlg::CVELKDlg(Collector& collector, const SettingsStore& store, OperatorPrompt& prompt,
                   ShutdownTiming timing, QWidget* parent)
    : QMainWindow(parent),
      collector_(collector),
      settings_(collector.Settings()),
      store_(store),
      prompt_(prompt),
      ring_(collector.Ring()),
      counters_(collector.Counters()),
      timing_(timing),
      display_(collector.Counters()) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("VELK"));
    // A system menu and a close box, no minimise or maximise box: hiding goes through the
    // Minimize command.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));

    BuildMenu();
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralArea"));
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 2, 4, 2);

    auto* top = new QHBoxLayout;
    importStatus_ = MakeLabel(QString(), "importStatus", central);
    databaseStatus_ = MakeLabel(QString(), "databaseStatus", central);
    databaseStatus_->hide();
    top->addWidget(databaseStatus_);
    recordFilesNote_ = MakeLabel(QString(), "recordFilesNote", central);
    recordFilesNote_->setStyleSheet(QStringLiteral("color: #b00000;"));
    recordFilesNote_->hide();
    top->addWidget(recordFilesNote_);
    top->addStretch(1);
    top->addWidget(importStatus_);
    queryForm_ = new QPushButton(QStringLiteral("Query Form"), central);
    queryForm_->setObjectName(QStringLiteral("queryFormButton"));
    queryForm_->hide();  // created hidden; nothing in the window shows it
    connect(queryForm_, &QPushButton::clicked, this, &CVELKDlg::OnQueryForm);
    top->addWidget(queryForm_);
    layout->addLayout(top);

    lists_ = new CallLists(ring_, counters_, prompt_, central);
    connect(lists_, &QTabWidget::currentChanged, this, &CVELKDlg::OnTabChanged);
    connect(lists_, &CallLists::DetailRequested, this, [this](int row) { OpenDetail(row); });
    connect(lists_, &CallLists::StatisticsHovered, this, &CVELKDlg::OnStatisticsHover);
    layout->addWidget(lists_, 1);

    auto* bottom = new QWidget(central);
    bottom->setObjectName(QStringLiteral("bottomPanel"));
    auto* row = new QHBoxLayout(bottom);
    row->setContentsMargins(0, 0, 0, 0);
    chart_ = new StatisticsChart(bottom);
    row->addWidget(chart_, 3);
    status_ = new StatusPanel(bottom);
    connect(status_->StatisticClearButton(), &QPushButton::clicked, this,
            &CVELKDlg::OnStatisticClear);
    connect(status_->DefaultViewButton(), &QPushButton::clicked, this, &CVELKDlg::OnDefaultView);
    row->addWidget(status_, 2);
    layout->addWidget(bottom);

    rawData_ = MakeLabel(QStringLiteral("Raw Data:"), "rawDataLine", central);
    rawData_->setTextFormat(Qt::PlainText);
    rawData_->setMinimumWidth(100);
    layout->addWidget(rawData_);
    setCentralWidget(central);

    lists_->ApplyColumnWidths(store_);
    status_->SetConnectedText(QStringLiteral("No  "));

    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    const auto makeTimer = [this](int ms, bool single, auto slot) {
        auto* t = new QTimer(this);
        t->setInterval(ms);
        t->setSingleShot(single);
        connect(t, &QTimer::timeout, this, slot);
        return t;
    };
    durationTimer_ = makeTimer(1000, false, &CVELKDlg::OnDurationTick);
    rateTimer_ = makeTimer(10000, false, &CVELKDlg::OnMessageRateTick);
    minimiseTimer_ = makeTimer(3000, true, [this] {
        if (settings_.LaunchMin == 1)
            Minimize();
    });

    // The raw data display lives for the whole run, hidden until the raw-data line is clicked.
    rawDisplay_ = new CRawDataDisplay(this);
    rawData_->installEventFilter(this);
    rawData_->setCursor(Qt::PointingHandCursor);

    import_ = new RawImportRunner(
        [this](const uint8_t* frame, uint32_t length,
               const std::vector<std::filesystem::path>& storedIn) {
            collector_.ImportLeaveOut(storedIn);
            // A record its files refused (a full disk) stops the import; VELK.LOG says why.
            if (!collector_.ImportMessage(frame, length))
                import_->Cancel();
        },
        [this] { collector_.ImportBadCheck(); }, this);
    connect(import_, &RawImportRunner::Finished, this, &CVELKDlg::OnImportFinished);
    // A file imported a second time would have every call billed twice: the operator decides.
    import_->CheckStoredRecords(
        &settings_, OutputDirectories::Under(collector_.BaseDirectory()),
        [this](uint64_t stored, uint64_t records) {
            return prompt_.Confirm(
                QString::fromLatin1(kImportAgainQuestion).arg(stored).arg(records).toStdString(),
                "VELK Import", PromptIcon::Exclamation);
        });

    collector_.SetView(this);
    // The chart starts with 24 zero bars labelled 00..23 (changing it before the window has its
    // size would leave the hour labels laid out for a tiny chart).
    StartLine();
    resize(990, 680);
}

CVELKDlg::~CVELKDlg() {
    collector_.SetView(nullptr);
}

void CVELKDlg::ShowRecordFilesNote() {
    const std::string note = RecordFilesNote(settings_);
    recordFilesNote_->setText(QString::fromStdString(note));
    recordFilesNote_->setVisible(!note.empty());
}

void CVELKDlg::Start() {
    collector_.Start();
    ShowRecordFilesNote();
    status_->SetConnectedText(QStringLiteral("No  "));
    if (settings_.AutoConnection != 0)
        OnConnect();
    if (settings_.LaunchMin == 1)
        minimiseTimer_->start();
    durationTimer_->start();
    rateTimer_->start();
}

QTableView* CVELKDlg::LastCallsList() const {
    return lists_->LastCalls();
}

QMenu* CVELKDlg::FieldNamePopup() const {
    return lists_->FieldNamePopup();
}

SystemLoadingWindow* CVELKDlg::OpenSystemLoad() {
    for (auto& slot : systemLoad_) {
        if (slot != nullptr)
            continue;
        // A window of its own, not owned by this one; its slot is freed when it closes.
        auto* window = new SystemLoadingWindow(
            settings_, OutputDirectories::Under(collector_.BaseDirectory()).trf,
            collector_.TimeSource(), prompt_);
        slot = window;
        // Over this window, the second one a little lower and to the right of the first.
        const int offset = &slot == &systemLoad_[0] ? 0 : 40;
        window->move(frameGeometry().center() - window->rect().center() + QPoint(offset, offset));
        window->show();
        return window;
    }
    return nullptr;
}

void CVELKDlg::OnQueryForm() {
    QueryForm form(settings_, collector_.TimeSource(), this);
    // Searches run on a connection of their own, beside the collector's.
    IndexSearch search(collector_.BaseDirectory() / kRecordIndexFile);
    form.SetFinder(&search, &prompt_);
    // With a database server of many sites, the operator may search there instead.
    const std::string connection = settings_.Database_Connection;
    IndexSearch server([connection]() -> std::unique_ptr<RecordIndex> {
        return std::make_unique<PgRecordIndex>(connection, std::string());
    });
    if (!connection.empty())
        form.SetServerSearch(&server);
    form.exec();
}

void CVELKDlg::DatabaseStatus(const std::string& line) {
    databaseStatus_->setText(QString::fromStdString(line));
    databaseStatus_->show();
}

int CVELKDlg::SystemLoadWindows() const {
    int open = 0;
    for (const auto& slot : systemLoad_)
        open += slot != nullptr ? 1 : 0;
    return open;
}

bool CVELKDlg::Importing() const {
    return import_ != nullptr && import_->Running();
}

void CVELKDlg::OnImport() {
    if (Importing() || menuState_ != LinkMenuState::Disconnected)
        return;
    const std::string path = prompt_.ChooseFile(kImportFilter);
    if (path.empty())
        return;
    if (IsRecordFile(path, OutputDirectories::Under(collector_.BaseDirectory()))) {
        prompt_.Message(kImportOwnFile);
        return;
    }
    const bool otherProgram = prompt_.Confirm(kImportQuestion, "", PromptIcon::None);
    {
        FileImportSource check(path);
        if (!check.Ok()) {
            prompt_.Message(kImportCannotOpen);
            return;
        }
        if (check.Length() <= 9) {
            prompt_.Message(kImportTooSmall);
            return;
        }
    }
    if (!import_->Start(path, otherProgram)) {
        prompt_.Message(kImportCannotOpen);
        return;
    }
    importStatus_->setText(QString::fromLatin1(kImportStarted));
    ring_.ClearLastCallsRing();
    lists_->RefreshLastCalls();
    collector_.BeginImport();
    importProgress_ = new ImportProgress(collector_.TimeSource(), this);
    importProgress_->setAttribute(Qt::WA_DeleteOnClose);
    connect(import_, &RawImportRunner::Progress, importProgress_, &ImportProgress::SetPercent);
    connect(import_, &RawImportRunner::Imported, importProgress_, &ImportProgress::SetImported);
    connect(importProgress_, &ImportProgress::CancelRequested, import_, &RawImportRunner::Cancel);
    importProgress_->show();
    RefreshMenus();
}

void CVELKDlg::OnImportFinished(const ImportResult& result) {
    if (importProgress_ != nullptr)
        importProgress_->Finish();
    // The import is complete only once its records are on the disk: a failed flush (reported
    // with the other problems) leaves "Import Stopped.".
    const bool flushed = collector_.EndImport();
    const std::string message = result.Message();
    if (!message.empty())
        prompt_.Message(message);
    else if (result.end == ImportEnd::Completed && !result.Remarks().empty())
        prompt_.Message("Selected file has a mistake!\n" + result.Remarks());
    importStatus_->setText(QString::fromLatin1(flushed ? result.Status() : kImportStopped));
    lists_->RefreshLastCalls();
    RefreshMenus();
}

void CVELKDlg::OnTabChanged(int index) {
    status_->DefaultViewButton()->setVisible(index == 0);
}

void CVELKDlg::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    if (shuttingDown_ || !prompt_.Confirm(kAreYouSure, "VELK Exit!", PromptIcon::Exclamation)) {
        event->ignore();
        return;
    }
    // Closed while an import runs: it stops after its current message, what it stored kept.
    if (Importing())
        import_->Cancel();
    RunShutdownSequence();
    closing_ = true;
    event->accept();
}

void CVELKDlg::Pause(int ms) {
    if (ms <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void CVELKDlg::RunShutdownSequence(bool unattended) {
    shuttingDown_ = true;
    import_->Wait();
    for (auto& window : systemLoad_) {
        if (window != nullptr)
            window->close();
    }
    Pause(timing_.beforeClosingWindows);
    for (auto& detail : details_) {
        if (detail != nullptr)
            detail->close();
    }
    rawDisplay_->hide();
    lists_->ClosePopup();
    if (tray_ != nullptr)
        tray_->hide();
    Pause(timing_.beforeDisconnect);
    OnDisconnect();
    Pause(timing_.afterDisconnect);
    lists_->StoreColumnWidths(settings_);
    if (store_.WriteIniFile(settings_) != 0)
        return;
    if (!unattended) {
        prompt_.Message(kIniUpdateFailed);
        return;
    }
    std::cerr << kIniUpdateFailed << std::endl;
    collector_.Log().Note("Not written", store_.IniPath().string() + ": " + kIniUpdateFailed);
}

void CVELKDlg::OnDurationTick() {
    status_->SetDuration(QString::fromStdString(collector_.Connection().DurationText()));
    ChartContent content;
    if (display_.AutoTick(content))
        chart_->Show(content);
}

QString CVELKDlg::ChartCaption() const {
    return chart_->Caption();
}

int CVELKDlg::ChartValue(int hour) const {
    return chart_->Value(hour);
}

void CVELKDlg::OnStatisticsHover(int row) {
    hotStatisticsRow_ = row;
    ChartContent content;
    if (display_.PointSelection(row, content))
        chart_->Show(content);
}

void CVELKDlg::StartLine() {
    status_->SetStartLine(
        QString::fromStdString(StatisticsDisplay::StartLine(collector_.TimeSource().Now())));
    connections_ = collector_.Protocol().ConStat == 1 ? 1 : 0;
    status_->SetConnections(connections_);
}

void CVELKDlg::OnStatisticClear() {
    if (!prompt_.Confirm(kAreYouSure, "Statistic cleaning!", PromptIcon::Warning))
        return;
    collector_.Log().Log(LOG_STATISTICS);
    StartLine();
    counters_.Clear();
    lists_->RefreshAllStatistics();
    OnStatisticsHover(hotStatisticsRow_);
    ring_.ClearLastCallsRing();
    lists_->RefreshLastCalls();
    collector_.ResetSequence();
    status_->SetMissingRecords(0, QString());
}

void CVELKDlg::SequenceAlarm(const std::string& /*line*/, uint64_t missingSinceStart) {
    // The tip names the last gap of the live stream; an import's gaps are in the log.
    const auto& last = collector_.Sequence().LastGap();
    status_->SetMissingRecords(missingSinceStart,
                               last ? QString::fromStdString(last->Line()) : QString());
}

void CVELKDlg::StoreAlarm(const std::string& line) {
    DiskBufferAlarm(line);
}

void CVELKDlg::DiskBufferAlarm(const std::string& line) {
    if (line.empty()) {
        if (stateBeforeAlarm_)
            status_->SetState(*stateBeforeAlarm_);
        stateBeforeAlarm_.reset();
        return;
    }
    if (!stateBeforeAlarm_)
        stateBeforeAlarm_ = status_->State();
    status_->SetState(QString::fromStdString(line));
}

void CVELKDlg::OnDefaultView() {
    lists_->DefaultView(settings_.Server_Port_index);
}

DetaleMessage* CVELKDlg::OpenDetail(int row) {
    for (auto& slot : details_) {
        if (slot != nullptr)
            continue;
        std::array<std::string, 50> values;
        const QAbstractItemModel* m = lists_->LastCalls()->model();
        const bool haveRow = row >= 0 && row < m->rowCount();
        if (haveRow) {
            for (int f = 0; f < 50; ++f) {
                values[static_cast<size_t>(f)] =
                    m->index(row, f + 1).data().toString().toStdString();
            }
        }
        slot = new DetaleMessage(haveRow ? row : -1, values, prompt_, this);
        slot->show();
        return slot;
    }
    return nullptr;
}

void CVELKDlg::OnLastCallsDoubleClick() {
    lists_->OnLastCallsDoubleClick();
}

void CVELKDlg::OnLastCallsHover(int column) {
    lists_->OnLastCallsHover(column);
}

void CVELKDlg::Minimize() {
    const QString tip = QString::fromStdString(TrayTipText(collector_.BaseDirectory()));
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        showMinimized();  // no notification area: never hide the window beyond reach
        return;
    }
    if (tray_ == nullptr) {
        tray_ = new QSystemTrayIcon(windowIcon(), this);
        tray_->setObjectName(QStringLiteral("trayIcon"));
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger)
                        Restore();
                });
    }
    tray_->setToolTip(tip);
    tray_->show();
    tray_->showMessage(tip, QStringLiteral("To restore, click this icon."));
    hide();
}

void CVELKDlg::Restore() {
    if (tray_ != nullptr)
        tray_->hide();
    showNormal();
    lists_->currentWidget()->show();
}

bool CVELKDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == rawData_ && event->type() == QEvent::MouseButtonRelease) {
        rawDisplay_->show();
        rawDisplay_->raise();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void CVELKDlg::OnMessageRateTick() {
    status_->SetMessageRate(messageCounter_ * 360);
    messageCounter_ = 0;
}

void CVELKDlg::Notify(NotifyCode code, int value) {
    switch (code) {
        case NOTIFY_LINK:
            status_->SetLinkStatus(value);
            break;
        case NOTIFY_STATE:
            status_->SetState(QString::fromLatin1(StateName(value)));
            break;
        case NOTIFY_COUNT:
            StatisticsRowChanged(value);
            break;
        default:
            break;
    }
}

void CVELKDlg::TxLamp() {
    status_->TxLamp();
}

void CVELKDlg::RxLamp() {
    status_->RxLamp();
}

void CVELKDlg::ErrLamp() {
    status_->ErrLamp();
}

void CVELKDlg::SetRxProgressRange(int maximum) {
    status_->SetRxProgressRange(maximum);
}

void CVELKDlg::SetRxProgressPosition(int position) {
    status_->SetRxProgressPosition(position);
}

void CVELKDlg::ConnectionEstablished() {
    // Counted as the protocol connects; the start line of the statistics sets it anew.
    ++connections_;
    status_->SetConnections(connections_);
}

void CVELKDlg::ShowRawMessage(const std::string& text) {
    QString shown = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    for (QChar& c : shown) {
        if (c.unicode() < 0x20)
            c = QLatin1Char(' ');  // control characters have no glyph
    }
    rawData_->setText(shown);
    rawDisplay_->AppendLine(shown);
}

void CVELKDlg::ShowRecordDetail(const LastCallsRing::Record& fields) {
    lists_->ShowRecordDetail(fields);
}

void CVELKDlg::RefreshLastCalls() {
    lists_->RefreshLastCalls();
}

void CVELKDlg::StatisticsRowChanged(int column) {
    lists_->RefreshStatisticsRow(column);
    OnStatisticsHover(hotStatisticsRow_);
}

void CVELKDlg::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void CVELKDlg::SetConnectedText(const std::string& text) {
    status_->SetConnectedText(QString::fromStdString(text));
}

void CVELKDlg::DurationReset() {
    status_->SetDuration(QStringLiteral("000 00:00:00"));
}

}  // namespace velk
