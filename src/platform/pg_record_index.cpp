#include "platform/pg_record_index.h"

#include <cstdio>
#include <cstdlib>

namespace velk {
namespace {

std::string Column(int c) {
    return "\"" + IndexColumnName(c) + "\"";
}

// The values of a statement's parameters, numbered from $1.
class Parameters {
public:
    explicit Parameters(std::vector<std::string>& values) : values_(values) {}
    std::string Add(const std::string& value) {
        values_.push_back(value);
        return "$" + std::to_string(values_.size());
    }

private:
    std::vector<std::string>& values_;
};

std::vector<const char*> Pointers(const std::vector<std::string>& values) {
    std::vector<const char*> p;
    for (const std::string& v : values)
        p.push_back(v.c_str());
    return p;
}

bool Digits(const std::string& t, size_t at, size_t n, int& value) {
    if (t.size() < at + n)
        return false;
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (t[i] < '0' || t[i] > '9')
            return false;
        value = value * 10 + (t[i] - '0');
    }
    return true;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The first day of the year, month or day that a start text begins with, as far as it names a
// real one, and the first day after it; false when not even its year is one.
bool DaysOf(const std::string& text, std::string& first, std::string& after) {
    int year = 0, month = 0, day = 0;
    if (!Digits(text, 0, 4, year) || year < 1 || year > 9998)
        return false;
    char buffer[2][48];
    const bool hasMonth =
        text.size() > 4 && text[4] == '-' && Digits(text, 5, 2, month) && month >= 1 && month <= 12;
    const bool hasDay = hasMonth && text.size() > 7 && text[7] == '-' && Digits(text, 8, 2, day) &&
                        day >= 1 && day <= DaysInMonth(year, month);
    if (hasDay) {
        std::snprintf(buffer[0], sizeof buffer[0], "%04d-%02d-%02d", year, month, day);
        if (day < DaysInMonth(year, month))
            std::snprintf(buffer[1], sizeof buffer[1], "%04d-%02d-%02d", year, month, day + 1);
        else if (month < 12)
            std::snprintf(buffer[1], sizeof buffer[1], "%04d-%02d-01", year, month + 1);
        else
            std::snprintf(buffer[1], sizeof buffer[1], "%04d-01-01", year + 1);
    } else if (hasMonth) {
        std::snprintf(buffer[0], sizeof buffer[0], "%04d-%02d-01", year, month);
        if (month < 12)
            std::snprintf(buffer[1], sizeof buffer[1], "%04d-%02d-01", year, month + 1);
        else
            std::snprintf(buffer[1], sizeof buffer[1], "%04d-01-01", year + 1);
    } else {
        std::snprintf(buffer[0], sizeof buffer[0], "%04d-01-01", year);
        std::snprintf(buffer[1], sizeof buffer[1], "%04d-01-01", year + 1);
    }
    first = buffer[0];
    after = buffer[1];
    return true;
}

// The calls are partitioned by the timestamp of their start, a start text that is no real time
// filed under 1970-01-01 00:00:00. A range of start texts holds real starts from the first day
// its low end names (as far as it names a real one) to the day after the day its high end names:
// giving the server that range as well lets it read only those months' partitions (and 1970's).
std::string StartedSql(const IndexValue& low, const IndexValue& high, Parameters& p) {
    std::string first, after, terms;
    const auto* l = std::get_if<std::string>(&low);
    const auto* h = std::get_if<std::string>(&high);
    if (l != nullptr && DaysOf(*l, first, after))
        terms = "started >= " + p.Add(first) + "::timestamp";
    if (h != nullptr && DaysOf(*h, first, after))
        terms += (terms.empty() ? "" : " AND ") + std::string("started < ") + p.Add(after) +
                 "::timestamp";
    if (terms.empty())
        return {};
    return " AND (" + terms + " OR started = " + p.Add(kServerNoTimestamp) + "::timestamp)";
}

// One range as SQL. Numbers and texts are never compared: a range of the other kind than its
// column takes no row. Texts compare byte by byte (the server's collation could order them
// otherwise), as the record index does.
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
        if (number)
            terms += column + op + p.Add(IndexValueText(v)) + "::bigint";
        else
            terms += column + (std::string(op) == " = " ? "" : " COLLATE \"C\"") + op +
                     p.Add(ServerText(IndexValueText(v))) + "::text";
        return true;
    };
    const bool same = r.low == r.high && !std::holds_alternative<std::monostate>(r.low);
    if (same ? !term(" = ", r.low) : !term(" >= ", r.low) || !term(" <= ", r.high))
        return "FALSE";
    if (terms.empty())
        return column + " IS NOT NULL";
    return r.column == 4 ? "(" + terms + StartedSql(r.low, r.high, p) + ")" : terms;
}

