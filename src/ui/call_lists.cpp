#include "ui/call_lists.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>
#include <algorithm>

#include "core/decode/field_names.h"
#include "ui/list_clipboard.h"
#include "ui/list_models.h"
#include "ui/widget_helpers.h"

namespace velk {

CallLists::CallLists(const LastCallsRing& ring, const StatisticCounters& counters,
                     OperatorPrompt& prompt, QWidget* parent)
    : QTabWidget(parent), prompt_(prompt) {
    setObjectName(QStringLiteral("pageTabs"));

    lastCalls_ = MakeList("lastCallsList", this);
    lastCallsModel_ = new LastCallsModel(ring, this);
    lastCalls_->setModel(lastCallsModel_);
    detail_ = MakeList("detailList", this);
    detailModel_ = new DetailModel(this);
    detail_->setModel(detailModel_);
    detail_->setColumnWidth(0, 80);
    detail_->setColumnWidth(1, 260);
    detail_->horizontalHeader()->setStretchLastSection(true);
    statistics_ = MakeList("statisticsList", this);
    statisticsModel_ = new StatisticsModel(counters, this);
    statistics_->setModel(statisticsModel_);
    statistics_->setColumnWidth(0, 200);
    statistics_->setColumnWidth(1, 48);
    for (int c = 2; c < 26; ++c)
        statistics_->setColumnWidth(c, 30);

    for (QTableView* list : {lastCalls_, detail_, statistics_}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint& pos) { ShowListMenu(list, pos); });
    }
    connect(statistics_, &QAbstractItemView::entered, this,
            [this](const QModelIndex& index) { emit StatisticsHovered(index.row()); });
    statistics_->viewport()->installEventFilter(this);
    connect(lastCalls_, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex&) { OnLastCallsDoubleClick(); });
    connect(lastCalls_, &QAbstractItemView::entered, this,
            [this](const QModelIndex& index) { OnLastCallsHover(index.column()); });
    // The message detail from the keyboard: Enter on the current row, or the list's menu.
    lastCalls_->installEventFilter(this);
    lastCalls_->viewport()->installEventFilter(this);

    popupTimer_ = new QTimer(this);
    popupTimer_->setInterval(3000);
    popupTimer_->setSingleShot(true);
    connect(popupTimer_, &QTimer::timeout, this, &CallLists::ClosePopup);

    addTab(lastCalls_, QStringLiteral("Last Calls Info"));
    addTab(detail_, QStringLiteral("Last Call Detail Info"));
    addTab(statistics_, QStringLiteral("VELK Statistic"));
}

void CallLists::FitColumnsToContent() {
    // A header wider than this is cut rather than widening its column past any of its values.
    constexpr int kHeaderLimit = 150;
    const QFontMetrics metrics(lastCalls_->font());
    const int padding = 2 * lastCalls_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 12;
    // Fields holding a date and a time: the start and end of the call and their alternatives.
    const int dateTime = metrics.horizontalAdvance(QStringLiteral("2026-12-08 23:59:59")) + padding;
    QHeaderView* header = lastCalls_->horizontalHeader();
    for (int c = 0; c < kColumnCount; ++c) {
        if (lastCalls_->isColumnHidden(c))
            continue;
        // The ring's rows; the row of field names below them is a legend, not content.
        int width = 24;
        const QAbstractItemModel* model = lastCalls_->model();
        for (int r = 0; r < std::min(model->rowCount(), kRingSlots); ++r) {
            width = std::max(width,
                             metrics.horizontalAdvance(model->index(r, c).data().toString()) +
                                 padding);
        }
        width = std::max(width, std::min(header->sectionSizeHint(c), kHeaderLimit));
        if (c == 5 || c == 6 || c == 24 || c == 25)
            width = std::max(width, dateTime);
        lastCalls_->setColumnWidth(c, width);
    }
}

void CallLists::ApplyColumnWidths(const SettingsStore& store) {
    // Widths that fit the texts first; saved widths only when all 51 were readable and chosen.
    FitColumnsToContent();
    std::array<int32_t, kColumnCount> saved{};
    // Every column hidden (all widths 0, as a file written by a tool may have), or every column
    // at the width a new settings file gets, is no layout anybody chose: the fitted widths stay.
    const auto neverChosen = [&saved] {
        for (int32_t w : saved) {
            if (w > 0 && w != kComputedColumnWidth)
                return false;
        }
        return true;
    };
    if (store.ReadColumnWidths(saved) == 1 && !neverChosen()) {
        for (int c = 0; c < kColumnCount; ++c) {
            if (saved[c] <= 0) {
                lastCalls_->setColumnHidden(c, true);
            } else {
                lastCalls_->setColumnWidth(c, saved[c]);
            }
        }
    }
}

