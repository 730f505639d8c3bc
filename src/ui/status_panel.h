#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdint>

namespace velk {

// The status panel beside the chart: the statistics buttons and start line, the connection and
// its duration, the link status with its three lamps, the protocol state, the message rate and
// the reception progress.
class StatusPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit StatusPanel(QWidget* parent = nullptr);

    QPushButton* StatisticClearButton() const { return statisticClear_; }
    QPushButton* DefaultViewButton() const { return defaultView_; }

    void SetConnections(int count);
    void SetStartLine(const QString& text) { startedAt_->setText(text); }
    void SetConnectedText(const QString& text) { connected_->setText(text); }
    void SetDuration(const QString& text) { duration_->setText(text); }
    // 1 good traffic, 0 an error last, anything else no link (blank).
    void SetLinkStatus(int value);
    void SetState(const QString& text) { state_->setText(text); }
    QString State() const { return state_->text(); }
    void SetMessageRate(int perHour);
    // "Missing records : n", with the last gap as the tip.
    void SetMissingRecords(uint64_t count, const QString& lastGap);
    void SetRxProgressRange(int maximum);
    void SetRxProgressPosition(int position);

    // The lamps light for 300 ms (transmit, receive) or 1000 ms (fault); a new event restarts
    // the time. The receive lamp and the fault lamp share one place.
    void TxLamp();
    void RxLamp();
    void ErrLamp();

private:
    void Flash(QLabel* lamp, QTimer* timer);

    QPushButton* statisticClear_ = nullptr;
    QPushButton* defaultView_ = nullptr;
    QLabel* connections_ = nullptr;
    QLabel* startedAt_ = nullptr;
    QLabel* connected_ = nullptr;
    QLabel* duration_ = nullptr;
    QLabel* linkStatus_ = nullptr;
    QLabel* txLamp_ = nullptr;
    QLabel* rxLamp_ = nullptr;
    QLabel* errLamp_ = nullptr;
    QLabel* state_ = nullptr;
    QLabel* messageRate_ = nullptr;
    QLabel* missing_ = nullptr;
    QProgressBar* rxProgress_ = nullptr;
    QTimer* txTimer_ = nullptr;
    QTimer* rxTimer_ = nullptr;
    QTimer* errTimer_ = nullptr;
};

}  // namespace velk