std::string Hex(const std::string& bytea) {
    // bytea as text: \x and two hexadecimal digits a byte.
    std::string out;
    for (size_t i = 2; i + 1 < bytea.size(); i += 2)
        out += static_cast<char>(std::strtol(bytea.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

}  // namespace

PgStatement PgSelectStatement(const IndexFilter& filter, const std::string& site) {
    PgStatement s;
    Parameters p(s.parameters);
    std::string where = " WHERE TRUE";
    if (!site.empty())
        where += " AND site = " + p.Add(site);
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
    s.sql = "SELECT local_id, occurrence" + columns +
            ", raw, hex_type, source, extract(epoch FROM stored_at)::bigint, site, "
            "system_type FROM velk_calls" +
            where;
    if (filter.byStart)
        s.sql += " ORDER BY " + Column(4) + " COLLATE \"C\" NULLS FIRST, local_id, site";
    return s;
}

PgStatement PgTotalsStatement(ReportBy by, int prefixDigits, const std::string& site,
                              const std::string& from, const std::string& to) {
    PgStatement s;
    Parameters p(s.parameters);
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
    if (!site.empty())
        where += " AND site = " + p.Add(site);
    if (!from.empty() || !to.empty()) {
        IndexRange range{4, {}, {}};
        if (!from.empty())
            range.low = from;
        if (!to.empty())
            range.high = to;
        where += " AND " + RangeSql(range, p);
    }
    const std::string known = "CASE WHEN " + Column(32) + " > 0 THEN " + Column(32) + " ELSE 0 END";
    s.sql = "SELECT coalesce(" + group + ", ''), count(*), sum(answered), sum(" + known +
            "), max(" + known + ") FROM velk_calls" + where + " GROUP BY 1";
    return s;
}

bool PgRecordIndex::Add(std::vector<IndexRow>&, bool) {
    return db_.Fail(ServerFault::Refused,
                    "the database server takes rows from the collectors only");
}

bool PgRecordIndex::Select(const IndexFilter& filter,
                           const std::function<bool(const IndexRow&)>& visit) {
    if (!db_.Open(false))
        return false;
    const PgStatement statement = PgSelectStatement(filter, site_);
    IndexRow row;
    return db_.Each(
        statement.sql, Pointers(statement.parameters),
        [&](const PgDatabase::Result& r) {
            row.id = r.Number(0, 0);
            row.occurrence = r.Number(0, 1);
            for (int c = 0; c < kIndexColumns; ++c) {
                IndexValue& v = row.values[static_cast<size_t>(c)];
                if (r.Null(0, 2 + c))
                    v = std::monostate{};
                else if (IndexColumnIsNumber(c))
                    v = r.Number(0, 2 + c);
                else
                    v = RecordText(r.Text(0, 2 + c));
            }
            const int at = 2 + kIndexColumns;
            row.raw = Hex(r.Text(0, at));
            row.hexType = static_cast<int32_t>(r.Number(0, at + 1));
            row.source = static_cast<RecordSource>(r.Number(0, at + 2));
            row.storedAt = r.Number(0, at + 3);
            row.site = r.Text(0, at + 4);
            row.systemType = static_cast<int32_t>(r.Number(0, at + 5));
            return visit(row);
        },
        "cannot search the calls");
}

std::optional<std::vector<GroupTotals>> PgRecordIndex::Totals(ReportBy by, int prefixDigits,
                                                              const std::string& from,
                                                              const std::string& to) {
    if (!db_.Open(false))
        return std::nullopt;
    const PgStatement statement = PgTotalsStatement(by, prefixDigits, site_, from, to);
    PgDatabase::Result r;
    if (!db_.Run(statement.sql, Pointers(statement.parameters), &r, "cannot count the calls"))
        return std::nullopt;
    std::vector<GroupTotals> totals;
    for (int i = 0; i < r.Rows(); ++i) {
        GroupTotals t;
        // Sites are the operators' names; the other groups are parts of record texts.
        t.group = by == ReportBy::Site ? r.Text(i, 0) : RecordText(r.Text(i, 0));
        t.calls = r.Number(i, 1);
        t.answered = r.Number(i, 2);
        t.totalSeconds = r.Number(i, 3);
        t.longestSeconds = r.Number(i, 4);
        totals.push_back(std::move(t));
    }
    return totals;
}

}  // namespace velk
