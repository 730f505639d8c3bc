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
#include <QMenu>
#include <QMouseEvent>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>

#include "core/decode/field_names.h"
#include "ui/app_set_dialog.h"
#include "ui/list_clipboard.h"
#include "ui/list_models.h"
#include "ui/message_detail.h"
#include "ui/raw_data_display.h"
#include "ui/settings_dialogs.h"

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
      timing_(timing),
      display_(collector.Counters()) {
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
    minimiseTimer_ = makeTimer(3000, true, [this] {
        if (settings_.LaunchMin == 1)
            Minimize();
    });
    popupTimer_ = makeTimer(3000, true, [this] {
        if (popup_ != nullptr)
            popup_->close();
    });

    // The raw data display lives for the whole run, hidden until the raw-data line is clicked.
    rawDisplay_ = new CRawDataDisplay(this);
    rawData_->installEventFilter(this);
    rawData_->setCursor(Qt::PointingHandCursor);
    statistics_->viewport()->installEventFilter(this);

    collector_.SetView(this);
    // The chart starts with 24 zero bars labelled 00..23 (changing it before the window has its
    // size would leave the hour labels laid out for a tiny chart).
    StartLine();
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
    if (settings_.LaunchMin == 1)
        minimiseTimer_->start();
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
    connect(add(control, "Minimize", kCmdMinimize, "minimizeAction"), &QAction::triggered, this,
            &CVELKDlg::Minimize);
    control->addSeparator();
    add(control, "System Load", kCmdSystemLoad, "systemLoadAction")->setEnabled(false);
    control->addSeparator();
    connect(add(control, "Exit", kCmdExit, "exitAction"), &QAction::triggered, this,
            &CVELKDlg::OnExit);

    QMenu* settingsMenu = menuBar()->addMenu(QStringLiteral("Settings"));
    settingsMenu->setObjectName(QStringLiteral("settingsMenu"));
    connect(add(settingsMenu, "Communication", kCmdCommunication, "communicationAction"),
            &QAction::triggered, this, [this] {
                CommunicationSettings dialog(settings_, store_, prompt_, this);
                dialog.exec();
            });
    settingsMenu->addSeparator();
    connect(add(settingsMenu, "VELK Protocol", kCmdProtocol, "protocolAction"), &QAction::triggered,
            this, [this] {
                VELKProtSet dialog(settings_, store_, prompt_, this);
                dialog.exec();
            });
    settingsMenu->addSeparator();
    connect(add(settingsMenu, "VELK Saver", kCmdSaver, "saverAction"), &QAction::triggered, this,
            [this] {
                CSaverSetting dialog(settings_, store_, prompt_, collector_.Filter(), this);
                dialog.exec();
            });
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
    statistics_->setColumnWidth(0, 280);  // the longest call-type name fits
    statistics_->setColumnWidth(1, 52);
    for (int c = 2; c < 26; ++c)
        statistics_->setColumnWidth(c, 34);

    for (QTableView* list : {lastCalls_, detail_, statistics_}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint& pos) { ShowListMenu(list, pos); });
    }
    connect(statistics_, &QAbstractItemView::entered, this,
            [this](const QModelIndex& index) { OnStatisticsHover(index.row()); });
    connect(lastCalls_, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex&) { OnLastCallsDoubleClick(); });
    connect(lastCalls_, &QAbstractItemView::entered, this,
            [this](const QModelIndex& index) { OnLastCallsHover(index.column()); });

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
    chartSet_ = set;
    set->setColor(QColor(70, 110, 200));
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
    // Upright labels were elided to "..." at this chart's width; turned, all 24 hours show.
    axisX->setLabelsAngle(-90);
    chart->addAxis(axisX, Qt::AlignBottom);
    series->attachAxis(axisX);
    auto* axisY = new QValueAxis;
    chartAxisY_ = axisY;
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
    connect(statisticClear_, &QPushButton::clicked, this, &CVELKDlg::OnStatisticClear);
    connect(defaultView_, &QPushButton::clicked, this, &CVELKDlg::OnDefaultView);
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
    if (collector_.Pipeline().ImportRunning()) {
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
    for (auto& detail : details_) {
        if (detail != nullptr)
            detail->close();
    }
    rawDisplay_->hide();
    if (popup_ != nullptr)
        popup_->close();
    if (tray_ != nullptr)
        tray_->hide();
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
    for (Command id : {kCmdCommunication, kCmdProtocol, kCmdSaver, kCmdApplication, kCmdConnect})
        Action(id)->setEnabled(!connected);
    if (!connected)
        Action(kCmdMinimize)->setEnabled(true);
    Action(kCmdDisconnect)->setEnabled(connected);
    menuBar()->update();
}

void CVELKDlg::OnDurationTick() {
    duration_->setText(QString::fromStdString(collector_.Connection().DurationText()));
    ChartContent content;
    if (display_.AutoTick(content))
        ShowChart(content);
}

void CVELKDlg::ShowChart(const ChartContent& content) {
    int32_t top = 0;
    for (int h = 0; h < 24; ++h) {
        chartSet_->replace(h, content.hours[static_cast<size_t>(h)]);
        top = std::max(top, content.hours[static_cast<size_t>(h)]);
    }
    // Whole numbers on the axis, with room above the highest bar.
    chartAxisY_->setRange(0, std::max(4, top + top / 4 + 1));
    chartCaption_->setText(QString::fromStdString(content.caption));
}

