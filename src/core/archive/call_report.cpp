#include "core/archive/call_report.h"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <cstdio>
#include <map>

#include "core/decode/code_tables.h"
#include "core/decode/field_decoder.h"
#include "core/decode/field_names.h"

namespace velk {
namespace {

int64_t KnownSeconds(const IndexRow& row) {
    const auto* s = std::get_if<int64_t>(&row.Field(32));
    return s != nullptr && *s > 0 ? *s : 0;
}

std::string CallTypeName(const std::string& code) {
    if (code.empty() || code.find_first_not_of("0123456789") != std::string::npos)
        return code;
    return CodeText(9, std::stoll(code));
}

// Trunks by number, call types in the table's order, the rest by text.
void SortGroups(ReportBy by, std::vector<GroupTotals>& groups) {
    const auto key = [by](const GroupTotals& g) -> std::pair<int64_t, std::string> {
        if (by == ReportBy::Trunk && !g.group.empty() &&
            g.group.find_first_not_of("-0123456789") == std::string::npos)
            return {std::stoll(g.group), {}};
        if (by == ReportBy::CallType) {
            const auto* begin = kCallTypeNames.begin();
            const auto* found = std::find(begin, kCallTypeNames.end(), g.group);
            return {found - begin, g.group};
        }
        return {INT64_MAX, g.group};
    };
    std::sort(groups.begin(), groups.end(),
              [&](const GroupTotals& a, const GroupTotals& b) { return key(a) < key(b); });
}

std::string Csv(const std::string& t) {
    if (t.find_first_of(",\"\r\n") == std::string::npos)
        return t;
    std::string q = "\"";
    for (char c : t)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string Json(const std::string& t) {
    std::string q = "\"";
    for (unsigned char c : t) {
        switch (c) {
            case '"':
                q += "\\\"";
                break;
            case '\\':
                q += "\\\\";
                break;
            case '\n':
                q += "\\n";
                break;
            case '\r':
                q += "\\r";
                break;
            case '\t':
                q += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    // Record texts are 8-bit: every other byte as its Latin-1 character.
                    char u[8];
                    std::snprintf(u, sizeof u, "\\u%04x", c);
                    q += u;
                } else {
                    q += static_cast<char>(c);
                }
        }
    }
    return q + "\"";
}

// An aligned table: a header line, then the rows; the columns flagged right are right-aligned.
std::string Table(const std::vector<std::string>& header,
                  const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& right) {
    std::vector<size_t> width(header.size());
    for (size_t c = 0; c < header.size(); ++c)
        width[c] = header[c].size();
    for (const auto& r : rows) {
        for (size_t c = 0; c < r.size(); ++c)
            width[c] = std::max(width[c], r[c].size());
    }
    std::string out;
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string l;
        for (size_t c = 0; c < cells.size(); ++c) {
            const std::string pad(width[c] - cells[c].size(), ' ');
            l += (c > 0 ? "  " : "") + (right[c] ? pad + cells[c] : cells[c] + pad);
        }
        l.erase(l.find_last_not_of(' ') + 1);
        out += l + "\n";
    };
    line(header);
    for (const auto& r : rows)
        line(r);
    return out;
}

}  // namespace

CallsVisited EachCall(RecordIndex& index, const CallQuery& query,
                      const std::optional<CellCondition>& start,
                      const std::function<bool(const IndexRow&)>& visit) {
    CallsVisited visited;
    IndexFilter filter = query.Filter();
    if (start)
        filter.common = start->Ranges();
    filter.byStart = true;
    visited.ok = index.Select(filter, [&](const IndexRow& row) {
        if ((start && !start->Matches(row)) || !query.Matches(row))
            return true;
        ++visited.count;
        visited.totalSeconds += KnownSeconds(row);
        return visit(row);
    });
    if (!visited.ok)
        visited.error = index.ErrorText();
    return visited;
}

FoundCalls FindCalls(RecordIndex& index, const CallQuery& query,
                     const std::optional<CellCondition>& start, size_t limit) {
    FoundCalls found;
    // The calls come in start-time order: the first `limit` are the earliest.
    const CallsVisited visited = EachCall(index, query, start, [&](const IndexRow& row) {
        if (found.rows.size() < limit)
            found.rows.push_back(row);
        return true;
    });
    found.count = visited.count;
    found.totalSeconds = visited.totalSeconds;
    found.ok = visited.ok;
    found.error = visited.error;
    return found;
}

