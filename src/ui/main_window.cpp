#include "ui/main_window.h"

#include <QAction>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenuBar>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>

#include "ui/app_set_dialog.h"
#include "ui/list_models.h"

namespace velk {
namespace {

QLabel* MakeLabel(const QString& text, const char* name, QWidget* parent, bool sunken = false) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    if (sunken)
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    return label;
}

QLabel* MakeLamp(const char* name, const QColor& colour, QWidget* parent) {
    auto* lamp = new QLabel(parent);
    lamp->setObjectName(QString::fromLatin1(name));
    lamp->setFixedSize(12, 12);
    lamp->setStyleSheet(QStringLiteral("background-color: %1; border: 1px solid #404040;"
                                       "border-radius: 6px;")
                            .arg(colour.name()));
    // Keep the lamp's place in the layout while it is dark.
    QSizePolicy policy = lamp->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    lamp->setSizePolicy(policy);
    lamp->hide();
    return lamp;
}

QTableView* MakeList(const char* name, QWidget* parent) {
    auto* view = new QTableView(parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setShowGrid(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->horizontalHeader()->setHighlightSections(false);
    view->setWordWrap(false);
    view->setMouseTracking(true);
    return view;
}

}  // namespace

CVELKDlg::CVELKDlg(Collector& collector, const SettingsStore& store, OperatorPrompt& prompt,
                   ShutdownTiming timing, QWidget* parent)
    : QMainWindow(parent),
      collector_(collector),
      settings_(collector.Settings()),
      store_(store),
      prompt_(prompt),
      ring_(collector.Ring()),
      counters_(collector.Counters()),
      timing_(timing) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("VELK"));
    setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));

    BuildMenu();
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralArea"));
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 2, 4, 2);

    auto* top = new QHBoxLayout;
    importStatus_ = MakeLabel(QString(), "importStatus", central);
    top->addStretch(1);
    top->addWidget(importStatus_);
    queryForm_ = new QPushButton(QStringLiteral("Query Form"), central);
    queryForm_->setObjectName(QStringLiteral("queryFormButton"));
    queryForm_->hide();  // created hidden; nothing in the window shows it
    top->addWidget(queryForm_);
    layout->addLayout(top);

    BuildLists();
    layout->addWidget(tabs_, 1);
    layout->addWidget(BuildBottomPanel());
    rawData_ = MakeLabel(QStringLiteral("Raw Data:"), "rawDataLine", central);
    rawData_->setTextFormat(Qt::PlainText);
    rawData_->setMinimumWidth(100);
    layout->addWidget(rawData_);
    setCentralWidget(central);

    ApplyColumnWidths();
    connected_->setText(QStringLiteral("No  "));

    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    const auto makeTimer = [this](int ms, bool single, auto slot) {
        auto* t = new QTimer(this);
        t->setInterval(ms);
        t->setSingleShot(single);
        connect(t, &QTimer::timeout, this, slot);
        return t;
    };
    // Lamps go dark when their timer expires; every new event restarts it.
    txTimer_ = makeTimer(300, true, [this] { txLamp_->hide(); });
    rxTimer_ = makeTimer(300, true, [this] { rxLamp_->hide(); });
    errTimer_ = makeTimer(1000, true, [this] { errLamp_->hide(); });
    durationTimer_ = makeTimer(1000, false, &CVELKDlg::OnDurationTick);
    rateTimer_ = makeTimer(10000, false, &CVELKDlg::OnMessageRateTick);

    collector_.SetView(this);
    resize(990, 680);
}

CVELKDlg::~CVELKDlg() {
    collector_.SetView(nullptr);
}

void CVELKDlg::Start() {
    collector_.Start();
    connected_->setText(QStringLiteral("No  "));
    if (settings_.AutoConnection != 0)
        OnConnect();
    durationTimer_->start();
    rateTimer_->start();
}

