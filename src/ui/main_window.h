#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <array>
#include <map>
#include <optional>

#include "core/analysis/statistics_display.h"
#include "core/app/collector.h"
#include "core/decode/last_calls_ring.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"
#include "core/foundation/settings_store.h"
#include "core/foundation/statistic_counters.h"
#include "ui/import_progress.h"

class QAction;
class QSystemTrayIcon;

namespace velk {

class CallLists;

class RawImportRunner;
class SystemLoadingWindow;
struct ImportResult;
class CRawDataDisplay;
class DetaleMessage;
class StatisticsChart;
class StatusPanel;

// The fixed pauses of the shutdown sequence, in milliseconds. The event loop keeps running
// through them.
struct ShutdownTiming {
    int beforeClosingWindows = 1000;
    int beforeDisconnect = 500;
    int afterDisconnect = 1000;
};

// Some call records of a file to import stand in the record files already.
inline constexpr const char* kImportAgainQuestion =
    "%1 of %2 records are already stored. Import them again?";
inline constexpr const char* kConnectWhileImporting =
    "An import is running.\nCancel it, or let it end, before connecting.";

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
    kCmdFindCalls = 33000,  // opens the query form, whose own button the window keeps hidden
};

// The main window: the lists (CallLists), the chart (StatisticsChart), the status panel
// (StatusPanel) and the raw-data line, and the menu through which every other function is
// reached. It is the collector's view: it shows what the collector reports and forwards the
// operator's commands to it. Menus and commands are in main_menu.cpp.
class CVELKDlg : public QMainWindow, public CollectorView {
    Q_OBJECT
public:
    CVELKDlg(Collector& collector, const SettingsStore& store, OperatorPrompt& prompt,
             ShutdownTiming timing = {}, QWidget* parent = nullptr);
    ~CVELKDlg() override;

    QAction* Action(Command id) const;
    bool ClosingFlag() const { return closing_; }
    QTableView* LastCallsList() const;
    int MessageCounter() const { return messageCounter_; }

    // Runs what the window does once it is shown: automatic connection, the periodic timers.
    void Start();
    // Confirmed shutdown from the menu's Exit.
    void OnExit();
    // Shutdown asked for from outside (log-out, SIGTERM): the same orderly shutdown as a
    // confirmed Exit, without a question, since nobody may be there to answer it.
    void CloseOnRequest();
    void OnConnect();
    void OnDisconnect();
    // Import -> Raw Data File: the file dialog, the question, then the import on its own thread
    // with the progress window. Refused while connected or while an import runs.
    void OnImport();
    bool Importing() const;
    // Control -> System Load: a system-load window beside this one; nullptr (and nothing said)
    // when two are open already.
    SystemLoadingWindow* OpenSystemLoad();
    // The hidden "Query Form" button's command: runs the query form modally. Nothing shows the
    // button yet; this is the form's entry point.
    void OnQueryForm();
    int SystemLoadWindows() const;
    ImportProgress* ImportProgressWindow() const { return importProgress_; }
    QString ImportStatus() const { return importStatus_->text(); }
    // Says it when the settings write no daily record file; hidden otherwise.
    void ShowRecordFilesNote();
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
    QMenu* FieldNamePopup() const;

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
    void SetMenuState(LinkMenuState state) override;
    void SequenceAlarm(const std::string& line, uint64_t missingSinceStart) override;
    // Shown in the protocol state's place, which the link leaves alone in disk-buffer mode; the
    // state comes back when the alarm is over.
    void DiskBufferAlarm(const std::string& line) override;
    // Records that cannot be stored take the status line as the hard-disk buffer's alarm does.
    void StoreAlarm(const std::string& line) override;
    void DatabaseStatus(const std::string& line) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void OnImportFinished(const ImportResult& result);
    void RefreshMenus();

    // main_menu.cpp
    void BuildMenu();
    void OnApplicationSettings();
    void OnVersion();

    void OnTabChanged(int index);
    // The shared shutdown: pauses, secondary windows, disconnect, column widths, settings file.
    // Unattended (a signal asked for it), nothing waits for an answer: a settings file that
    // cannot be written goes to standard error and VELK.LOG instead of a message box.
    void RunShutdownSequence(bool unattended = false);
    void Pause(int ms);
    void StartLine();
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
    QTimer* minimiseTimer_ = nullptr;
    QTimer* durationTimer_ = nullptr;
    QTimer* rateTimer_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    CRawDataDisplay* rawDisplay_ = nullptr;
    std::array<QPointer<DetaleMessage>, 30> details_{};

    std::map<int, QAction*> actions_;
    CallLists* lists_ = nullptr;
    StatisticsChart* chart_ = nullptr;
    StatusPanel* status_ = nullptr;
    QPushButton* queryForm_ = nullptr;
    QLabel* importStatus_ = nullptr;
    QLabel* databaseStatus_ = nullptr;  // shown once a database server is set up
    QLabel* recordFilesNote_ = nullptr;  // shown while the settings write no daily record file
    QLabel* rawData_ = nullptr;
    RawImportRunner* import_ = nullptr;
    std::array<QPointer<SystemLoadingWindow>, 2> systemLoad_{};
    QPointer<ImportProgress> importProgress_;
    LinkMenuState menuState_ = LinkMenuState::Disconnected;
    std::optional<QString> stateBeforeAlarm_;
};

}  // namespace velk
