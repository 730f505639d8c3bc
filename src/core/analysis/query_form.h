#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/analysis/rgb.h"
#include "core/decode/code_tables.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"

namespace velk {

// How the query form edits the cells of a field, and the colour of its row.
enum class QueryKind {
    None = 0,          // a row whose name is no field's: default colours, no editing aid
    Coded = 1,         // the drop-down list of the field's code texts
    Text = 2,          // digits and text: the text-match menu
    Number = 3,        // typing only
    Sequence = 4,      // the sequence number: typing only
    DateTime = 7,      // the date-time menu
    Duration = 8,      // field 32: "hhh.mm.ss"
    CallDuration = 9,  // field 48: "ddd.hh.mm.ss"
    BillingMask = 10,  // field 2: the billing-method menu
};

QueryKind QueryKindOf(int field);
// The row colour of a kind; nullopt for None (the grid's default colours).
std::optional<Rgb> QueryRowColour(QueryKind kind);

// Menu commands of the form.
enum QueryCommand : int {
    kCmdCopyCase = 199,
    kCmdPasteCase = 200,
    kCmdClearCase = 201,
    kCmdBillingBit0 = 202,  // 202..209: bits 0..7
    kCmdExitAndSave = 210,
    kCmdAllCalls = 211,
    kCmdDate = 212,
    kCmdTime = 213,
    kCmdDateAndTime = 214,
    kCmdDateRange = 215,
    kCmdTimeRange = 216,
    kCmdDateAndTimeRange = 217,
    kCmdDurationExactly = 218,      // 218..221 field 32, 222..225 field 48:
    kCmdCallDurationExactly = 222,  // exactly, more than, less than, range
    kCmdMatchedAtBegin = 226,
    kCmdMatchedAtEnd = 227,
    kCmdMatchedAtMiddle = 228,
    kCmdFullMatched = 229,
};

// One item of a menu; command 0 is a separator.
struct QueryMenuItem {
    QueryMenuItem() = default;
    QueryMenuItem(int c, std::string t, bool isChecked = false, bool isEnabled = true)
        : command(c), text(std::move(t)), checked(isChecked), enabled(isEnabled) {}
    int command = 0;
    std::string text;
    bool checked = false;
    bool enabled = true;
    bool operator==(const QueryMenuItem&) const = default;
};

// The editing aid's menus.
std::vector<QueryMenuItem> TextMatchMenu();
std::vector<QueryMenuItem> DateTimeMenu();
// For Duration (commands 218..221) or CallDuration (222..225).
std::vector<QueryMenuItem> DurationMenu(QueryKind kind);
// The billing-method menu for a cell: bits 0..7 named by the system type's table, checked when
// set, all greyed but "Answered Call"; then "All Calls" and "Exit and Save".
std::vector<QueryMenuItem> BillingMethodMenu(const std::string& cell, int32_t systemType);

// A cell's billing-method mask: its text as hexadecimal (a character that is no hex digit counts
// 0); written back in lower-case hexadecimal without leading zeros, "0" when empty.
uint32_t BillingMask(const std::string& cell);
std::string BillingMaskText(uint32_t mask);

// What a menu command does to the current cell: its new text and where the caret goes in the
// editor (nullopt: the editor is not shown); reopen is set when the menu shows again (the
// billing-method bits, so that several can be set in a row).
struct QueryCellEdit {
    explicit QueryCellEdit(std::string t = {}, std::optional<size_t> at = std::nullopt,
                           bool again = false)
        : text(std::move(t)), caret(at), reopen(again) {}
    std::string text;
    std::optional<size_t> caret;
    bool reopen = false;
};
// nullopt for a command that leaves the cell alone ("Exit and Save", or one that is not a cell
// command). The date and time templates take the time of the command.
std::optional<QueryCellEdit> ApplyQueryCommand(int command, const std::string& cell,
                                               const LocalTime& now);

// The date-time texts: now as "YYYY-MM-DD hh:mm:ss", the date template with the time digits set
// to 'X', the time template with the date digits set to 'X'.
std::string QueryNow(const LocalTime& now);
std::string QueryDateTemplate(const LocalTime& now);
std::string QueryTimeTemplate(const LocalTime& now);

// The rows of the grid: the decoded-file columns that are switched on, in column order.
struct QueryRow {
    std::string id;    // "01", "02", ...: the column's place in the decoded file
    std::string name;  // the field's name ("Empty" for an empty column)
    int field = -1;    // -1 when the name is no field's
    QueryKind kind = QueryKind::None;
};
std::vector<QueryRow> QueryRows(const AppSettings& settings);

// The code texts a coded field offers, in code order (none for a field without a table), and
// the entry to select for a cell: the one with the cell's text, else the first.
std::vector<std::string> QueryCodeChoices(int field);
int QueryChoiceFor(const std::vector<std::string>& choices, const std::string& cell);

// The six cases of the grid: one text per row and case, with Copy / Paste / Clear Case.
class QueryCases {
public:
    static constexpr int kCases = 6;

    explicit QueryCases(size_t rows) : cells_(rows) {}
    size_t Rows() const { return cells_.size(); }
    const std::string& Cell(size_t row, int c) const { return cells_[row][Index(c)]; }
    void SetCell(size_t row, int c, std::string text) { cells_[row][Index(c)] = std::move(text); }

    void CopyCase(int c) { source_ = c; }
    // Only once a case was copied: every row of case c gets the text of the source case.
    void PasteCase(int c);
    void ClearCase(int c);
    std::optional<int> CopySource() const { return source_; }

private:
    static size_t Index(int c) { return static_cast<size_t>(c); }
    std::vector<std::array<std::string, kCases>> cells_;
    std::optional<int> source_;
};

}  // namespace velk
