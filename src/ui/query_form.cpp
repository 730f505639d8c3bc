#include "ui/query_form.h"

#include <QAction>
#include <algorithm>
#include <QCursor>
#include <QEvent>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <fstream>

#include "core/foundation/operator_prompt.h"
#include "platform/index_search.h"
#include "ui/call_results.h"

namespace velk {

void QueryChooser::hidePopup() {
    QComboBox::hidePopup();
    emit Closed();
}

QueryForm::QueryForm(const AppSettings& settings, const Clock& clock, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      clock_(clock),
      rows_(QueryRows(settings)),
      cases_(rows_.size()),
      runMenu_([this](const std::vector<QueryMenuItem>& items, const QPoint& at) {
          return RunQMenu(this, items, at);
      }) {
    setObjectName(QStringLiteral("queryForm"));
    setWindowTitle(QStringLiteral("Query Form"));
    auto* layout = new QVBoxLayout(this);

    grid_ = new QTableWidget(static_cast<int>(rows_.size()), kFirstCaseColumn + QueryCases::kCases,
                             this);
    grid_->setObjectName(QStringLiteral("queryGrid"));
    QStringList headers{QStringLiteral("Saved Fields ID"), QStringLiteral("Saved Fields Name")};
    for (int c = 1; c <= QueryCases::kCases; ++c)
        headers << QStringLiteral("Case %1").arg(c);
    grid_->setHorizontalHeaderLabels(headers);
    grid_->verticalHeader()->hide();
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setSelectionMode(QAbstractItemView::NoSelection);
    grid_->setShowGrid(true);
    grid_->setWordWrap(false);
    grid_->horizontalHeader()->setSectionsClickable(true);
    grid_->horizontalHeader()->setHighlightSections(false);
    // The widths of the original form, or what the header and the longest name need in the
    // fonts at hand.
    int nameWidth = 150;
    for (const QueryRow& row : rows_)
        nameWidth =
            std::max(nameWidth,
                     grid_->fontMetrics().horizontalAdvance(QString::fromStdString(row.name)) + 12);
    grid_->setColumnWidth(0, std::max(30, grid_->horizontalHeader()->sectionSizeHint(0)));
    grid_->setColumnWidth(1, std::max(nameWidth, grid_->horizontalHeader()->sectionSizeHint(1)));
    for (int c = 0; c < QueryCases::kCases; ++c)
        grid_->setColumnWidth(kFirstCaseColumn + c, 130);
    grid_->verticalHeader()->setDefaultSectionSize(grid_->fontMetrics().height() + 6);

    for (int r = 0; r < static_cast<int>(rows_.size()); ++r) {
        const QueryRow& row = rows_[static_cast<size_t>(r)];
        const auto colour = QueryRowColour(row.kind);
        for (int c = 0; c < grid_->columnCount(); ++c) {
            auto* item = new QTableWidgetItem;
            if (c == 0)
                item->setText(QString::fromStdString(row.id));
            else if (c == 1)
                item->setText(QString::fromStdString(row.name));
            if (colour)
                item->setBackground(QColor(colour->r, colour->g, colour->b));
            item->setToolTip(item->text());
            grid_->setItem(r, c, item);
        }
    }
    layout->addWidget(grid_);

    // Running the cases: beside the grid, not in it, so the editor stays as it is.
    auto* buttons = new QHBoxLayout;
    find_ = new QPushButton(QStringLiteral("Find Calls"), this);
    find_->setObjectName(QStringLiteral("findCallsButton"));
    save_ = new QPushButton(QStringLiteral("Save Cases..."), this);
    save_->setObjectName(QStringLiteral("saveCasesButton"));
    open_ = new QPushButton(QStringLiteral("Open Cases..."), this);
    open_->setObjectName(QStringLiteral("openCasesButton"));
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("queryStatus"));
    where_ = new QComboBox(this);
    where_->setObjectName(QStringLiteral("searchWhere"));
    where_->addItems({QStringLiteral("This site"), QStringLiteral("All sites (database server)")});
    where_->hide();
    buttons->addWidget(where_);
    for (QPushButton* b : {find_, save_, open_}) {
        b->setAutoDefault(false);
        b->setEnabled(false);
        buttons->addWidget(b);
    }
    buttons->addWidget(status_, 1);
    layout->addLayout(buttons);
    connect(find_, &QPushButton::clicked, this, &QueryForm::FindCalls);
    connect(save_, &QPushButton::clicked, this, &QueryForm::SaveCases);
    connect(open_, &QPushButton::clicked, this, &QueryForm::OpenCases);

    // The in-place editor and chooser sit on the grid's viewport, over the cell they edit.
    editor_ = new QLineEdit(grid_->viewport());
    editor_->setObjectName(QStringLiteral("cellEditor"));
    editor_->setFrame(false);
    editor_->hide();
    editor_->installEventFilter(this);
    connect(editor_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (IsCaseCell(currentRow_, currentColumn_))
            SetCell(currentRow_, currentColumn_, text.toStdString());
    });
    chooser_ = new QueryChooser(grid_->viewport());
    chooser_->setObjectName(QStringLiteral("codeChooser"));
    chooser_->hide();
    // The list hides itself before it sets the entry picked (by mouse or by Enter): the pick
    // arrives as activated, and a list closed without one (Esc, a click elsewhere) is handled
    // once nothing more can arrive.
    connect(chooser_, &QComboBox::activated, this,
            [this](int index) { ChooserClosed(chooser_->itemText(index)); });
    connect(
        chooser_, &QueryChooser::Closed, this, [this] { ChooserClosed(chooser_->currentText()); },
        Qt::QueuedConnection);

