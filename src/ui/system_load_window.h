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
#include <atomic>
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
    // Column widths in pixels, at least: every hour column, and the label columns before them (the
    // by-ports table's two add up to the others' one, so that the hours of all tables line up).
    // A column is wider where its texts need more in the font at hand.
    static constexpr int kHourWidth = 37;
    static constexpr int kLabelWidth = 80;
    static constexpr int kPortWidth = 35;
    static constexpr int kSlotWidth = 45;
    static constexpr int kLegendWidth = 40;

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
    // The width of the hour columns of all three tables, and of the label columns before them.
    int HourWidth() const { return hourWidth_; }
    int LabelWidth() const { return labelWidth_; }

signals:
    void Closed(SystemLoadingWindow* window);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Origin { Picked, Timer, Imported };
    // Reads and counts the file on a worker thread; Loaded follows on this thread.
    void Load(const std::filesystem::path& path, Origin origin);
    void Loaded(std::shared_ptr<TrafficDay> day, bool ok, const std::filesystem::path& path,
                Origin origin, unsigned generation);
    bool IsToday(const std::filesystem::path& path) const;
    void ShowNoDataNotice();
    void ShowTable(bool perSlot);
    QTableView* MakeTable(TrafficTableModel* model, const char* name,
                          std::initializer_list<int> labelWidths);
    // The label columns and the hour columns as wide as their texts need; all tables alike.
    void FitLabelColumns();
    void FitHourColumns();
    // The window's width with every hour of the tables in sight.
    int FullWidth() const;
    // A reading under way stops when it is no longer the one wanted.
    void CallOffReading();

    const AppSettings& settings_;
    std::filesystem::path directory_;
    const Clock& clock_;
    OperatorPrompt& prompt_;
    std::unique_ptr<TrafficDay> day_;
    std::filesystem::path remembered_;  // the file last loaded through the date picker
    QTimer minute_;
    unsigned generation_ = 0;
    // The reading still wanted, as the worker threads see it.
    std::shared_ptr<std::atomic<unsigned>> wanted_ = std::make_shared<std::atomic<unsigned>>(0);
    int loading_ = 0;
    // The date the field held when a day was last picked (or when the window opened): leaving
    // the field loads a day only when the date was changed.
    QDate lastDate_;
    int hourWidth_ = kHourWidth;
    int labelWidth_ = kLabelWidth;
    bool scrolling_ = false;  // one table's scrolling is being passed on

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
