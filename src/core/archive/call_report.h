#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/call_query.h"
#include "core/foundation/app_settings.h"
#include "core/archive/record_index.h"

namespace velk {

// The calls a query finds in the index: the first `limit` rows in start-time order, and the
// count and summed duration (field 32, known durations of 0 s and more) of all of them.
struct FoundCalls {
    std::vector<IndexRow> rows;
    int64_t count = 0;
    int64_t totalSeconds = 0;
    bool ok = true;
    std::string error;
};
FoundCalls FindCalls(RecordIndex& index, const CallQuery& query,
                     const std::optional<CellCondition>& start, size_t limit);

// The calls a query finds, handed to `visit` one by one in start-time order (ties by id) as the
// index reads them, until visit returns false: memory stays the same whatever their number.
// The count and summed duration (as FindCalls counts them) of the calls visited.
struct CallsVisited {
    int64_t count = 0;
    int64_t totalSeconds = 0;
    bool ok = true;
    std::string error;
};
CallsVisited EachCall(RecordIndex& index, const CallQuery& query,
                      const std::optional<CellCondition>& start,
                      const std::function<bool(const IndexRow&)>& visit);

// The group of a call in a report; call types by their text.
std::string GroupOf(const IndexRow& row, ReportBy by, int prefixDigits);
// "extension", "trunk", "call-type", "dialled-prefix", "hour", "day", "site".
std::optional<ReportBy> ReportByNamed(const std::string& name);

// The figures per group over the calls the query and the start-time condition take, in the
// group's order (trunks and call types by number, the others by text). Without cases the index
// counts them itself.
std::optional<std::vector<GroupTotals>> ReportTotals(RecordIndex& index, ReportBy by,
                                                     int prefixDigits, const CallQuery& query,
                                                     const std::optional<CellCondition>& start,
                                                     std::string& error);

// The 50 field texts of an indexed call, decoded again from its message as the decoded files
// have them.
std::array<std::string, 50> CallTexts(const IndexRow& row, const AppSettings& settings);

// The columns of a calls list: the decoded file's written columns (fields only, each once), or
// every field when the decoded file has none.
std::vector<int> ListedFields(const AppSettings& settings);

enum class ReportFormat { Table, Csv, Json };
std::optional<ReportFormat> ReportFormatNamed(const std::string& name);

// "hhh:mm:ss" of a number of seconds.
std::string DurationText(int64_t seconds);

// Reports as text. Groups: group, calls, answered, total_seconds, average_seconds (rounded),
// longest_seconds. Calls: one line or object per call with the field names of the columns.
std::string FormatGroups(const std::vector<GroupTotals>& groups, ReportFormat format);
// With sites (one per call, from a database server of many sites), a first column "Site".
std::string FormatCalls(const std::vector<std::array<std::string, 50>>& calls,
                        const std::vector<int>& fields, ReportFormat format,
                        const std::vector<std::string>& sites = {});

// The same list written call by call, so that a list of any length needs no more memory than
// one call: Begin, then Call for each, then End, each giving the text to write next. An aligned
// table needs the widths of its columns first: Measure every call (in the same order) before
// Begin; CSV and JSON need nothing measured.
class CallListWriter {
public:
    CallListWriter(std::vector<int> fields, ReportFormat format, bool withSite);
    bool NeedsMeasuring() const { return format_ == ReportFormat::Table; }
    void Measure(const std::array<std::string, 50>& texts, const std::string& site = {});
    std::string Begin();
    std::string Call(const std::array<std::string, 50>& texts, const std::string& site = {});
    std::string End();

private:
    std::vector<std::string> Cells(const std::array<std::string, 50>& texts,
                                   const std::string& site) const;
    std::string Line(const std::vector<std::string>& cells) const;

    std::vector<int> fields_;
    ReportFormat format_;
    bool withSite_;
    std::vector<std::string> header_;
    std::vector<size_t> width_;
    int64_t written_ = 0;
};

}  // namespace velk
