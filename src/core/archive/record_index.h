#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/index_row.h"

namespace velk {

// A range of one index column, both ends included; an absent end leaves that side open. Numbers
// and texts are never compared with each other: a range of numbers finds no text.
struct IndexRange {
    int column = 0;
    IndexValue low, high;
};

// Which rows a search reads: the rows in any of the alternatives, an alternative being the rows
// inside all of its ranges. An alternative without ranges takes every row; so does a filter
// without alternatives. Searches check every row they read again, so a filter only needs to
// take in every row that can match.
struct IndexFilter {
    std::vector<std::vector<IndexRange>> alternatives;
    // Every alternative also has these.
    std::vector<IndexRange> common;
    // The rows in the order of their start time (those without one first, then byte by byte),
    // rows of the same start by id; otherwise by id.
    bool byStart = false;
};

// What the reports count by (a site: the database server of many sites).
enum class ReportBy { Extension, Trunk, CallType, DialledPrefix, Hour, Day, Site };

// The figures of one group of calls.
struct GroupTotals {
    std::string group;
    int64_t calls = 0;
    int64_t answered = 0;
    int64_t totalSeconds = 0;    // durations of 0 s and more (an unknown or negative one adds 0)
    int64_t longestSeconds = 0;  // the longest of them
    bool operator==(const GroupTotals&) const = default;
};

// The database beside the record files that finds stored calls. It is secondary: the record
// files are the record, the index can always be built again from the raw files.
class RecordIndex {
public:
    virtual ~RecordIndex() = default;
    // Adds the rows in one transaction and gives each its id and occurrence (how many identical
    // records are already there). With onlyMissing, a row whose record is already there (a
    // rebuild put it in meanwhile) is left out. False when nothing could be added; ErrorText
    // says why.
    virtual bool Add(std::vector<IndexRow>& rows, bool onlyMissing = false) = 0;
    // Visits the rows the filter takes, in its order, until visit returns false; rows are
    // handed over one by one, never gathered. False when the index cannot be read.
    virtual bool Select(const IndexFilter& filter,
                        const std::function<bool(const IndexRow&)>& visit) = 0;
    // The figures per group over every row with a start time in [from, to] (open when empty),
    // counted by the database itself; nullopt when it cannot. A group of call types is its code
    // as decimal text.
    virtual std::optional<std::vector<GroupTotals>> Totals(ReportBy by, int prefixDigits,
                                                           const std::string& from,
                                                           const std::string& to) = 0;
    virtual std::string ErrorText() const = 0;
};

}  // namespace velk
