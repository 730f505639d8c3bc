#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QLineEdit>
#include <QPoint>
#include <QTableWidget>
#include <functional>
#include <vector>

#include "core/archive/call_report.h"
#include "core/analysis/query_form.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"

namespace velk {

class CallResultsWindow;
class IndexSearch;
class OperatorPrompt;

// The coded-field chooser: a drop-down list that reports when its list closes, chosen or not.
class QueryChooser : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void hidePopup() override;

signals:
    void Closed();
};

// The query form: up to six query cases, one condition per decoded-file field, typed with the
// help of each field kind's editing aid. "Find Calls" runs the cases against the record index
// and shows the calls in a window of their own; a cell that cannot be read is shown in red with
// the reason as its tip. The cases can be saved to a file and opened again; closing the form
// discards them.
class QueryForm : public QDialog {
    Q_OBJECT
public:
    // Shows a menu at a screen position and answers the command chosen, 0 for none.
    using MenuRunner =
        std::function<int(const std::vector<QueryMenuItem>& items, const QPoint& at)>;

    static constexpr int kFirstCaseColumn = 2;

    QueryForm(const AppSettings& settings, const Clock& clock, QWidget* parent = nullptr);

    // Tests answer the menus instead of the operator.
    void SetMenuRunner(MenuRunner runner) { runMenu_ = std::move(runner); }
    // Where "Find Calls" searches, and the file dialogs of the cases files. Without a search the
    // form is the editor alone.
    void SetFinder(IndexSearch* search, OperatorPrompt* prompt);
    // A second place "Find Calls" can search: the database server all sites send their calls to.
    // The form then offers the choice ("This site" or "All sites").
    void SetServerSearch(IndexSearch* server);
    bool SearchesServer() const;

    void FindCalls();
    void SaveCases();
    void OpenCases();
    // The cases as the grid holds them: per case, each row's field and text.
    std::vector<std::vector<QueryCell>> Cases() const;
    QString StatusText() const { return status_->text(); }
    CallResultsWindow* Results() const { return results_; }

    // What the operator's clicks do (the grid's own clicks come here too).
    void ClickCell(int row, int column);
    void DoubleClickCell(int row, int column, const QPoint& at);
    void ClickCaseHeader(int column, const QPoint& at);

    QString CaseText(int row, int caseIndex) const;
    int CurrentRow() const { return currentRow_; }
    int CurrentColumn() const { return currentColumn_; }
    bool ChooserOpen() const { return chooserOpen_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int CaseIndex(int column) const { return column - kFirstCaseColumn; }
    bool IsCaseCell(int row, int column) const;
    void SetCell(int row, int column, const std::string& text);
    void RefreshColumn(int column);
    // Red text and the reason as the tip for a cell that cannot be read.
    void MarkCell(int row, int column);
    void ShowFound(const FoundCalls& found);
    void OpenAid(int row, const QPoint& at);
    void OpenChooser(int row, int field);
    // The list closed: the cell takes the entry chosen.
    void ChooserClosed(const QString& chosen);
    void BillingMenu(const QPoint& at);
    // Runs a command of a menu on the current cell.
    void Apply(int command);
    static int RunQMenu(QWidget* parent, const std::vector<QueryMenuItem>& items, const QPoint& at);

    const AppSettings& settings_;
    const Clock& clock_;
    std::vector<QueryRow> rows_;
    QueryCases cases_;
    MenuRunner runMenu_;

    QTableWidget* grid_ = nullptr;
    QLineEdit* editor_ = nullptr;
    QueryChooser* chooser_ = nullptr;
    int currentRow_ = -1;
    int currentColumn_ = -1;
    int headerColumn_ = -1;
    QPoint billingMenuAt_;
    bool chooserOpen_ = false;

    IndexSearch* search_ = nullptr;
    IndexSearch* server_ = nullptr;
    QComboBox* where_ = nullptr;
    OperatorPrompt* prompt_ = nullptr;
    CallResultsWindow* results_ = nullptr;
    QPushButton* find_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* open_ = nullptr;
    QLabel* status_ = nullptr;
};

}  // namespace velk
