#pragma once

#include <QMenu>
#include <QPointer>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <array>

#include "core/decode/last_calls_ring.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"
#include "core/foundation/settings_store.h"
#include "core/foundation/statistic_counters.h"

namespace velk {

class LastCallsModel;
class DetailModel;
class StatisticsModel;

// The three pages of the main window: the last calls, the latest call's fields and the
// statistics list, each with its copy menu; the last-calls list also opens detail windows and
// names the field under the mouse after a double-click.
class CallLists : public QTabWidget {
    Q_OBJECT
public:
    CallLists(const LastCallsRing& ring, const StatisticCounters& counters, OperatorPrompt& prompt,
              QWidget* parent = nullptr);

    QTableView* LastCalls() const { return lastCalls_; }
    QTableView* Detail() const { return detail_; }
    QTableView* Statistics() const { return statistics_; }

    // Widths that fit the columns' texts, then the saved ones when all 51 were readable and some
    // user set them (widths that are all the computed one, or all 0, were never chosen).
    void ApplyColumnWidths(const SettingsStore& store);
    // Every shown column of the last-calls list as wide as its texts: the cells, a date and time
    // whole where the field holds one, and the header up to a limit.
    void FitColumnsToContent();
    // The widths as they are now (0 for a hidden column), for the settings file.
    void StoreColumnWidths(AppSettings& settings) const;
    // Columns 1..50 as the chosen system type's billing server fills them, each at least as wide
    // as its texts.
    void DefaultView(int systemType);

    void RefreshLastCalls();
    void ShowRecordDetail(const LastCallsRing::Record& fields);
    void RefreshStatisticsRow(int row);
    void RefreshAllStatistics();

    // The field-name popup: a double-click arms it for 3 s; hovering a column then names it.
    void OnLastCallsDoubleClick();
    void OnLastCallsHover(int column);
    QMenu* FieldNamePopup() const { return popup_; }
    void ClosePopup();

    // The last-calls list's menu for the keyboard (the menu key, Shift+F10) or a click beside
    // the rows: the message detail of the current row, then the copy command.
    QMenu* MakeLastCallsMenu();

signals:
    // The right mouse button on a row of the last-calls list, Enter on its current row, or the
    // menu's "Message Detail".
    void DetailRequested(int row);
    // The mouse points at a row of the statistics list (-1 when it leaves).
    void StatisticsHovered(int row);

private:
    void ShowListMenu(QTableView* list, const QPoint& pos);
    bool eventFilter(QObject* watched, QEvent* event) override;

    OperatorPrompt& prompt_;
    QTableView* lastCalls_ = nullptr;
    QTableView* detail_ = nullptr;
    QTableView* statistics_ = nullptr;
    LastCallsModel* lastCallsModel_ = nullptr;
    DetailModel* detailModel_ = nullptr;
    StatisticsModel* statisticsModel_ = nullptr;
    bool popupArmed_ = false;
    QPointer<QMenu> popup_;
    QTimer* popupTimer_ = nullptr;
};

}  // namespace velk
