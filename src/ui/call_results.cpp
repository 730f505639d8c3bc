#include "ui/call_results.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/decode/field_names.h"
#include "core/record/call_recorder.h"

namespace velk {

CallResultsModel::CallResultsModel(const AppSettings& settings, QObject* parent)
    : QAbstractTableModel(parent), settings_(settings), fields_(ListedFields(settings)) {}

void CallResultsModel::SetCalls(const FoundCalls& found) {
    beginResetModel();
    rows_ = found.rows;
    withSite_ = std::any_of(rows_.begin(), rows_.end(),
                            [](const IndexRow& row) { return !row.site.empty(); });
    texts_.clear();
    texts_.reserve(rows_.size());
    for (const IndexRow& row : rows_)
        texts_.push_back(CallTexts(row, settings_));
    endResetModel();
}

QString CallResultsModel::SortKey(const IndexValue& value, const std::string& text, int field) {
    // One kind of key for every row, so that the rows of a column always compare: numbers and
    // durations by value, then, together at the end, what did not read as one ("???:??:??",
    // "-"), by text; other fields by text.
    if (!IndexColumnIsNumber(field))
        return QString::fromStdString(text);
    if (const auto* n = std::get_if<int64_t>(&value)) {
        const auto biased = static_cast<unsigned long long>(*n) ^ (1ull << 63);
        return QStringLiteral("0%1").arg(biased, 20, 10, QLatin1Char('0'));
    }
    return QStringLiteral("1") + QString::fromStdString(text);
}

int CallResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CallResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(fields_.size()) + (withSite_ ? 1 : 0);
}

int CallResultsModel::FieldOf(int column) const {
    const int at = column - (withSite_ ? 1 : 0);
    return at < 0 ? -1 : fields_[static_cast<size_t>(at)];
}

QVariant CallResultsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const size_t r = static_cast<size_t>(index.row());
    const int field = FieldOf(index.column());
    if (field < 0)
        return role == Qt::DisplayRole || role == kSortRole ? QString::fromStdString(rows_[r].site)
                                                            : QVariant();
    if (role == Qt::DisplayRole)
        return QString::fromStdString(texts_[r][static_cast<size_t>(field)]);
    if (role == kSortRole)
        return SortKey(rows_[r].Field(field), texts_[r][static_cast<size_t>(field)], field);
    return {};
}

QVariant CallResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columnCount())
        return {};
    const int field = FieldOf(section);
    return field < 0 ? QStringLiteral("Site")
                     : QString::fromLatin1(kFieldNames[static_cast<size_t>(field)].data());
}

CallResultsWindow::CallResultsWindow(const AppSettings& settings, OperatorPrompt& prompt,
                                     QWidget* parent)
    : QWidget(parent, Qt::Window), settings_(settings), prompt_(prompt) {
    setObjectName(QStringLiteral("callResultsWindow"));
    setWindowTitle(QStringLiteral("Found Calls"));
    auto* layout = new QVBoxLayout(this);
    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("callResultsSummary"));
    layout->addWidget(summary_);
    model_ = new CallResultsModel(settings_, this);
    sorted_ = new QSortFilterProxyModel(this);
    sorted_->setSourceModel(model_);
    sorted_->setSortRole(CallResultsModel::kSortRole);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("callResults"));
    table_->setModel(sorted_);
    table_->setSortingEnabled(true);
    table_->sortByColumn(-1, Qt::AscendingOrder);  // as found (by start time) until a header click
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    layout->addWidget(table_);
    auto* buttons = new QHBoxLayout;
    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    copy->setObjectName(QStringLiteral("copyCallsButton"));
    connect(copy, &QPushButton::clicked, this, &CallResultsWindow::Copy);
    auto* exportButton = new QPushButton(QStringLiteral("Export..."), this);
    exportButton->setObjectName(QStringLiteral("exportCallsButton"));
    connect(exportButton, &QPushButton::clicked, this, &CallResultsWindow::Export);
    buttons->addWidget(copy);
    buttons->addWidget(exportButton);
    buttons->addStretch();
    layout->addLayout(buttons);
    resize(900, 420);
}

void CallResultsWindow::Show(const FoundCalls& found) {
    model_->SetCalls(found);
    table_->resizeColumnsToContents();
    QString text;
    if (!found.ok) {
        text = QStringLiteral("The record index cannot be read: %1")
                   .arg(QString::fromStdString(found.error));
    } else {
        text = QStringLiteral("%1 calls, total duration %2")
                   .arg(found.count)
                   .arg(QString::fromStdString(DurationText(found.totalSeconds)));
        if (found.count > static_cast<int64_t>(found.rows.size()))
            text += QStringLiteral(" (the first %1 by start time are listed)").arg(found.rows.size());
    }
    summary_->setText(text);
}

std::string CallResultsWindow::ExportText() const {
    std::string text = DecodedFileHeader(settings_);
    for (int r = 0; r < sorted_->rowCount(); ++r)
        text += DecodedFileLine(settings_, model_->Texts(sorted_->mapToSource(sorted_->index(r, 0)).row()));
    return text;
}

void CallResultsWindow::Copy() {
    // The selected rows, or every row: the header, then TAB-separated cells, CR LF line ends.
    const QModelIndexList selected = table_->selectionModel()->selectedRows();
    QString text;
    for (int c = 0; c < sorted_->columnCount(); ++c)
        text += (c > 0 ? "\t" : "") + sorted_->headerData(c, Qt::Horizontal).toString();
    text += "\r\n";
    for (int r = 0; r < sorted_->rowCount(); ++r) {
        if (!selected.isEmpty() && !table_->selectionModel()->isRowSelected(r, {}))
            continue;
        for (int c = 0; c < sorted_->columnCount(); ++c)
            text += (c > 0 ? "\t" : "") + sorted_->index(r, c).data().toString();
        text += "\r\n";
    }
    QApplication::clipboard()->setText(text);
}

void CallResultsWindow::Export() {
    std::string path =
        prompt_.ChooseFileToSave("Decoded Call Records (*." + settings_.File_Extension + ")|*." +
                                 settings_.File_Extension + "|*.*|*.*||");
    if (path.empty())
        return;
    // A name typed without an extension gets the decoded files' own.
    if (!std::filesystem::path(path).has_extension() && !settings_.File_Extension.empty())
        path += "." + settings_.File_Extension;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string text = ExportText();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out)
        prompt_.Message("The calls could not be written to\n" + path, "VELK",
                        PromptIcon::Error);
}

}  // namespace velk