QAction* CVELKDlg::Action(Command id) const {
    const auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

void CVELKDlg::BuildMenu() {
    const auto add = [this](QMenu* menu, const char* text, Command id, const char* name) {
        QAction* a = menu->addAction(QString::fromLatin1(text));
        a->setObjectName(QString::fromLatin1(name));
        a->setData(static_cast<int>(id));
        actions_[id] = a;
        return a;
    };
    QMenu* control = menuBar()->addMenu(QStringLiteral("Control"));
    control->setObjectName(QStringLiteral("controlMenu"));
    connect(add(control, "Connect", kCmdConnect, "connectAction"), &QAction::triggered, this,
            &CVELKDlg::OnConnect);
    control->addSeparator();
    QAction* disconnectAction = add(control, "Disconnect", kCmdDisconnect, "disconnectAction");
    disconnectAction->setEnabled(false);
    connect(disconnectAction, &QAction::triggered, this, &CVELKDlg::OnDisconnect);
    control->addSeparator();
    add(control, "Minimize", kCmdMinimize, "minimizeAction")->setEnabled(false);
    control->addSeparator();
    add(control, "System Load", kCmdSystemLoad, "systemLoadAction")->setEnabled(false);
    control->addSeparator();
    connect(add(control, "Exit", kCmdExit, "exitAction"), &QAction::triggered, this,
            &CVELKDlg::OnExit);

    QMenu* settingsMenu = menuBar()->addMenu(QStringLiteral("Settings"));
    settingsMenu->setObjectName(QStringLiteral("settingsMenu"));
    add(settingsMenu, "Communication", kCmdCommunication, "communicationAction")->setEnabled(false);
    settingsMenu->addSeparator();
    add(settingsMenu, "VELK Protocol", kCmdProtocol, "protocolAction")->setEnabled(false);
    settingsMenu->addSeparator();
    add(settingsMenu, "VELK Saver", kCmdSaver, "saverAction")->setEnabled(false);
    settingsMenu->addSeparator();
    connect(add(settingsMenu, "The Application", kCmdApplication, "applicationAction"),
            &QAction::triggered, this, &CVELKDlg::OnApplicationSettings);

    QMenu* import = menuBar()->addMenu(QStringLiteral("Import"));
    import->setObjectName(QStringLiteral("importMenu"));
    add(import, "Raw Data File", kCmdImport, "importAction")->setEnabled(false);

    QAction* version = menuBar()->addAction(QStringLiteral("Version"));
    version->setObjectName(QStringLiteral("versionAction"));
    version->setData(static_cast<int>(kCmdVersion));
    actions_[kCmdVersion] = version;
    connect(version, &QAction::triggered, this, &CVELKDlg::OnVersion);
}

void CVELKDlg::BuildLists() {
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("pageTabs"));

    lastCalls_ = MakeList("lastCallsList", tabs_);
    lastCallsModel_ = new LastCallsModel(ring_, this);
    lastCalls_->setModel(lastCallsModel_);
    detail_ = MakeList("detailList", tabs_);
    detailModel_ = new DetailModel(this);
    detail_->setModel(detailModel_);
    detail_->setColumnWidth(0, 80);
    detail_->setColumnWidth(1, 260);
    detail_->horizontalHeader()->setStretchLastSection(true);
    statistics_ = MakeList("statisticsList", tabs_);
    statisticsModel_ = new StatisticsModel(counters_, this);
    statistics_->setModel(statisticsModel_);
    statistics_->setColumnWidth(0, 230);
    statistics_->setColumnWidth(1, 52);
    for (int c = 2; c < 26; ++c)
        statistics_->setColumnWidth(c, 34);

    tabs_->addTab(lastCalls_, QStringLiteral("Last Calls Info"));
    tabs_->addTab(detail_, QStringLiteral("Last Call Detail Info"));
    tabs_->addTab(statistics_, QStringLiteral("VELK Statistic"));
    connect(tabs_, &QTabWidget::currentChanged, this, &CVELKDlg::OnTabChanged);
}

