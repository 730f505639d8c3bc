#include "core/archive/call_query.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "core/decode/code_tables.h"
#include "core/decode/field_names.h"
#include "core/foundation/hex_digits.h"
#include "core/foundation/regular_file.h"

namespace velk {
namespace {

constexpr const char* kDateTimeShape = "0000-00-00 00:00:00";
constexpr size_t kDateTimeLength = 19;

std::string Trimmed(const std::string& t) {
    const size_t b = t.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    return t.substr(b, t.find_last_not_of(' ') - b + 1);
}

// A number as typed: a leading '+' is allowed too.
bool Number(const std::string& t, int64_t& value) {
    return ReadInteger(!t.empty() && t[0] == '+' ? t.substr(1) : t, value);
}

// n, ">n", "<n" or "a~b" with `one` reading each end; false when the text is none of them.
template <typename ReadOne>
bool Range(const std::string& text, ReadOne&& one, CellCondition::Between& out, std::string& why) {
    const std::string t = Trimmed(text);
    int64_t a = 0, b = 0;
    if (!t.empty() && (t[0] == '>' || t[0] == '<')) {
        if (!one(Trimmed(t.substr(1)), a))
            return false;
        if (t[0] == '>')
            out.low = a + 1;
        else
            out.high = a - 1;
        return true;
    }
    const size_t tilde = t.find('~');
    if (tilde == std::string::npos) {
        if (!one(t, a))
            return false;
        out.low = out.high = a;
        return true;
    }
    if (!one(Trimmed(t.substr(0, tilde)), a) || !one(Trimmed(t.substr(tilde + 1)), b))
        return false;
    if (a > b) {
        why = "the range ends before it begins";
        return false;
    }
    out.low = a;
    out.high = b;
    return true;
}

// A duration "h.m.s" (groups digits, ':' also parts them): 3 groups for field 32, 4 (days
// first) for field 48.
bool Duration(int field, const std::string& t, int64_t& seconds) {
    std::vector<int64_t> groups;
    std::vector<size_t> widths;
    std::string digits;
    for (size_t i = 0; i <= t.size(); ++i) {
        if (i == t.size() || t[i] == '.' || t[i] == ':') {
            int64_t v = 0;
            if (digits.empty() || digits.size() > 9 || !Number(digits, v) || digits[0] == '-' ||
                digits[0] == '+')
                return false;
            groups.push_back(v);
            widths.push_back(digits.size());
            digits.clear();
        } else {
            digits += t[i];
        }
    }
    const size_t want = field == 48 ? 4 : 3;
    if (groups.size() != want)
        return false;
    const size_t n = groups.size();
    if (widths[n - 1] > 2 || widths[n - 2] > 2 || groups[n - 1] > 59 || groups[n - 2] > 59)
        return false;
    if (field == 48 && (widths[1] > 2 || groups[1] > 23))
        return false;
    seconds = field == 48 ? ((groups[0] * 24 + groups[1]) * 60 + groups[2]) * 60 + groups[3]
                          : (groups[0] * 60 + groups[1]) * 60 + groups[2];
    return true;
}

// A date-time pattern, 'X' for any character, cut short for "any" after it: 19 characters.
bool DateTimePattern(const std::string& text, std::string& pattern) {
    if (text.empty() || text.size() > kDateTimeLength)
        return false;
    pattern.clear();
    for (size_t i = 0; i < kDateTimeLength; ++i) {
        const char shape = kDateTimeShape[i];
        if (i >= text.size()) {
            pattern += shape == '0' ? 'X' : shape;
            continue;
        }
        const char c = text[i];
        if (shape == '0' && (c == 'X' || c == 'x'))
            pattern += 'X';
        else if (shape == '0' ? (c >= '0' && c <= '9') : c == shape)
            pattern += c;
        else
            return false;
    }
    return true;
}

// The value of the digits at [at, at + n) of a pattern; -1 when one of them is left to 'X'.
int PatternNumber(const std::string& pattern, size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (pattern[i] == 'X')
            return -1;
        v = v * 10 + (pattern[i] - '0');
    }
    return v;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Whether the parts of a pattern given in full can be: a month 01 to 12, a day that the month
// has (any month has up to 31), hours to 23, minutes and seconds to 59.
bool PossibleDateTime(const std::string& pattern) {
    const int year = PatternNumber(pattern, 0, 4), month = PatternNumber(pattern, 5, 2),
              day = PatternNumber(pattern, 8, 2), hour = PatternNumber(pattern, 11, 2),
              minute = PatternNumber(pattern, 14, 2), second = PatternNumber(pattern, 17, 2);
    if (month == 0 || month > 12 || day == 0 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return false;
    if (month > 0 && day > 0)
        return day <= (year >= 0    ? DaysInMonth(year, month)
                       : month == 2 ? 29
                                    : DaysInMonth(1, month));
    return true;
}

// The places of a date-time that a condition compares: those no end leaves to 'X'.
std::string Kept(const std::string& t, const std::string& free) {
    std::string k;
    for (size_t i = 0; i < kDateTimeLength; ++i) {
        if (free[i] != 'X')
            k += t[i];
    }
    return k;
}

const char* KindHelp(QueryKind kind) {
    switch (kind) {
        case QueryKind::Number:
        case QueryKind::Sequence:
            return "write a number n, >n, <n or a~b";
        case QueryKind::DateTime:
            return "write a date-time YYYY-MM-DD hh:mm:ss ('X' for any digit, may be cut short), "
                   "or two joined by '~'";
        case QueryKind::Duration:
            return "write a duration hhh.mm.ss, >hhh.mm.ss, <hhh.mm.ss or a range joined by '~'";
        case QueryKind::CallDuration:
            return "write a duration ddd.hh.mm.ss, >ddd.hh.mm.ss, <ddd.hh.mm.ss or a range joined "
                   "by '~'";
        case QueryKind::BillingMask:
            return "write the billing-method bits as hexadecimal, 0 to ff";
        default:
            return "";
    }
}

}  // namespace

std::optional<CellCondition> CellCondition::Read(int field, const std::string& text,
                                                 std::string& why) {
    why.clear();
    CellCondition c;
    c.field_ = field;
    const QueryKind kind = QueryKindOf(field);
    switch (kind) {
        case QueryKind::None:
            why = "this column holds no field of the call records";
            return std::nullopt;
        case QueryKind::Text: {
            TextMatch m;
            size_t from = 0;
            for (size_t q = text.find('?'); q != std::string::npos; q = text.find('?', from)) {
                m.pieces.push_back(text.substr(from, q - from));
                from = q + 1;
            }
            m.pieces.push_back(text.substr(from));
            m.atStart = text.empty() || text[0] != '?';
            m.atEnd = text.empty() || text.back() != '?';
            c.rule_ = std::move(m);
            return c;
        }
        case QueryKind::Coded: {
            const std::vector<std::string> choices = QueryCodeChoices(field);
            for (size_t code = 0; code < choices.size(); ++code) {
                if (choices[code] == text) {
                    c.rule_ = Between{static_cast<int64_t>(code), static_cast<int64_t>(code)};
                    return c;
                }
            }
            why = "not one of the texts of \"" + std::string(kFieldNames[static_cast<size_t>(field)]) +
                  "\"";
            return std::nullopt;
        }
        case QueryKind::Number:
        case QueryKind::Sequence:
        case QueryKind::Duration:
        case QueryKind::CallDuration: {
            Between b;
            const bool isDuration = kind == QueryKind::Duration || kind == QueryKind::CallDuration;
            const auto one = [&](const std::string& t, int64_t& v) {
                return isDuration ? Duration(field, t, v) : Number(t, v);
            };
            if (!Range(text, one, b, why)) {
                if (why.empty())
                    why = KindHelp(kind);
                return std::nullopt;
            }
            c.rule_ = b;
            return c;
        }
        case QueryKind::DateTime: {
            const std::string t = Trimmed(text);
            const size_t tilde = t.find('~');
            DateTimes d;
            std::string a, b;
            const bool read = tilde == std::string::npos
                                  ? DateTimePattern(t, a) && DateTimePattern(t, b)
                                  : DateTimePattern(Trimmed(t.substr(0, tilde)), a) &&
                                        DateTimePattern(Trimmed(t.substr(tilde + 1)), b);
            if (!read) {
                why = KindHelp(kind);
                return std::nullopt;
            }
            if (!PossibleDateTime(a) || !PossibleDateTime(b)) {
                why = "there is no such date or time";
                return std::nullopt;
            }
            d.free.assign(kDateTimeLength, ' ');
            for (size_t i = 0; i < kDateTimeLength; ++i) {
                if (a[i] == 'X' && b[i] == 'X') {
                    d.free[i] = 'X';
                } else {
                    if (a[i] == 'X')
                        a[i] = '\x00';
                    if (b[i] == 'X')
                        b[i] = '\xff';
                }
            }
            if (Kept(a, d.free) > Kept(b, d.free)) {
                why = "the range ends before it begins";
                return std::nullopt;
            }
            d.low = std::move(a);
            d.high = std::move(b);
            c.rule_ = std::move(d);
            return c;
        }
        case QueryKind::BillingMask: {
            const std::string t = Trimmed(text);
            uint32_t mask = 0;
            bool ok = !t.empty() && t.size() <= 8;
            for (char ch : t) {
                ok = ok && std::isxdigit(static_cast<unsigned char>(ch));
                mask = mask * 16 + DigitValue(static_cast<uint8_t>(ch));
            }
            if (!ok || mask > 0xFF) {
                why = KindHelp(kind);
                return std::nullopt;
            }
            c.rule_ = AllBits{mask};
            return c;
        }
    }
    return std::nullopt;
}

bool CellCondition::Matches(const IndexRow& row) const {
    const IndexValue& v = row.Field(field_);
    if (const auto* m = std::get_if<TextMatch>(&rule_)) {
        const std::string t = IndexValueText(v);
        // The first piece at the start, the last at the end, the others in order between.
        const std::string& first = m->pieces.front();
        const std::string& last = m->pieces.back();
        if (m->pieces.size() == 1)
            return t == first;
        if (t.size() < first.size() + last.size() || t.compare(0, first.size(), first) != 0 ||
            t.compare(t.size() - last.size(), last.size(), last) != 0)
            return false;
        size_t at = first.size();
        const size_t end = t.size() - last.size();
        for (size_t i = 1; i + 1 < m->pieces.size(); ++i) {
            const size_t found = t.find(m->pieces[i], at);
            if (found == std::string::npos || found + m->pieces[i].size() > end)
                return false;
            at = found + m->pieces[i].size();
        }
        return true;
    }
    if (const auto* b = std::get_if<Between>(&rule_)) {
        const auto* n = std::get_if<int64_t>(&v);
        return n != nullptr && (!b->low || *n >= *b->low) && (!b->high || *n <= *b->high);
    }
    if (const auto* d = std::get_if<DateTimes>(&rule_)) {
        const auto* t = std::get_if<std::string>(&v);
        if (t == nullptr || t->size() != kDateTimeLength)
            return false;
        const std::string k = Kept(*t, d->free);
        return k >= Kept(d->low, d->free) && k <= Kept(d->high, d->free);
    }
    const uint32_t mask = std::get<AllBits>(rule_).mask;
    uint32_t bits = 0;
    for (char ch : IndexValueText(v))
        bits = bits * 16 + DigitValue(static_cast<uint8_t>(ch));
    return (bits & mask) == mask;
}

std::vector<IndexRange> CellCondition::Ranges() const {
    if (const auto* m = std::get_if<TextMatch>(&rule_)) {
        if (!m->atStart || m->pieces.front().empty())
            return {};
        const std::string& first = m->pieces.front();
        if (m->pieces.size() == 1)
            return {{field_, first, first}};
        // Every text that begins with `first` lies below the next text of its length.
        std::string next = first;
        while (!next.empty() && static_cast<unsigned char>(next.back()) == 0xFF)
            next.pop_back();
        if (next.empty())
            return {{field_, first, {}}};
        next.back() = static_cast<char>(static_cast<unsigned char>(next.back()) + 1);
        return {{field_, first, next}};
    }
    if (const auto* b = std::get_if<Between>(&rule_)) {
        IndexRange r{field_, {}, {}};
        if (b->low)
            r.low = *b->low;
        if (b->high)
            r.high = *b->high;
        return {r};
    }
    if (const auto* d = std::get_if<DateTimes>(&rule_)) {
        // A place not compared takes any character: the lowest (0x00) in the low end, the
        // highest in the high end. The low end stops before its first 0x00, which no database
        // compares reliably inside a text. Between them lies every text that matches.
        std::string low = d->low, high = d->high;
        for (size_t i = 0; i < kDateTimeLength; ++i) {
            if (d->free[i] == 'X') {
                low[i] = '\x00';
                high[i] = '\xff';
            }
        }
        low.resize(std::min(low.find('\x00'), low.size()));
        IndexRange r{field_, {}, high};
        if (!low.empty())
            r.low = low;
        return {r};
    }
    return {};
}

bool CellCondition::RangeIsExact() const {
    const auto* d = std::get_if<DateTimes>(&rule_);
    if (d == nullptr)
        return false;
    // Exact when nothing is compared after the first place left to 'X' by both ends, and the low
    // end takes any character after its first open place (the range's low end stops there).
    // The separators are the same in every start text.
    bool freeSeen = false, lowOpen = false;
    for (size_t i = 0; i < kDateTimeLength; ++i) {
        if (kDateTimeShape[i] != '0')
            continue;
        const bool free = d->free[i] == 'X';
        if ((freeSeen && !free) || (lowOpen && !free && d->low[i] != '\x00'))
            return false;
        freeSeen = freeSeen || free;
        lowOpen = lowOpen || free || d->low[i] == '\x00';
    }
    return true;
}

CallQuery CallQuery::Read(const std::vector<std::vector<QueryCell>>& cases,
                          std::vector<CellProblem>& problems) {
    CallQuery q;
    for (size_t c = 0; c < cases.size(); ++c) {
        std::vector<CellCondition> conditions;
        for (size_t i = 0; i < cases[c].size(); ++i) {
            const QueryCell& cell = cases[c][i];
            if (cell.text.empty())
                continue;
            std::string why;
            if (auto condition = CellCondition::Read(cell.field, cell.text, why))
                conditions.push_back(std::move(*condition));
            else
                problems.push_back({static_cast<int>(c), i, why});
        }
        if (!conditions.empty())
            q.cases_.push_back(std::move(conditions));
    }
    return q;
}

bool CallQuery::Matches(const IndexRow& row) const {
    if (cases_.empty())
        return true;
    for (const auto& conditions : cases_) {
        bool all = true;
        for (const CellCondition& c : conditions)
            all = all && c.Matches(row);
        if (all)
            return true;
    }
    return false;
}

IndexFilter CallQuery::Filter() const {
    IndexFilter f;
    for (const auto& conditions : cases_) {
        std::vector<IndexRange> ranges;
        for (const CellCondition& c : conditions) {
            for (IndexRange& r : c.Ranges())
                ranges.push_back(std::move(r));
        }
        f.alternatives.push_back(std::move(ranges));
    }
    return f;
}

std::string CasesText(const std::vector<std::vector<QueryCell>>& cases) {
    std::string text = "# VELK query cases: a call is found when it meets every condition of one case\n";
    for (size_t c = 0; c < cases.size(); ++c) {
        std::string lines;
        for (const QueryCell& cell : cases[c]) {
            if (!cell.text.empty() && cell.field >= 0 && cell.field < 50)
                lines += std::string(kFieldNames[static_cast<size_t>(cell.field)]) + "=" +
                         cell.text + "\n";
        }
        if (!lines.empty())
            text += "[Case " + std::to_string(c + 1) + "]\n" + lines;
    }
    return text;
}

bool ReadCasesText(const std::string& text, std::vector<std::vector<QueryCell>>& cases,
                   std::string& why) {
    cases.clear();
    size_t current = SIZE_MAX;
    size_t number = 0;
    // An editor that writes UTF-8 may put a byte-order mark before the first line.
    const size_t start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    for (size_t from = start; from < text.size();) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (Trimmed(line).empty() || line[0] == '#')
            continue;
        const auto fail = [&](const std::string& reason) {
            why = "line " + std::to_string(number) + ": " + reason;
            cases.clear();
            return false;
        };
        int64_t n = 0;
        if (line.size() > 7 && line.compare(0, 6, "[Case ") == 0 && line.back() == ']') {
            if (!Number(line.substr(6, line.size() - 7), n) || n < 1 || n > 99)
                return fail("cases are numbered 1 to 99");
            current = static_cast<size_t>(n - 1);
            if (cases.size() <= current)
                cases.resize(current + 1);
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            return fail("a condition is written \"field name=condition\"");
        if (current == SIZE_MAX)
            return fail("a condition before the first \"[Case n]\"");
        const std::string name = line.substr(0, equals);
        const auto* begin = kFieldNames.begin();
        const auto* found = std::find(begin, begin + kEmptyFieldIndex, name);
        if (found == begin + kEmptyFieldIndex)
            return fail("\"" + name + "\" is no field of the call records");
        cases[current].push_back({static_cast<int>(found - begin), line.substr(equals + 1)});
    }
    return true;
}

bool ReadCasesFile(const std::filesystem::path& path, std::vector<std::vector<QueryCell>>& cases,
                   std::string& why) {
    cases.clear();
    RegularFile file(path);
    if (!file.Ok()) {
        std::error_code ec;
        const auto type = std::filesystem::status(path, ec).type();
        why = type == std::filesystem::file_type::not_found ? "there is no such file"
              : type == std::filesystem::file_type::directory
                  ? "it is a directory, not a cases file"
              : type != std::filesystem::file_type::regular && !ec ? "it is no regular file"
                                                                   : "it cannot be read";
        return false;
    }
    // A cases file is a few lines: anything far longer is not one.
    constexpr uint64_t kLongest = 1 << 20;
    if (file.Length() > kLongest) {
        why = "it is too long for a cases file";
        return false;
    }
    std::string text(static_cast<size_t>(file.Length()), '\0');
    if (file.Read(text.data(), text.size()) != text.size()) {
        why = "it cannot be read";
        return false;
    }
    return ReadCasesText(text, cases, why);
}

std::optional<CellCondition> StartBetween(const std::string& from, const std::string& to,
                                          std::string& why) {
    const auto fail = [&](const std::string& reason) -> std::optional<CellCondition> {
        why =
            "--from and --to take a date YYYY-MM-DD or a date-time YYYY-MM-DD hh:mm:ss: " + reason;
        return std::nullopt;
    };
    // A date is its whole day; an open end takes any start on its side.
    std::string ends[2];
    for (int e = 0; e < 2; ++e) {
        const std::string& t = e == 0 ? from : to;
        if (t.empty()) {
            ends[e] = "XXXX-XX-XX XX:XX:XX";
            continue;
        }
        std::string reason;
        if ((t.size() != 10 && t.size() != kDateTimeLength) ||
            t.find_first_of("Xx~") != std::string::npos || !CellCondition::Read(4, t, reason))
            return fail(
                "'" + t + "' is " +
                (reason == "there is no such date or time" ? "no such date or time" : "neither"));
        ends[e] = t;
    }
    auto c = CellCondition::Read(4, ends[0] + "~" + ends[1], why);
    if (!c)
        return fail(why);
    return c;
}

}  // namespace velk