    connect(grid_, &QTableWidget::cellClicked, this, &QueryForm::ClickCell);
    connect(grid_, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int column) { DoubleClickCell(row, column, QCursor::pos()); });
    connect(grid_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { ClickCaseHeader(column, QCursor::pos()); });
    // The editor would stay where the cell was: scrolling hides it.
    connect(grid_->verticalScrollBar(), &QScrollBar::valueChanged, editor_, &QWidget::hide);
    connect(grid_->horizontalScrollBar(), &QScrollBar::valueChanged, editor_, &QWidget::hide);
    // While the chooser is open the grid takes no clicks.
    grid_->viewport()->installEventFilter(this);

    resize(grid_->columnWidth(0) + grid_->columnWidth(1) + 6 * 130 + 2 * grid_->frameWidth() + 40,
           500);
}

bool QueryForm::IsCaseCell(int row, int column) const {
    return row >= 0 && row < static_cast<int>(rows_.size()) && column >= kFirstCaseColumn &&
           column < kFirstCaseColumn + QueryCases::kCases;
}

QString QueryForm::CaseText(int row, int caseIndex) const {
    return QString::fromStdString(cases_.Cell(static_cast<size_t>(row), caseIndex));
}

void QueryForm::SetCell(int row, int column, const std::string& text) {
    cases_.SetCell(static_cast<size_t>(row), CaseIndex(column), text);
    QTableWidgetItem* item = grid_->item(row, column);
    item->setText(QString::fromStdString(text));
    item->setToolTip(item->text());
    MarkCell(row, column);
}

void QueryForm::RefreshColumn(int column) {
    for (int r = 0; r < static_cast<int>(rows_.size()); ++r) {
        QTableWidgetItem* item = grid_->item(r, column);
        item->setText(CaseText(r, CaseIndex(column)));
        item->setToolTip(item->text());
        MarkCell(r, column);
    }
}

void QueryForm::MarkCell(int row, int column) {
    QTableWidgetItem* item = grid_->item(row, column);
    std::string why;
    const std::string text = item->text().toStdString();
    if (text.empty() || CellCondition::Read(rows_[static_cast<size_t>(row)].field, text, why)) {
        item->setData(Qt::ForegroundRole, QVariant());
        return;
    }
    item->setForeground(QColor(Qt::red));
    item->setToolTip(QString::fromStdString(why));
}

void QueryForm::SetFinder(IndexSearch* search, OperatorPrompt* prompt) {
    search_ = search;
    prompt_ = prompt;
    find_->setEnabled(search_ != nullptr);
    save_->setEnabled(prompt_ != nullptr);
    open_->setEnabled(prompt_ != nullptr);
    if (search_ != nullptr) {
        connect(search_, &IndexSearch::Found, this,
                [this](const std::shared_ptr<const FoundCalls>& found) { ShowFound(*found); });
    }
}

void QueryForm::SetServerSearch(IndexSearch* server) {
    server_ = server;
    where_->setVisible(server_ != nullptr);
    if (server_ != nullptr) {
        connect(server_, &IndexSearch::Found, this,
                [this](const std::shared_ptr<const FoundCalls>& found) { ShowFound(*found); });
    }
}

bool QueryForm::SearchesServer() const {
    return server_ != nullptr && where_->currentIndex() == 1;
}

std::vector<std::vector<QueryCell>> QueryForm::Cases() const {
    std::vector<std::vector<QueryCell>> cases(QueryCases::kCases);
    for (int c = 0; c < QueryCases::kCases; ++c) {
        for (size_t r = 0; r < rows_.size(); ++r)
            cases[static_cast<size_t>(c)].push_back({rows_[r].field, cases_.Cell(r, c)});
    }
    return cases;
}