std::string GroupOf(const IndexRow& row, ReportBy by, int prefixDigits) {
    switch (by) {
        case ReportBy::Extension:
            return IndexValueText(row.Field(3));
        case ReportBy::Trunk:
            return IndexValueText(row.values[kTrunkColumn]);
        case ReportBy::CallType:
            return CallTypeName(IndexValueText(row.Field(9)));
        case ReportBy::DialledPrefix:
            return IndexValueText(row.Field(6)).substr(0, static_cast<size_t>(prefixDigits));
        case ReportBy::Hour: {
            const std::string t = IndexValueText(row.Field(4));
            return t.size() >= 13 ? t.substr(11, 2) : std::string();
        }
        case ReportBy::Day:
            return IndexValueText(row.Field(4)).substr(0, 10);
        case ReportBy::Site:
            return row.site;
    }
    return {};
}

std::optional<ReportBy> ReportByNamed(const std::string& name) {
    static const std::map<std::string, ReportBy> names = {
        {"extension", ReportBy::Extension},    {"trunk", ReportBy::Trunk},
        {"call-type", ReportBy::CallType},     {"dialled-prefix", ReportBy::DialledPrefix},
        {"hour", ReportBy::Hour},              {"day", ReportBy::Day},
        {"site", ReportBy::Site}};
    const auto it = names.find(name);
    if (it == names.end())
        return std::nullopt;
    return it->second;
}

std::optional<ReportFormat> ReportFormatNamed(const std::string& name) {
    if (name == "table")
        return ReportFormat::Table;
    if (name == "csv")
        return ReportFormat::Csv;
    if (name == "json")
        return ReportFormat::Json;
    return std::nullopt;
}

std::optional<std::vector<GroupTotals>> ReportTotals(RecordIndex& index, ReportBy by,
                                                     int prefixDigits, const CallQuery& query,
                                                     const std::optional<CellCondition>& start,
                                                     std::string& error) {
    std::vector<GroupTotals> groups;
    // The database counts by itself only what its range of start texts holds exactly.
    if (query.Empty() && (!start || start->RangeIsExact())) {
        // The database counts by itself; the start-time range is the condition's own.
        std::string from, to;
        if (start) {
            for (const IndexRange& r : start->Ranges()) {
                from = IndexValueText(r.low);
                to = IndexValueText(r.high);
            }
        }
        auto totals = index.Totals(by, prefixDigits, from, to);
        if (!totals) {
            error = index.ErrorText();
            return std::nullopt;
        }
        groups = std::move(*totals);
        if (by == ReportBy::CallType) {
            for (GroupTotals& g : groups)
                g.group = CallTypeName(g.group);
        }
    } else {
        std::map<std::string, GroupTotals> byGroup;
        IndexFilter filter = query.Filter();
        if (start)
            filter.common = start->Ranges();
        const bool ok = index.Select(filter, [&](const IndexRow& row) {
            if ((start && !start->Matches(row)) || !query.Matches(row))
                return true;
            const std::string name = GroupOf(row, by, prefixDigits);
            GroupTotals& g = byGroup[name];
            g.group = name;
            ++g.calls;
            g.answered += std::get_if<int64_t>(&row.values[kAnsweredColumn]) != nullptr
                              ? std::get<int64_t>(row.values[kAnsweredColumn])
                              : 0;
            g.totalSeconds += KnownSeconds(row);
            g.longestSeconds = std::max(g.longestSeconds, KnownSeconds(row));
            return true;
        });
        if (!ok) {
            error = index.ErrorText();
            return std::nullopt;
        }
        for (auto& [name, g] : byGroup)
            groups.push_back(std::move(g));
    }
    SortGroups(by, groups);
    return groups;
}

std::array<std::string, 50> CallTexts(const IndexRow& row, const AppSettings& settings) {
    const std::string frame = "\x02" + row.raw + "\x03";
    std::array<std::string, 50> texts;
    if (row.raw.size() < 2)
        return texts;
    // A row of another site is decoded for that site's system type.
    AppSettings own;
    const AppSettings* used = &settings;
    if (row.systemType >= 0 && row.systemType != settings.Server_Port_index) {
        own = settings;
        own.Server_Port_index = row.systemType;
        used = &own;
    }
    FieldDecoder decoder(*used);
    decoder.DecodeRecord(BillingMessage(reinterpret_cast<const uint8_t*>(frame.data()),
                                        static_cast<uint32_t>(row.raw.size() - 2)),
                         row.hexType, texts);
    return texts;
}

std::vector<int> ListedFields(const AppSettings& settings) {
    std::vector<int> fields;
    for (size_t k = 0; k < settings.f.size(); ++k) {
        const int field = settings.SaveInd[k];
        if (settings.f[k] == 1 && field >= 0 && field < 50 &&
            std::find(fields.begin(), fields.end(), field) == fields.end())
            fields.push_back(field);
    }
    if (fields.empty()) {
        for (int f = 0; f < 50; ++f)
            fields.push_back(f);
    }
    return fields;
}

