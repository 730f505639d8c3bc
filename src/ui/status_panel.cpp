#include "ui/status_panel.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <algorithm>

#include "ui/widget_helpers.h"

namespace velk {
namespace {

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

}  // namespace

StatusPanel::StatusPanel(QWidget* parent) : QGroupBox(parent) {
    setObjectName(QStringLiteral("statusPanel"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 4, 6, 4);
    statisticClear_ = new QPushButton(QStringLiteral("VELK Statistic Clear"), this);
    statisticClear_->setObjectName(QStringLiteral("statisticClearButton"));
    connections_ = MakeLabel(QStringLiteral("Connections : 0"), "connectionsLabel", this);
    defaultView_ = new QPushButton(QStringLiteral("Default View"), this);
    defaultView_->setObjectName(QStringLiteral("defaultViewButton"));
    grid->addWidget(statisticClear_, 0, 0, 1, 2);
    grid->addWidget(connections_, 0, 2, 1, 3);
    grid->addWidget(defaultView_, 0, 5, 1, 2);
    startedAt_ = MakeLabel(QStringLiteral("VELK Statistic Started at : "), "startedAtLabel", this);
    grid->addWidget(startedAt_, 1, 0, 1, 7);

    grid->addWidget(MakeLabel(QStringLiteral("Connection :"), "connectionCaption", this), 2, 0);
    connected_ = MakeLabel(QString(), "connectedText", this, true);
    grid->addWidget(connected_, 2, 1, 1, 2);
    grid->addWidget(MakeLabel(QStringLiteral("Duration :"), "durationCaption", this), 2, 3);
    duration_ = MakeLabel(QString(), "durationText", this, true);
    grid->addWidget(duration_, 2, 4, 1, 3);

    grid->addWidget(MakeLabel(QStringLiteral("Status :"), "statusCaption", this), 3, 0);
    linkStatus_ = MakeLabel(QStringLiteral("Unknown"), "linkStatusText", this, true);
    grid->addWidget(linkStatus_, 3, 1);
    auto* lamps = new QHBoxLayout;
    lamps->addWidget(MakeLabel(QStringLiteral("TX :"), "txCaption", this));
    txLamp_ = MakeLamp("txLamp", QColor(0, 200, 0), this);
    lamps->addWidget(txLamp_);
    lamps->addWidget(MakeLabel(QStringLiteral("RX :"), "rxCaption", this));
    auto* rxPlace = new QWidget(this);
    rxPlace->setFixedSize(12, 12);
    rxLamp_ = MakeLamp("rxLamp", QColor(0, 200, 0), rxPlace);
    errLamp_ = MakeLamp("errLamp", QColor(230, 0, 0), rxPlace);
    lamps->addWidget(rxPlace);
    lamps->addStretch(1);
    grid->addLayout(lamps, 3, 2, 1, 2);
    grid->addWidget(MakeLabel(QStringLiteral("State :"), "stateCaption", this), 3, 4);
    state_ = MakeLabel(QStringLiteral("Unknown"), "stateText", this, true);
    grid->addWidget(state_, 3, 5, 1, 2);

    messageRate_ = MakeLabel(QStringLiteral("MSGs per hour : "), "messageRateLabel", this);
    grid->addWidget(messageRate_, 4, 0, 1, 3);
    grid->addWidget(MakeLabel(QStringLiteral("RX Data :"), "rxDataCaption", this), 4, 3);
    rxProgress_ = new QProgressBar(this);
    rxProgress_->setObjectName(QStringLiteral("rxProgress"));
    rxProgress_->setRange(0, 1);  // an empty range would show a busy animation
    rxProgress_->setValue(0);
    rxProgress_->setTextVisible(false);
    rxProgress_->setMaximumHeight(14);
    grid->addWidget(rxProgress_, 4, 4, 1, 3);
    // Call records the PBX numbered but never sent, since start (or Clear); the last gap is the
    // tip.
    missing_ = MakeLabel(QStringLiteral("Missing records : 0"), "missingRecordsLabel", this);
    grid->addWidget(missing_, 5, 0, 1, 7);
    grid->setRowStretch(6, 1);  // spare height stays below the status rows

    const auto darkAfter = [this](int ms, QLabel* lamp) {
        auto* t = new QTimer(this);
        t->setInterval(ms);
        t->setSingleShot(true);
        connect(t, &QTimer::timeout, lamp, &QWidget::hide);
        return t;
    };
    txTimer_ = darkAfter(300, txLamp_);
    rxTimer_ = darkAfter(300, rxLamp_);
    errTimer_ = darkAfter(1000, errLamp_);
}

void StatusPanel::SetMissingRecords(uint64_t count, const QString& lastGap) {
    missing_->setText(QStringLiteral("Missing records : %1").arg(count));
    missing_->setToolTip(lastGap);
    // Missing records are what the operator must not overlook.
    missing_->setStyleSheet(count > 0 ? QStringLiteral("color: rgb(200,0,0);") : QString());
}

void StatusPanel::SetConnections(int count) {
    connections_->setText(QStringLiteral("Connections : %1").arg(count));
}

void StatusPanel::SetLinkStatus(int value) {
    linkStatus_->setText(value == 1   ? QStringLiteral("OK      ")
                         : value == 0 ? QStringLiteral("Not OK  ")
                                      : QStringLiteral("        "));
}

void StatusPanel::SetMessageRate(int perHour) {
    messageRate_->setText(QStringLiteral("MSGs per hour : %1").arg(perHour));
}

void StatusPanel::SetRxProgressRange(int maximum) {
    rxProgress_->setRange(0, std::max(1, maximum));
}

void StatusPanel::SetRxProgressPosition(int position) {
    rxProgress_->setValue(std::min(position, rxProgress_->maximum()));
}

void StatusPanel::Flash(QLabel* lamp, QTimer* timer) {
    lamp->show();
    timer->start();  // restarts a running timer
}

void StatusPanel::TxLamp() {
    Flash(txLamp_, txTimer_);
}

void StatusPanel::RxLamp() {
    errLamp_->hide();
    Flash(rxLamp_, rxTimer_);
}

void StatusPanel::ErrLamp() {
    rxLamp_->hide();
    Flash(errLamp_, errTimer_);
}

}  // namespace velk