QWidget* CVELKDlg::BuildBottomPanel() {
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("bottomPanel"));
    auto* row = new QHBoxLayout(panel);
    row->setContentsMargins(0, 0, 0, 0);

    auto* chartBox = new QVBoxLayout;
    chartCaption_ =
        MakeLabel(QStringLiteral("VELK Statistic Event : Statictic Event Not Selected."),
                  "chartCaption", panel);
    chartBox->addWidget(chartCaption_);
    auto* set = new QBarSet(QStringLiteral("Events"));
    QStringList hours;
    for (int h = 0; h < 24; ++h) {
        *set << 0;
        hours << QStringLiteral("%1").arg(h, 2, 10, QLatin1Char('0'));
    }
    auto* series = new QBarSeries;
    series->append(set);
    auto* chart = new QChart;
    chart->addSeries(series);
    auto* axisX = new QBarCategoryAxis;
    axisX->append(hours);
    QFont small = chart->font();
    small.setPointSizeF(small.pointSizeF() * 0.75);
    axisX->setLabelsFont(small);
    chart->addAxis(axisX, Qt::AlignBottom);
    series->attachAxis(axisX);
    auto* axisY = new QValueAxis;
    axisY->setRange(0, 4);
    axisY->setTickCount(5);
    axisY->setLabelFormat(QStringLiteral("%d"));
    axisY->setLabelsFont(small);
    chart->addAxis(axisY, Qt::AlignLeft);
    series->attachAxis(axisY);
    chart->legend()->hide();
    chart->setMargins(QMargins(2, 2, 2, 2));
    chart_ = new QChartView(chart, panel);
    chart_->setObjectName(QStringLiteral("statisticChart"));
    chart_->setMinimumHeight(170);
    chartBox->addWidget(chart_, 1);
    row->addLayout(chartBox, 3);

    auto* status = new QGroupBox(panel);
    status->setObjectName(QStringLiteral("statusPanel"));
    auto* grid = new QGridLayout(status);
    grid->setContentsMargins(6, 4, 6, 4);
    statisticClear_ = new QPushButton(QStringLiteral("VELK Statistic Clear"), status);
    statisticClear_->setObjectName(QStringLiteral("statisticClearButton"));
    connectionsLabel_ = MakeLabel(QStringLiteral("Connections : 0"), "connectionsLabel", status);
    defaultView_ = new QPushButton(QStringLiteral("Default View"), status);
    defaultView_->setObjectName(QStringLiteral("defaultViewButton"));
    grid->addWidget(statisticClear_, 0, 0, 1, 2);
    grid->addWidget(connectionsLabel_, 0, 2, 1, 3);
    grid->addWidget(defaultView_, 0, 5, 1, 2);
    startedAt_ =
        MakeLabel(QStringLiteral("VELK Statistic Started at : "), "startedAtLabel", status);
    grid->addWidget(startedAt_, 1, 0, 1, 7);

    grid->addWidget(MakeLabel(QStringLiteral("Connection :"), "connectionCaption", status), 2, 0);
    connected_ = MakeLabel(QString(), "connectedText", status, true);
    grid->addWidget(connected_, 2, 1, 1, 2);
    grid->addWidget(MakeLabel(QStringLiteral("Duration :"), "durationCaption", status), 2, 3);
    duration_ = MakeLabel(QString(), "durationText", status, true);
    grid->addWidget(duration_, 2, 4, 1, 3);

    grid->addWidget(MakeLabel(QStringLiteral("Status :"), "statusCaption", status), 3, 0);
    linkStatus_ = MakeLabel(QStringLiteral("Unknown"), "linkStatusText", status, true);
    grid->addWidget(linkStatus_, 3, 1);
    auto* lamps = new QHBoxLayout;
    lamps->addWidget(MakeLabel(QStringLiteral("TX :"), "txCaption", status));
    txLamp_ = MakeLamp("txLamp", QColor(0, 200, 0), status);
    lamps->addWidget(txLamp_);
    lamps->addWidget(MakeLabel(QStringLiteral("RX :"), "rxCaption", status));
    // The receive lamp and the receive-fault lamp share one place.
    auto* rxPlace = new QWidget(status);
    rxPlace->setFixedSize(12, 12);
    rxLamp_ = MakeLamp("rxLamp", QColor(0, 200, 0), rxPlace);
    errLamp_ = MakeLamp("errLamp", QColor(230, 0, 0), rxPlace);
    lamps->addWidget(rxPlace);
    lamps->addStretch(1);
    grid->addLayout(lamps, 3, 2, 1, 2);
    grid->addWidget(MakeLabel(QStringLiteral("State :"), "stateCaption", status), 3, 4);
    state_ = MakeLabel(QStringLiteral("Unknown"), "stateText", status, true);
    grid->addWidget(state_, 3, 5, 1, 2);

    messageRate_ = MakeLabel(QStringLiteral("MSGs per hour : "), "messageRateLabel", status);
    grid->addWidget(messageRate_, 4, 0, 1, 3);
    grid->addWidget(MakeLabel(QStringLiteral("RX Data :"), "rxDataCaption", status), 4, 3);
    rxProgress_ = new QProgressBar(status);
    rxProgress_->setObjectName(QStringLiteral("rxProgress"));
    rxProgress_->setRange(0, 1);  // an empty range would show a busy animation
    rxProgress_->setValue(0);
    rxProgress_->setTextVisible(false);
    rxProgress_->setMaximumHeight(14);
    grid->addWidget(rxProgress_, 4, 4, 1, 3);
    grid->setRowStretch(5, 1);  // spare height stays below the status rows
    row->addWidget(status, 2);
    return panel;
}