void CallLists::StoreColumnWidths(AppSettings& settings) const {
    for (int c = 0; c < kColumnCount; ++c) {
        settings.Col[c] = lastCalls_->isColumnHidden(c) ? 0 : lastCalls_->columnWidth(c);
    }
}

void CallLists::DefaultView(int systemType) {
    // Widths of columns 1..50 (fields 0..49) for the CS1000 and the iPECS-MG billing servers.
    static const int kCs1000[50] = {37, 36,  25, 36, 115, 115, 89, 0,  0, 75, 77, 25, 36,
                                    48, 25,  0,  0,  0,   99,  57, 61, 0, 35, 0,  0,  0,
                                    50, 103, 72, 50, 50,  38,  64, 0,  0, 0,  0,  0,  0,
                                    0,  0,   0,  0,  0,   0,   0,  0,  0, 0,  0};
    static const int kIpecs[50] = {36, 0,  27, 0,  115, 115, 0,  0,  0,  71, 0,  0,  0,
                                   0,  0,  0,  0,  0,   0,   0,  0,  0,  35, 0,  0,  0,
                                   0,  0,  0,  0,  0,   44,  65, 61, 26, 40, 46, 46, 46,
                                   88, 73, 53, 27, 46,  99,  54, 46, 46, 81, 46};
    const int* widths = systemType == kSystemTypeIpecsMg ? kIpecs : kCs1000;
    // Column 0, the row numbers, comes back too. The table says which columns show and how wide
    // they are at least; a text wider than that widens its column.
    lastCalls_->setColumnHidden(0, false);
    for (int f = 0; f < 50; ++f)
        lastCalls_->setColumnHidden(f + 1, widths[f] == 0);
    FitColumnsToContent();
    for (int f = 0; f < 50; ++f) {
        if (widths[f] > lastCalls_->columnWidth(f + 1))
            lastCalls_->setColumnWidth(f + 1, widths[f]);
    }
    lastCalls_->viewport()->update();
}

void CallLists::RefreshLastCalls() {
    lastCallsModel_->Refresh();
}

void CallLists::ShowRecordDetail(const LastCallsRing::Record& fields) {
    detailModel_->SetValues(fields);
}

void CallLists::RefreshStatisticsRow(int row) {
    statisticsModel_->RefreshRow(row);
}

void CallLists::RefreshAllStatistics() {
    for (int row = 0; row < kStatisticColumns; ++row)
        statisticsModel_->RefreshRow(row);
}

QMenu* CallLists::MakeLastCallsMenu() {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("listMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const QModelIndex current = lastCalls_->currentIndex();
    QAction* detail = menu->addAction(QStringLiteral("Message Detail\tEnter"));
    detail->setObjectName(QStringLiteral("messageDetailAction"));
    detail->setEnabled(current.isValid());
    const int row = current.row();
    connect(detail, &QAction::triggered, this, [this, row] { emit DetailRequested(row); });
    menu->addSeparator();
    QAction* copy = menu->addAction(QStringLiteral("Copy All Last Calls Infor"));
    connect(copy, &QAction::triggered, this,
            [this] { CopyListToClipboard(*lastCalls_->model(), prompt_); });
    return menu;
}

void CallLists::ShowListMenu(QTableView* list, const QPoint& pos) {
    const QModelIndex index = list->indexAt(pos);
    if (list == lastCalls_ && index.isValid()) {
        emit DetailRequested(index.row());
        return;
    }
    if (list == lastCalls_) {
        MakeLastCallsMenu()->popup(list->viewport()->mapToGlobal(pos));
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

void CallLists::OnLastCallsDoubleClick() {
    popupArmed_ = true;
    popupTimer_->start();
}

void CallLists::OnLastCallsHover(int column) {
    ClosePopup();
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

void CallLists::ClosePopup() {
    if (popup_ != nullptr)
        popup_->close();
}

bool CallLists::eventFilter(QObject* watched, QEvent* event) {
    if (watched == statistics_->viewport() && event->type() == QEvent::Leave)
        emit StatisticsHovered(-1);
    // Enter on a row asks for its detail (the view's own "activated" comes with double-clicks
    // too, which name the field instead).
    if (watched == lastCalls_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && lastCalls_->currentIndex().isValid()) {
            emit DetailRequested(lastCalls_->currentIndex().row());
            return true;
        }
    }
    // The menu key names no row under the mouse: the menu for the current row opens at it.
    if (watched == lastCalls_->viewport() && event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        const QRect cell = lastCalls_->visualRect(lastCalls_->currentIndex());
        MakeLastCallsMenu()->popup(
            lastCalls_->viewport()->mapToGlobal(cell.isValid() ? cell.center() : QPoint()));
        return true;
    }
    return QTabWidget::eventFilter(watched, event);
}

}  // namespace velk
