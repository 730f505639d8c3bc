#pragma once

#include <QAbstractTableModel>
#include <QLabel>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QWidget>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/archive/call_report.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"

namespace velk {

// The found calls as a table: one column per listed field; sorting by a column sorts numbers and
// durations by their value.
class CallResultsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kSortRole = Qt::UserRole;

    CallResultsModel(const AppSettings& settings, QObject* parent = nullptr);
    void SetCalls(const FoundCalls& found);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    const std::array<std::string, 50>& Texts(int row) const {
        return texts_[static_cast<size_t>(row)];
    }

    // What a cell sorts by: in a column of numbers or durations the readable values in order,
    // then those that did not read as one, together.
    static QString SortKey(const IndexValue& value, const std::string& text, int field);

private:
    // The field of a column; -1 for the site, the first column of calls from many sites.
    int FieldOf(int column) const;

    const AppSettings& settings_;
    std::vector<int> fields_;
    bool withSite_ = false;
    std::vector<IndexRow> rows_;
    std::vector<std::array<std::string, 50>> texts_;
};

// The calls a query found, in a window of its own: the table (sortable), how many there are and
// their summed duration, Copy (the selected rows, or all) and Export to a file laid out as the
// decoded files are.
class CallResultsWindow : public QWidget {
    Q_OBJECT
public:
    CallResultsWindow(const AppSettings& settings, OperatorPrompt& prompt,
                      QWidget* parent = nullptr);
    void Show(const FoundCalls& found);

    QString Summary() const { return summary_->text(); }
    // The rows in the table's order (sorted as shown): their decoded-file lines.
    std::string ExportText() const;
    void Copy();
    void Export();

private:
    const AppSettings& settings_;
    OperatorPrompt& prompt_;
    CallResultsModel* model_ = nullptr;
    QSortFilterProxyModel* sorted_ = nullptr;
    QTableView* table_ = nullptr;
    QLabel* summary_ = nullptr;
};

}  // namespace velk