QString CVELKDlg::ChartCaption() const {
    return chartCaption_->text();
}

int CVELKDlg::ChartValue(int hour) const {
    return static_cast<int>(chartSet_->at(hour));
}

void CVELKDlg::OnStatisticsHover(int row) {
    hotStatisticsRow_ = row;
    ChartContent content;
    if (display_.PointSelection(row, content))
        ShowChart(content);
}

void CVELKDlg::StartLine() {
    startedAt_->setText(
        QString::fromStdString(StatisticsDisplay::StartLine(collector_.TimeSource().Now())));
    connections_ = collector_.Protocol().ConStat == 1 ? 1 : 0;
    connectionsLabel_->setText(QStringLiteral("Connections : %1").arg(connections_));
}

void CVELKDlg::OnStatisticClear() {
    if (!prompt_.Confirm(kAreYouSure, "Statistic cleaning!", PromptIcon::Warning))
        return;
    collector_.Log().Log(LOG_STATISTICS);
    StartLine();
    counters_.Clear();
    for (int row = 0; row < kStatisticColumns; ++row)
        StatisticsRowChanged(row);
    ring_.ClearLastCallsRing();
    lastCallsModel_->Refresh();
}

void CVELKDlg::OnDefaultView() {
    // Widths of columns 1..50 (fields 0..49) for the CS1000 and the iPECS-MG billing servers.
    static const int kCs1000[50] = {37, 36,  25, 36, 115, 115, 89, 0,  0, 75, 77, 25, 36,
                                    48, 25,  0,  0,  0,   99,  57, 61, 0, 35, 0,  0,  0,
                                    50, 103, 72, 50, 50,  38,  64, 0,  0, 0,  0,  0,  0,
                                    0,  0,   0,  0,  0,   0,   0,  0,  0, 0,  0};
    static const int kIpecs[50] = {36, 0,  27, 0,  115, 115, 0,  0,  0,  71, 0,  0,  0,
                                   0,  0,  0,  0,  0,   0,   0,  0,  0,  35, 0,  0,  0,
                                   0,  0,  0,  0,  0,   44,  65, 61, 26, 40, 46, 46, 46,
                                   88, 73, 53, 27, 46,  99,  54, 46, 46, 81, 46};
    const int* widths = settings_.Server_Port_index == kSystemTypeIpecsMg ? kIpecs : kCs1000;
    for (int f = 0; f < 50; ++f) {
        const int width = widths[f];
        lastCalls_->setColumnHidden(f + 1, width == 0);
        if (width > 0)
            lastCalls_->setColumnWidth(f + 1, width);
    }
    lastCalls_->viewport()->update();
}

void CVELKDlg::ShowListMenu(QTableView* list, const QPoint& pos) {
    const QModelIndex index = list->indexAt(pos);
    if (list == lastCalls_ && index.isValid()) {
        OpenDetail(index.row());
        return;
    }
    const char* text = list == lastCalls_ ? "Copy All Last Calls Infor"
                       : list == detail_  ? "Copy Last Call Detail Infor"
                                          : "Copy VELK Statistic";
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("listMenu"));
    QAction* copy = menu.addAction(QString::fromLatin1(text));
    if (menu.exec(list->viewport()->mapToGlobal(pos)) == copy) {
        CopyListToClipboard(*list->model(), prompt_);
    }
}

DetaleMessage* CVELKDlg::OpenDetail(int row) {
    for (auto& slot : details_) {
        if (slot != nullptr)
            continue;
        std::array<std::string, 50> values;
        const QAbstractItemModel* m = lastCalls_->model();
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
    popupArmed_ = true;
    popupTimer_->start();
}

void CVELKDlg::OnLastCallsHover(int column) {
    if (popup_ != nullptr)
        popup_->close();
    if (!popupArmed_)
        return;
    popupArmed_ = false;
    if (column < 1 || column > 50)
        return;
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("fieldNamePopup"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto name = kFieldNames[static_cast<size_t>(column - 1)];
    menu->addAction(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    popup_ = menu;
    menu->popup(QCursor::pos());
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
    tabs_->currentWidget()->show();
}

bool CVELKDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == rawData_ && event->type() == QEvent::MouseButtonRelease) {
        rawDisplay_->show();
        rawDisplay_->raise();
        return true;
    }
    if (watched == statistics_->viewport() && event->type() == QEvent::Leave) {
        OnStatisticsHover(-1);
    }
    return QMainWindow::eventFilter(watched, event);
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
    // Counted as the protocol connects; the start line of the statistics sets it anew.
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
    rawDisplay_->AppendLine(shown);
}

void CVELKDlg::ShowRecordDetail(const LastCallsRing::Record& fields) {
    detailModel_->SetValues(fields);
}

void CVELKDlg::RefreshLastCalls() {
    lastCallsModel_->Refresh();
}

void CVELKDlg::StatisticsRowChanged(int column) {
    statisticsModel_->RefreshRow(column);
    OnStatisticsHover(hotStatisticsRow_);
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
