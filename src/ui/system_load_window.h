#pragma once

#include <QAbstractTableModel>
#include <QDateEdit>
#include <QLabel>
#include <QPointer>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <string>

#include "core/analysis/system_load.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/foundation/operator_prompt.h"

namespace velk {

// One of the tables of the system-load window, drawn from the day's counters on demand (no item
// objects): by ports (992 rows), per slot (34 rows), the totals, and the colour legend.
class TrafficTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Kind { ByPorts, PerSlot, Totals, Legend };
    TrafficTableModel(Kind kind, const TrafficDay& day, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    // The counters changed: everything is drawn again.
    void Reload();

private:
    int FirstHourColumn() const { return kind_ == Kind::ByPorts ? 2 : 1; }
    QString HourCell(int row, int hour) const;

    Kind kind_;
    const TrafficDay& day_;
    std::array<float, kHours> erlang_{};
};

// "CS1000 System Load at <site>": one day's traffic file as Erlang load per port, per slot and
// in total, for a picked date (re-read every minute while the date is today) or an imported file.
// The file is read and counted on a worker thread, so a big file never holds up the main window
// or the link; the window itself lives on the main thread.
class SystemLoadingWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRereadMs = 60000;

    SystemLoadingWindow(const AppSettings& settings, std::filesystem::path trafficDirectory,
                        const Clock& clock, OperatorPrompt& prompt, QWidget* parent = nullptr);
    ~SystemLoadingWindow() override;

    // The operator picked a date (also what the date picker does).
    void PickDate(const QDate& date);
    void ImportExternalFile();
    // The minute timer's expiry.
    void OnMinuteTimer();
    bool MinuteTimerActive() const { return minute_.isActive(); }
    QString Status() const { return status_->text(); }
    // True while a file is being read.
    bool Loading() const { return loading_ > 0; }
    const TrafficDay& Day() const { return *day_; }

signals:
    void Closed(SystemLoadingWindow* window);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    enum class Origin { Picked, Timer, Imported };
    // Reads and counts the file on a worker thread; Loaded follows on this thread.
    void Load(const std::filesystem::path& path, Origin origin);
    void Loaded(std::shared_ptr<TrafficDay> day, bool ok, const std::filesystem::path& path,
                Origin origin, unsigned generation);
    bool IsToday(const std::filesystem::path& path) const;
    void ShowNoDataNotice();
    void ShowTable(bool perSlot);
    QTableView* MakeTable(TrafficTableModel* model, const char* name);

    const AppSettings& settings_;
    std::filesystem::path directory_;
    const Clock& clock_;
    OperatorPrompt& prompt_;
    std::unique_ptr<TrafficDay> day_;
    std::filesystem::path remembered_;  // the file last loaded through the date picker
    QTimer minute_;
    unsigned generation_ = 0;
    int loading_ = 0;

    QDateEdit* date_ = nullptr;
    QLabel* status_ = nullptr;
    TrafficTableModel* byPortsModel_ = nullptr;
    TrafficTableModel* perSlotModel_ = nullptr;
    TrafficTableModel* totalsModel_ = nullptr;
    QTableView* byPorts_ = nullptr;
    QTableView* perSlot_ = nullptr;
    QStackedWidget* tables_ = nullptr;
    QTableView* totals_ = nullptr;
    QRadioButton* slotRadio_ = nullptr;
    QRadioButton* portRadio_ = nullptr;
};

}  // namespace velk
