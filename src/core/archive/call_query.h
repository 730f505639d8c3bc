#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/analysis/query_form.h"
#include "core/archive/record_index.h"

namespace velk {

// The rules a cell condition can hold.
struct CellTextMatch {
    std::vector<std::string> pieces;  // the text between the '?'
    bool atStart = true, atEnd = true;
};
struct CellBetween {  // numbers, codes and durations; an absent end is open
    std::optional<int64_t> low, high;
};
struct CellDateTimes {
    // The lowest and the highest text the ends allow, 19 characters each: where only one end
    // leaves a place to 'X', that end takes any character there (0x00 in the low end, 0xff in
    // the high one), so that it keeps its own precision.
    std::string low, high;
    std::string free;  // 'X' where both ends take any character: those places are not compared
};
struct CellAllBits {
    uint32_t mask = 0;
};

// The condition of one cell of the query form, read by the kind of its row's field:
// - digits and text: '?' stands for any text (also none): "12?" begins with 12, "?12" ends with
//   it, "?12?" holds it, "12" is exactly 12;
// - coded fields: one of the field's code texts;
// - numbers and the sequence number: n exactly, ">n", "<n", or "a~b" (both ends included);
// - date-times: "YYYY-MM-DD hh:mm:ss", 'X' for any character, cut short for "any" after it
//   ("2026-12" is that month); "a~b" leaves out the places both ends leave to 'X', both ends
//   included ("XXXX-XX-XX 08:00:00~XXXX-XX-XX 17:00:00" is office hours on any day); an 'X' of
//   one end only widens that end ("2026-12-01 08:30:00~2026-12-01 17:XX:XX" ends at 17:59:59);
//   a month, day, hour, minute or second given in full must exist;
// - durations "hhh.mm.ss" (field 32) or "ddd.hh.mm.ss" (field 48): exactly, ">", "<" or "~";
// - the billing-method mask (hexadecimal): every bit set in it is set in the record.
class CellCondition {
public:
    // nullopt, with the reason in `why`, when the text is no condition of the field's kind.
    static std::optional<CellCondition> Read(int field, const std::string& text, std::string& why);

    bool Matches(const IndexRow& row) const;
    // Ranges of the index that hold every row the condition can match (none: no narrowing).
    std::vector<IndexRange> Ranges() const;
    // True when a date-time condition takes exactly the texts of its range (a database can then
    // count them by the range alone): what it leaves to 'X' are the last places only.
    bool RangeIsExact() const;
    int Field() const { return field_; }

    using TextMatch = CellTextMatch;
    using Between = CellBetween;
    using DateTimes = CellDateTimes;
    using AllBits = CellAllBits;

private:
    int field_ = -1;
    std::variant<TextMatch, Between, DateTimes, AllBits> rule_;
};

// A cell as the form or a cases file gives it: the field of its row (-1 for a row that is no
// field's) and its text. An empty text is no condition.
struct QueryCell {
    int field = -1;
    std::string text;
};
// Why a cell of a case cannot be read.
struct CellProblem {
    int caseIndex = 0;
    size_t cell = 0;
    std::string why;
};

// The cases of a query: a record matches when it matches any case that has a condition, and it
// matches a case when it meets every condition of the case. Without any condition every record
// matches.
class CallQuery {
public:
    // Reads every cell; the problems list each cell that cannot be read (the query then holds
    // the cells that can).
    static CallQuery Read(const std::vector<std::vector<QueryCell>>& cases,
                          std::vector<CellProblem>& problems);

    bool Matches(const IndexRow& row) const;
    // Where the index needs to look for the matching rows.
    IndexFilter Filter() const;
    bool Empty() const { return cases_.empty(); }

private:
    std::vector<std::vector<CellCondition>> cases_;  // the cases with at least one condition
};

// A set of cases as a small text file: a line "[Case n]" before the cells of case n, then one
// line "field name=condition" for each cell with a condition.
std::string CasesText(const std::vector<std::vector<QueryCell>>& cases);
// Reads such a text; false, with the line and the reason in `why`, when a line is none of these
// (blank lines and lines starting with '#' are left out; a leading UTF-8 byte-order mark too).
bool ReadCasesText(const std::string& text, std::vector<std::vector<QueryCell>>& cases,
                   std::string& why);
// Reads a cases file: false with the reason when it is no regular file (a directory, a pipe),
// cannot be read or holds a line that cannot be read.
bool ReadCasesFile(const std::filesystem::path& path, std::vector<std::vector<QueryCell>>& cases,
                   std::string& why);

// The date-time condition of `--from` and `--to`: the start time from the beginning of `from` to
// the end of `to`, each a date "YYYY-MM-DD" (the whole day) or a date-time "YYYY-MM-DD hh:mm:ss"
// that exists; an empty one leaves its side open. nullopt with the reason when one cannot be read.
std::optional<CellCondition> StartBetween(const std::string& from, const std::string& to,
                                          std::string& why);

}  // namespace velk