void QueryForm::FindCalls() {
    IndexSearch* search = SearchesServer() ? server_ : search_;
    if (search == nullptr || (search_ != nullptr && search_->Running()) ||
        (server_ != nullptr && server_->Running()))
        return;
    std::vector<CellProblem> problems;
    CallQuery query = CallQuery::Read(Cases(), problems);
    if (!problems.empty()) {
        status_->setText(QStringLiteral("%1 cell(s) cannot be read (in red; the tip says why)")
                             .arg(problems.size()));
        return;
    }
    status_->setText(SearchesServer() ? QStringLiteral("Finding calls of all sites...")
                                      : QStringLiteral("Finding calls..."));
    find_->setEnabled(false);
    search->Start(std::move(query));
}

void QueryForm::ShowFound(const FoundCalls& found) {
    find_->setEnabled(true);
    status_->setText(found.ok ? QStringLiteral("%1 calls found").arg(found.count)
                              : QString::fromStdString(found.error));
    if (results_ == nullptr)
        results_ = new CallResultsWindow(settings_, *prompt_, this);
    results_->Show(found);
    results_->show();
    results_->raise();
}

namespace {
constexpr const char* kCasesFilter = "VELK Query Cases (*.cases)|*.cases|*.*|*.*||";
}  // namespace

void QueryForm::SaveCases() {
    if (prompt_ == nullptr)
        return;
    const std::string path = prompt_->ChooseFileToSave(kCasesFilter);
    if (path.empty())
        return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << CasesText(Cases());
    out.close();
    status_->setText(out ? QStringLiteral("Cases saved in %1").arg(QString::fromStdString(path))
                         : QStringLiteral("The cases could not be written to %1")
                               .arg(QString::fromStdString(path)));
}

void QueryForm::OpenCases() {
    if (prompt_ == nullptr)
        return;
    const std::string path = prompt_->ChooseFile(kCasesFilter);
    if (path.empty())
        return;
    std::vector<std::vector<QueryCell>> cases;
    std::string why;
    if (!ReadCasesFile(path, cases, why)) {
        status_->setText(QString::fromStdString(path + ": " + why));
        return;
    }
    editor_->hide();
    int leftOut = 0;
    for (int c = 0; c < QueryCases::kCases; ++c) {
        cases_.ClearCase(c);
        if (static_cast<size_t>(c) >= cases.size())
            continue;
        // Each condition goes to the first row of its field that is still free in the case.
        for (const QueryCell& cell : cases[static_cast<size_t>(c)]) {
            bool placed = false;
            for (size_t r = 0; r < rows_.size() && !placed; ++r) {
                if (rows_[r].field == cell.field && cases_.Cell(r, c).empty()) {
                    cases_.SetCell(r, c, cell.text);
                    placed = true;
                }
            }
            leftOut += placed ? 0 : 1;
        }
    }
    for (size_t c = QueryCases::kCases; c < cases.size(); ++c)
        leftOut += static_cast<int>(cases[c].size());
    for (int c = 0; c < QueryCases::kCases; ++c)
        RefreshColumn(kFirstCaseColumn + c);
    status_->setText(leftOut == 0 ? QStringLiteral("Cases opened")
                                  : QStringLiteral("Cases opened; %1 condition(s) left out: their "
                                                   "fields are not in the decoded file or the "
                                                   "case is past the sixth")
                                        .arg(leftOut));
}

void QueryForm::ClickCell(int row, int column) {
    if (chooserOpen_ || !IsCaseCell(row, column))
        return;
    currentRow_ = row;
    currentColumn_ = column;
    const QRect cell = grid_->visualRect(grid_->model()->index(row, column));
    editor_->setGeometry(cell);
    {
        const QSignalBlocker quiet(editor_);  // the cell already holds this text
        editor_->setText(CaseText(row, CaseIndex(column)));
    }
    editor_->show();
    editor_->setFocus();
}

void QueryForm::DoubleClickCell(int row, int column, const QPoint& at) {
    if (chooserOpen_ || !IsCaseCell(row, column))
        return;
    if (row == currentRow_ && column == currentColumn_ && editor_->isVisible())
        SetCell(row, column, editor_->text().toStdString());
    currentRow_ = row;
    currentColumn_ = column;
    editor_->hide();
    OpenAid(row, at);
}

void QueryForm::OpenAid(int row, const QPoint& at) {
    const QueryRow& r = rows_[static_cast<size_t>(row)];
    switch (r.kind) {
        case QueryKind::Coded:
            OpenChooser(row, r.field);
            break;
        case QueryKind::Text:
            Apply(runMenu_(TextMatchMenu(), at));
            break;
        case QueryKind::DateTime:
            Apply(runMenu_(DateTimeMenu(), at));
            break;
        case QueryKind::Duration:
        case QueryKind::CallDuration:
            Apply(runMenu_(DurationMenu(r.kind), at));
            break;
        case QueryKind::BillingMask:
            BillingMenu(at);
            break;
        case QueryKind::Number:
        case QueryKind::Sequence:
        case QueryKind::None:
            break;  // typed only
    }
}