std::string DurationText(int64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%03lld:%02lld:%02lld",
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

std::string FormatGroups(const std::vector<GroupTotals>& groups, ReportFormat format) {
    const std::vector<std::string> names = {"group",           "calls",          "answered",
                                            "total_seconds",   "average_seconds",
                                            "longest_seconds"};
    std::vector<std::vector<std::string>> rows;
    for (const GroupTotals& g : groups) {
        const int64_t average = g.calls > 0 ? (g.totalSeconds + g.calls / 2) / g.calls : 0;
        rows.push_back({g.group, std::to_string(g.calls), std::to_string(g.answered),
                        std::to_string(g.totalSeconds), std::to_string(average),
                        std::to_string(g.longestSeconds)});
    }
    std::string out;
    switch (format) {
        case ReportFormat::Table:
            return Table(names, rows, {false, true, true, true, true, true});
        case ReportFormat::Csv:
            out = "group,calls,answered,total_seconds,average_seconds,longest_seconds\n";
            for (const auto& r : rows)
                out += Csv(r[0]) + "," + r[1] + "," + r[2] + "," + r[3] + "," + r[4] + "," + r[5] +
                       "\n";
            return out;
        case ReportFormat::Json:
            out = "[";
            for (size_t i = 0; i < rows.size(); ++i) {
                out += (i > 0 ? ",\n " : "\n ") + std::string("{\"group\": ") + Json(rows[i][0]);
                for (size_t c = 1; c < names.size(); ++c)
                    out += ", \"" + names[c] + "\": " + rows[i][c];
                out += "}";
            }
            return out + (rows.empty() ? "]\n" : "\n]\n");
    }
    return out;
}

std::string FormatCalls(const std::vector<std::array<std::string, 50>>& calls,
                        const std::vector<int>& fields, ReportFormat format,
                        const std::vector<std::string>& sites) {
    // Calls from a database server of many sites begin with their site.
    const bool withSite = !sites.empty();
    const auto siteOf = [&](size_t i) { return i < sites.size() ? sites[i] : std::string(); };
    CallListWriter writer(fields, format, withSite);
    if (writer.NeedsMeasuring()) {
        for (size_t i = 0; i < calls.size(); ++i)
            writer.Measure(calls[i], siteOf(i));
    }
    std::string out = writer.Begin();
    for (size_t i = 0; i < calls.size(); ++i)
        out += writer.Call(calls[i], siteOf(i));
    return out + writer.End();
}

CallListWriter::CallListWriter(std::vector<int> fields, ReportFormat format, bool withSite)
    : fields_(std::move(fields)), format_(format), withSite_(withSite) {
    if (withSite_)
        header_.emplace_back("Site");
    for (int f : fields_)
        header_.emplace_back(kFieldNames[static_cast<size_t>(f)]);
    for (const std::string& h : header_)
        width_.push_back(h.size());
}

std::vector<std::string> CallListWriter::Cells(const std::array<std::string, 50>& texts,
                                               const std::string& site) const {
    std::vector<std::string> cells;
    if (withSite_)
        cells.push_back(site);
    for (int f : fields_)
        cells.push_back(texts[static_cast<size_t>(f)]);
    return cells;
}

void CallListWriter::Measure(const std::array<std::string, 50>& texts, const std::string& site) {
    const std::vector<std::string> cells = Cells(texts, site);
    for (size_t c = 0; c < cells.size(); ++c)
        width_[c] = std::max(width_[c], cells[c].size());
}

std::string CallListWriter::Line(const std::vector<std::string>& cells) const {
    std::string l;
    switch (format_) {
        case ReportFormat::Table:
            for (size_t c = 0; c < cells.size(); ++c) {
                // A call longer than measured (one added meanwhile) only pushes its line on.
                const size_t pad = width_[c] > cells[c].size() ? width_[c] - cells[c].size() : 0;
                l += (c > 0 ? "  " : "") + cells[c] + std::string(pad, ' ');
            }
            l.erase(l.find_last_not_of(' ') + 1);
            return l + "\n";
        case ReportFormat::Csv:
            for (size_t c = 0; c < cells.size(); ++c)
                l += (c > 0 ? "," : "") + Csv(cells[c]);
            return l + "\n";
        case ReportFormat::Json:
            l = written_ > 0 ? ",\n {" : "\n {";
            for (size_t c = 0; c < cells.size(); ++c)
                l += (c > 0 ? ", " : "") + Json(header_[c]) + ": " + Json(cells[c]);
            return l + "}";
    }
    return l;
}

std::string CallListWriter::Begin() {
    written_ = 0;
    return format_ == ReportFormat::Json ? "[" : Line(header_);
}

std::string CallListWriter::Call(const std::array<std::string, 50>& texts,
                                 const std::string& site) {
    std::string line = Line(Cells(texts, site));
    ++written_;
    return line;
}

std::string CallListWriter::End() {
    if (format_ != ReportFormat::Json)
        return {};
    return written_ == 0 ? "]\n" : "\n]\n";
}

}  // namespace velk