void CVELKDlg::ApplyColumnWidths() {
    // Equal widths from the window's width first; saved widths only when all 51 were readable.
    const int clientWidth = 990;
    const int width = (clientWidth - 20) / 33 + 17;
    for (int c = 0; c < kColumnCount; ++c)
        lastCalls_->setColumnWidth(c, width);
    std::array<int32_t, kColumnCount> saved{};
    if (store_.ReadColumnWidths(saved) == 1) {
        for (int c = 0; c < kColumnCount; ++c) {
            if (saved[c] <= 0) {
                lastCalls_->setColumnHidden(c, true);
            } else {
                lastCalls_->setColumnWidth(c, saved[c]);
            }
        }
    }
}

void CVELKDlg::OnTabChanged(int index) {
    defaultView_->setVisible(index == 0);
}

void CVELKDlg::OnApplicationSettings() {
    AppSet dialog(settings_, store_, prompt_, this);
    dialog.exec();
}

void CVELKDlg::OnVersion() {
    QDialog about(this);
    about.setObjectName(QStringLiteral("aboutDialog"));
    about.setWindowTitle(QStringLiteral("Version 1.0.0.29"));
    auto* layout = new QVBoxLayout(&about);
    auto* picture = new QLabel(&about);
    picture->setObjectName(QStringLiteral("aboutPicture"));
    picture->setPixmap(windowIcon().pixmap(64, 64));
    layout->addWidget(picture, 0, Qt::AlignCenter);
    auto* text = new QLabel(QStringLiteral("VELK call accounting collector"), &about);
    text->setObjectName(QStringLiteral("aboutText"));
    layout->addWidget(text, 0, Qt::AlignCenter);
    about.exec();
}

