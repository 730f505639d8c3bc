#include "platform/pg_record_index.h"

#include <cstdlib>

namespace velk {
namespace {

std::string Column(int c) {
    return "\"" + IndexColumnName(c) + "\"";
}

// The values of a statement's parameters, numbered from $1.
class Parameters {
public:
    std::string Add(const std::string& value) {
        values_.push_back(value);
        return "$" + std::to_string(values_.size());
    }
    std::vector<const char*> Pointers() const {
        std::vector<const char*> p;
        for (const std::string& v : values_)
            p.push_back(v.c_str());
        return p;
    }

private:
    std::vector<std::string> values_;
};

// One range as SQL. Numbers and texts are never compared: a range of the other kind than its
// column takes no row.
std::string RangeSql(const IndexRange& r, Parameters& p) {
    const bool number = IndexColumnIsNumber(r.column);
    const std::string column = Column(r.column);
    std::string terms;
    const auto term = [&](const char* op, const IndexValue& v) {
        if (std::holds_alternative<std::monostate>(v))
            return true;
        if (std::holds_alternative<int64_t>(v) != number)
            return false;
        if (!terms.empty())
            terms += " AND ";
        terms += column + op + p.Add(IndexValueText(v)) + (number ? "::bigint" : "::text");
        return true;
    };
    const bool same = r.low == r.high && !std::holds_alternative<std::monostate>(r.low);
    if (same ? !term(" = ", r.low) : !term(" >= ", r.low) || !term(" <= ", r.high))
        return "FALSE";
    return terms.empty() ? column + " IS NOT NULL" : terms;
}

std::string Hex(const std::string& bytea) {
    // bytea as text: \x and two hexadecimal digits a byte.
    std::string out;
    for (size_t i = 2; i + 1 < bytea.size(); i += 2)
        out += static_cast<char>(std::strtol(bytea.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

}  // namespace

bool PgRecordIndex::Add(std::vector<IndexRow>&, bool) {
    return db_.Fail(ServerFault::Refused, "the database server takes rows from the collectors only");
}

bool PgRecordIndex::Select(const IndexFilter& filter,
                           const std::function<bool(const IndexRow&)>& visit) {
    if (!db_.Open(false))
        return false;
    Parameters p;
    std::string where = " WHERE TRUE";
    if (!site_.empty())
        where += " AND site = " + p.Add(site_);
    for (const IndexRange& r : filter.common)
        where += " AND " + RangeSql(r, p);
    std::string alternatives;
    bool all = filter.alternatives.empty();
    for (const auto& alternative : filter.alternatives) {
        all = all || alternative.empty();
        alternatives += alternatives.empty() ? "(TRUE" : " OR (TRUE";
        for (const IndexRange& r : alternative)
            alternatives += " AND " + RangeSql(r, p);
        alternatives += ")";
    }
    if (!all)
        where += " AND (" + alternatives + ")";
    std::string columns;
    for (int c = 0; c < kIndexColumns; ++c)
        columns += ", " + Column(c);
    const std::string sql = "SELECT local_id, occurrence" + columns +
                            ", raw, hex_type, source, extract(epoch FROM stored_at)::bigint, site, "
                            "system_type FROM velk_calls" + where;
    IndexRow row;
    return db_.Each(sql, p.Pointers(), [&](const PgDatabase::Result& r) {
        row.id = r.Number(0, 0);
        row.occurrence = r.Number(0, 1);
        for (int c = 0; c < kIndexColumns; ++c) {
            IndexValue& v = row.values[static_cast<size_t>(c)];
            if (r.Null(0, 2 + c))
                v = std::monostate{};
            else if (IndexColumnIsNumber(c))
                v = r.Number(0, 2 + c);
            else
                v = r.Text(0, 2 + c);
        }
        const int at = 2 + kIndexColumns;
        row.raw = Hex(r.Text(0, at));
        row.hexType = static_cast<int32_t>(r.Number(0, at + 1));
        row.source = static_cast<RecordSource>(r.Number(0, at + 2));
        row.storedAt = r.Number(0, at + 3);
        row.site = r.Text(0, at + 4);
        row.systemType = static_cast<int32_t>(r.Number(0, at + 5));
        return visit(row);
    }, "cannot search the calls");
}

std::optional<std::vector<GroupTotals>> PgRecordIndex::Totals(ReportBy by, int prefixDigits,
                                                              const std::string& from,
                                                              const std::string& to) {
    if (!db_.Open(false))
        return std::nullopt;
    Parameters p;
    const std::string start = Column(4);
    std::string group;
    switch (by) {
        case ReportBy::Extension:
            group = Column(3);
            break;
        case ReportBy::Trunk:
            group = "trunk::text";
            break;
        case ReportBy::CallType:
            group = Column(9) + "::text";
            break;
        case ReportBy::DialledPrefix:
            group = "substr(" + Column(6) + ", 1, " + p.Add(std::to_string(prefixDigits)) + "::int)";
            break;
        case ReportBy::Hour:
            group = "substr(" + start + ", 12, 2)";
            break;
        case ReportBy::Day:
            group = "substr(" + start + ", 1, 10)";
            break;
        case ReportBy::Site:
            group = "site";
            break;
    }
    std::string where = " WHERE TRUE";
    if (!site_.empty())
        where += " AND site = " + p.Add(site_);
    if (!from.empty())
        where += " AND " + start + " >= " + p.Add(from);
    if (!to.empty())
        where += " AND " + start + " <= " + p.Add(to);
    const std::string known = "CASE WHEN " + Column(32) + " > 0 THEN " + Column(32) + " ELSE 0 END";
    PgDatabase::Result r;
    if (!db_.Run("SELECT coalesce(" + group + ", ''), count(*), sum(answered), sum(" + known +
                     "), max(" + known + ") FROM velk_calls" + where + " GROUP BY 1",
                 p.Pointers(), &r, "cannot count the calls"))
        return std::nullopt;
    std::vector<GroupTotals> totals;
    for (int i = 0; i < r.Rows(); ++i) {
        GroupTotals t;
        t.group = r.Text(i, 0);
        t.calls = r.Number(i, 1);
        t.answered = r.Number(i, 2);
        t.totalSeconds = r.Number(i, 3);
        t.longestSeconds = r.Number(i, 4);
        totals.push_back(std::move(t));
    }
    return totals;
}

}  // namespace velk
