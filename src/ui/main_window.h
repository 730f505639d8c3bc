#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <array>
#include <map>

#include "core/analysis/statistics_display.h"
#include "core/app/collector.h"
#include "core/decode/last_calls_ring.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"
#include "core/foundation/settings_store.h"
#include "core/foundation/statistic_counters.h"

class QAction;
class QBarSet;
class QChartView;
class QMenu;
class QSystemTrayIcon;
class QValueAxis;

namespace velk {

class LastCallsModel;
class DetailModel;
class StatisticsModel;
class CRawDataDisplay;
class DetaleMessage;

// The fixed pauses of the shutdown sequence, in milliseconds. The event loop keeps running
// through them.
struct ShutdownTiming {
    int beforeClosingWindows = 1000;
    int beforeDisconnect = 500;
    int afterDisconnect = 1000;
};

// Menu command identifiers.
enum Command : int {
    kCmdConnect = 32783,
    kCmdDisconnect = 32784,
    kCmdMinimize = 32782,
    kCmdSystemLoad = 184,
    kCmdExit = 32780,
    kCmdCommunication = 32789,
    kCmdProtocol = 32790,
    kCmdSaver = 158,
    kCmdApplication = 164,
    kCmdImport = 173,
    kCmdVersion = 32774,
};

// The main window: last calls, the latest record's fields, statistics with a chart, link status
// and the menu through which every other function is reached.
class CVELKDlg : public QMainWindow, public CollectorView {
    Q_OBJECT
public:
    CVELKDlg(Collector& collector, const SettingsStore& store, OperatorPrompt& prompt,
             ShutdownTiming timing = {}, QWidget* parent = nullptr);
    ~CVELKDlg() override;

    QAction* Action(Command id) const;
    bool ClosingFlag() const { return closing_; }
    QTableView* LastCallsList() const { return lastCalls_; }
    int MessageCounter() const { return messageCounter_; }

    // Runs what the window does once it is shown: automatic connection, the periodic timers.
    void Start();
    // Confirmed shutdown from the menu's Exit.
    void OnExit();
    void OnConnect();
    void OnDisconnect();
    // Window timers.
    void OnDurationTick();
    void OnMessageRateTick();
    // Statistics: the Clear button, and the row the mouse points at (-1 for none).
    void OnStatisticClear();
    void OnStatisticsHover(int row);
    void OnDefaultView();
    // Hides the window into the notification area; a left click on the icon restores it.
    void Minimize();
    void Restore();
    // A detail window for a row of the last-calls list; nullptr when all 30 are open.
    DetaleMessage* OpenDetail(int row);
    CRawDataDisplay* RawDataDisplay() const { return rawDisplay_; }
    QSystemTrayIcon* TrayIcon() const { return tray_; }
    QString ChartCaption() const;
    int ChartValue(int hour) const;
    // The last-calls list: double-click arms the field-name popup, hovering shows it.
    void OnLastCallsDoubleClick();
    void OnLastCallsHover(int column);
    QMenu* FieldNamePopup() const { return popup_; }

    // CollectorView
    void Notify(NotifyCode code, int value) override;
    void TxLamp() override;
    void RxLamp() override;
    void ErrLamp() override;
    void SetRxProgressRange(int maximum) override;
    void SetRxProgressPosition(int position) override;
    void MessageReceived() override { ++messageCounter_; }
    void ConnectionEstablished() override;
    void ShowRawMessage(const std::string& text) override;
    void ShowRecordDetail(const LastCallsRing::Record& fields) override;
    void RefreshLastCalls() override;
    void StatisticsRowChanged(int column) override;
    void SetTitle(const std::string& title) override;
    void SetConnectedText(const std::string& text) override;
    void DurationReset() override;
    void SetMenusConnected(bool connected) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenu();
    void BuildLists();
    QWidget* BuildBottomPanel();
    void ApplyColumnWidths();
    void OnTabChanged(int index);
    void OnApplicationSettings();
    void OnVersion();
    // The shared shutdown: pauses, secondary windows, disconnect, column widths, settings file.
    void RunShutdownSequence();
    void Pause(int ms);
    void StoreColumnWidths();
    void Flash(QLabel* lamp, QTimer* timer);
    void StartLine();
    void ShowChart(const ChartContent& content);
    void ShowListMenu(QTableView* list, const QPoint& pos);
    bool eventFilter(QObject* watched, QEvent* event) override;

    Collector& collector_;
    AppSettings& settings_;
    const SettingsStore& store_;
    OperatorPrompt& prompt_;
    LastCallsRing& ring_;
    StatisticCounters& counters_;
    ShutdownTiming timing_;

    bool closing_ = false;
    bool shuttingDown_ = false;
    int messageCounter_ = 0;
    int connections_ = 0;
    StatisticsDisplay display_;
    int hotStatisticsRow_ = -1;
    bool popupArmed_ = false;
    QPointer<QMenu> popup_;
    QTimer* popupTimer_ = nullptr;
    QTimer* minimiseTimer_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    CRawDataDisplay* rawDisplay_ = nullptr;
    std::array<QPointer<DetaleMessage>, 30> details_{};
    QBarSet* chartSet_ = nullptr;
    QValueAxis* chartAxisY_ = nullptr;
    QTimer* txTimer_ = nullptr;
    QTimer* rxTimer_ = nullptr;
    QTimer* errTimer_ = nullptr;
    QTimer* durationTimer_ = nullptr;
    QTimer* rateTimer_ = nullptr;

    std::map<int, QAction*> actions_;
    QTabWidget* tabs_ = nullptr;
    QTableView* lastCalls_ = nullptr;
    QTableView* detail_ = nullptr;
    QTableView* statistics_ = nullptr;
    LastCallsModel* lastCallsModel_ = nullptr;
    DetailModel* detailModel_ = nullptr;
    StatisticsModel* statisticsModel_ = nullptr;

    QPushButton* queryForm_ = nullptr;
    QPushButton* defaultView_ = nullptr;
    QPushButton* statisticClear_ = nullptr;
    QLabel* importStatus_ = nullptr;
    QLabel* chartCaption_ = nullptr;
    QChartView* chart_ = nullptr;
    QLabel* connectionsLabel_ = nullptr;
    QLabel* startedAt_ = nullptr;
    QLabel* connected_ = nullptr;
    QLabel* duration_ = nullptr;
    QLabel* linkStatus_ = nullptr;
    QLabel* txLamp_ = nullptr;
    QLabel* rxLamp_ = nullptr;
    QLabel* errLamp_ = nullptr;
    QLabel* state_ = nullptr;
    QLabel* messageRate_ = nullptr;
    QProgressBar* rxProgress_ = nullptr;
    QLabel* rawData_ = nullptr;
};

}  // namespace velk