void CVELKDlg::OnExit() {
    if (shuttingDown_)
        return;
    if (importRunning_) {
        prompt_.Message("Import is started!\nIf you want exit, Cancel Import at firts.",
                        "VELK Exit!");
        return;
    }
    if (!prompt_.Confirm(kAreYouSure, "VELK Exit!", PromptIcon::Exclamation))
        return;
    RunShutdownSequence();
    closing_ = true;
    close();
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

void CVELKDlg::RunShutdownSequence() {
    shuttingDown_ = true;
    Pause(timing_.beforeClosingWindows);
    Pause(timing_.beforeDisconnect);
    OnDisconnect();
    Pause(timing_.afterDisconnect);
    StoreColumnWidths();
    if (store_.WriteIniFile(settings_) == 0)
        prompt_.Message(kIniUpdateFailed);
}

void CVELKDlg::StoreColumnWidths() {
    for (int c = 0; c < kColumnCount; ++c) {
        settings_.Col[c] = lastCalls_->isColumnHidden(c) ? 0 : lastCalls_->columnWidth(c);
    }
}

void CVELKDlg::OnConnect() {
    collector_.Connection().Connect();
}

void CVELKDlg::OnDisconnect() {
    collector_.Connection().Disconnect();
}

void CVELKDlg::SetMenusConnected(bool connected) {
    // Entries whose function is not in this build stay grey.
    for (Command id : {kCmdApplication, kCmdConnect})
        Action(id)->setEnabled(!connected);
    Action(kCmdDisconnect)->setEnabled(connected);
}

void CVELKDlg::OnDurationTick() {
    duration_->setText(QString::fromStdString(collector_.Connection().DurationText()));
}

void CVELKDlg::OnMessageRateTick() {
    messageRate_->setText(QStringLiteral("MSGs per hour : %1").arg(messageCounter_ * 360));
    messageCounter_ = 0;
}

void CVELKDlg::Notify(NotifyCode code, int value) {
    switch (code) {
        case NOTIFY_LINK:
            linkStatus_->setText(value == 1   ? QStringLiteral("OK      ")
                                 : value == 0 ? QStringLiteral("Not OK  ")
                                              : QStringLiteral("        "));
            break;
        case NOTIFY_STATE:
            state_->setText(QString::fromLatin1(StateName(value)));
            break;
        case NOTIFY_COUNT:
            StatisticsRowChanged(value);
            break;
        default:
            break;
    }
}

void CVELKDlg::Flash(QLabel* lamp, QTimer* timer) {
    lamp->show();
    timer->start();  // restarts a running timer
}

void CVELKDlg::TxLamp() {
    Flash(txLamp_, txTimer_);
}

void CVELKDlg::RxLamp() {
    errLamp_->hide();
    Flash(rxLamp_, rxTimer_);
}

void CVELKDlg::ErrLamp() {
    rxLamp_->hide();
    Flash(errLamp_, errTimer_);
}

void CVELKDlg::SetRxProgressRange(int maximum) {
    rxProgress_->setRange(0, std::max(1, maximum));
}

void CVELKDlg::SetRxProgressPosition(int position) {
    rxProgress_->setValue(std::min(position, rxProgress_->maximum()));
}

void CVELKDlg::ConnectionEstablished() {
    ++connections_;
    connectionsLabel_->setText(QStringLiteral("Connections : %1").arg(connections_));
}

void CVELKDlg::ShowRawMessage(const std::string& text) {
    QString shown = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    for (QChar& c : shown) {
        if (c.unicode() < 0x20)
            c = QLatin1Char(' ');  // control characters have no glyph
    }
    rawData_->setText(shown);
}

void CVELKDlg::ShowRecordDetail(const LastCallsRing::Record& fields) {
    detailModel_->SetValues(fields);
}

void CVELKDlg::RefreshLastCalls() {
    lastCallsModel_->Refresh();
}

void CVELKDlg::StatisticsRowChanged(int column) {
    statisticsModel_->RefreshRow(column);
}

void CVELKDlg::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void CVELKDlg::SetConnectedText(const std::string& text) {
    connected_->setText(QString::fromStdString(text));
}

void CVELKDlg::DurationReset() {
    duration_->setText(QStringLiteral("000 00:00:00"));
}

}  // namespace velk