void QueryForm::OpenChooser(int row, int field) {
    const std::vector<std::string> choices = QueryCodeChoices(field);
    if (choices.empty())
        return;
    chooser_->clear();
    for (const std::string& text : choices)
        chooser_->addItem(QString::fromStdString(text));
    const std::string cell = cases_.Cell(static_cast<size_t>(row), CaseIndex(currentColumn_));
    chooser_->setCurrentIndex(QueryChoiceFor(choices, cell));
    const QRect rect = grid_->visualRect(grid_->model()->index(row, currentColumn_));
    chooser_->setGeometry(rect.translated(0, -3));
    chooserOpen_ = true;
    chooser_->show();
    chooser_->setFocus();
    chooser_->showPopup();
}

void QueryForm::ChooserClosed(const QString& chosen) {
    if (!chooserOpen_)
        return;
    chooserOpen_ = false;
    if (IsCaseCell(currentRow_, currentColumn_))
        SetCell(currentRow_, currentColumn_, chosen.toStdString());
    chooser_->hide();
}

void QueryForm::BillingMenu(const QPoint& at) {
    billingMenuAt_ = at;
    // The cell is first written back as its mask reads ("0" for an empty cell).
    const std::string cell =
        cases_.Cell(static_cast<size_t>(currentRow_), CaseIndex(currentColumn_));
    SetCell(currentRow_, currentColumn_, BillingMaskText(BillingMask(cell)));
    Apply(runMenu_(
        BillingMethodMenu(cases_.Cell(static_cast<size_t>(currentRow_), CaseIndex(currentColumn_)),
                          settings_.Server_Port_index),
        billingMenuAt_));
}

void QueryForm::Apply(int command) {
    if (!IsCaseCell(currentRow_, currentColumn_))
        return;
    const std::string cell =
        cases_.Cell(static_cast<size_t>(currentRow_), CaseIndex(currentColumn_));
    const auto edit = ApplyQueryCommand(command, cell, clock_.Now());
    if (!edit)
        return;
    SetCell(currentRow_, currentColumn_, edit->text);
    if (edit->caret) {
        // The template goes into the editor, where the operator types the text.
        ClickCell(currentRow_, currentColumn_);
        editor_->setCursorPosition(static_cast<int>(*edit->caret));
    }
    if (edit->reopen) {
        Apply(runMenu_(BillingMethodMenu(edit->text, settings_.Server_Port_index), billingMenuAt_));
    }
}

void QueryForm::ClickCaseHeader(int column, const QPoint& at) {
    if (column < kFirstCaseColumn || column >= kFirstCaseColumn + QueryCases::kCases)
        return;
    headerColumn_ = column;
    const int command = runMenu_(
        {{kCmdCopyCase, "Copy Case"}, {kCmdPasteCase, "Paste Case"}, {kCmdClearCase, "Clear Case"}},
        at);
    switch (command) {
        case kCmdCopyCase:
            cases_.CopyCase(CaseIndex(column));
            break;
        case kCmdPasteCase:
            cases_.PasteCase(CaseIndex(column));
            RefreshColumn(column);
            break;
        case kCmdClearCase:
            editor_->hide();
            cases_.ClearCase(CaseIndex(column));
            RefreshColumn(column);
            break;
        default:
            break;
    }
}

bool QueryForm::eventFilter(QObject* watched, QEvent* event) {
    // A double click on the editor is one on the cell under it.
    if (watched == editor_ && event->type() == QEvent::MouseButtonDblClick) {
        DoubleClickCell(currentRow_, currentColumn_, QCursor::pos());
        return true;
    }
    if (watched == grid_->viewport() && chooserOpen_) {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
                return true;
            default:
                break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

int QueryForm::RunQMenu(QWidget* parent, const std::vector<QueryMenuItem>& items,
                        const QPoint& at) {
    QMenu menu(parent);
    menu.setObjectName(QStringLiteral("queryMenu"));
    for (const QueryMenuItem& item : items) {
        if (item.command == 0) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(QString::fromStdString(item.text));
        action->setData(item.command);
        action->setCheckable(item.command >= kCmdBillingBit0 && item.command < kCmdBillingBit0 + 8);
        action->setChecked(item.checked);
        action->setEnabled(item.enabled);
    }
    const QAction* chosen = menu.exec(at);
    return chosen != nullptr ? chosen->data().toInt() : 0;
}

}  // namespace velk
