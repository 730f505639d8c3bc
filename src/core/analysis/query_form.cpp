#include "core/analysis/query_form.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <cstdio>

#include "core/decode/code_tables.h"
#include "core/decode/field_names.h"
#include "core/foundation/hex_digits.h"

namespace velk {

QueryKind QueryKindOf(int field) {
    static const std::array<QueryKind, 50> kinds = [] {
        std::array<QueryKind, 50> k{};
        const auto mark = [&k](QueryKind kind, std::initializer_list<int> fields) {
            for (int f : fields)
                k[static_cast<size_t>(f)] = kind;
        };
        mark(QueryKind::Coded, {8, 9, 10, 13, 18, 19, 33, 36, 38, 41, 45, 49});
        mark(QueryKind::Text,
             {3, 6, 16, 17, 20, 21, 22, 25, 27, 28, 29, 30, 31, 35, 37, 39, 40, 43, 44, 47});
        mark(QueryKind::Number, {1, 7, 11, 12, 14, 15, 26, 34, 42, 46});
        mark(QueryKind::Sequence, {0});
        mark(QueryKind::DateTime, {4, 5, 23, 24});
        mark(QueryKind::Duration, {32});
        mark(QueryKind::CallDuration, {48});
        mark(QueryKind::BillingMask, {2});
        return k;
    }();
    return field >= 0 && field < 50 ? kinds[static_cast<size_t>(field)] : QueryKind::None;
}

std::optional<Rgb> QueryRowColour(QueryKind kind) {
    switch (kind) {
        case QueryKind::Coded:
            return Rgb{235, 255, 235};
        case QueryKind::Text:
            return Rgb{255, 255, 235};
        case QueryKind::Number:
            return Rgb{235, 235, 255};
        case QueryKind::Sequence:
            return Rgb{245, 245, 245};
        case QueryKind::DateTime:
            return Rgb{235, 255, 255};
        case QueryKind::Duration:
        case QueryKind::CallDuration:
            return Rgb{255, 235, 255};
        case QueryKind::BillingMask:
            return Rgb{230, 230, 230};
        case QueryKind::None:
            break;
    }
    return std::nullopt;
}

std::vector<QueryMenuItem> TextMatchMenu() {
    return {{kCmdMatchedAtBegin, "Matched at Begin "},
            {kCmdMatchedAtEnd, "Matched at End   "},
            {kCmdMatchedAtMiddle, "Matched at Middle"},
            {kCmdFullMatched, "Full Matched     "}};
}

std::vector<QueryMenuItem> DateTimeMenu() {
    return {{kCmdDate, "Date               "},
            {kCmdTime, "Time               "},
            {kCmdDateAndTime, "Date and Time      "},
            {},
            {kCmdDateRange, "Date Range         "},
            {kCmdTimeRange, "Time Range         "},
            {kCmdDateAndTimeRange, "Date and Time Range"}};
}

std::vector<QueryMenuItem> DurationMenu(QueryKind kind) {
    const int first =
        kind == QueryKind::CallDuration ? kCmdCallDurationExactly : kCmdDurationExactly;
    return {{first, "Exactly   "},     {}, {first + 1, "More than "},
            {first + 2, "Less than "}, {}, {first + 3, "Range     "}};
}

uint32_t BillingMask(const std::string& cell) {
    uint32_t mask = 0;
    for (char c : cell)
        mask = mask * 16 + DigitValue(static_cast<uint8_t>(c));
    return mask;
}

std::string BillingMaskText(uint32_t mask) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", mask);
    return text;
}

std::vector<QueryMenuItem> BillingMethodMenu(const std::string& cell, int32_t systemType) {
    const uint32_t mask = BillingMask(cell);
    std::vector<QueryMenuItem> items;
    for (int bit = 0; bit < 8; ++bit) {
        items.push_back({kCmdBillingBit0 + bit, BillingMethodName(bit, systemType),
                         (mask >> bit & 1u) != 0, bit == AnsweredCallBit(systemType)});
    }
    items.push_back({kCmdAllCalls, "All Calls"});
    items.push_back({kCmdExitAndSave, "Exit and Save"});
    return items;
}

std::string QueryNow(const LocalTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

namespace {

std::string WithX(std::string text, std::initializer_list<size_t> positions) {
    for (size_t p : positions) {
        if (p < text.size())
            text[p] = 'X';
    }
    return text;
}

// The duration patterns of fields 32 and 48.
constexpr const char* kDuration = "hhh.mm.ss";
constexpr const char* kCallDuration = "ddd.hh.mm.ss";

}  // namespace

std::string QueryDateTemplate(const LocalTime& now) {
    return WithX(QueryNow(now), {11, 12, 14, 15, 17, 18});
}

std::string QueryTimeTemplate(const LocalTime& now) {
    return WithX(QueryNow(now), {0, 1, 2, 3, 5, 6, 8, 9});
}

std::optional<QueryCellEdit> ApplyQueryCommand(int command, const std::string& cell,
                                               const LocalTime& now) {
    if (command >= kCmdBillingBit0 && command < kCmdBillingBit0 + 8) {
        const uint32_t mask = BillingMask(cell) ^ (1u << (command - kCmdBillingBit0));
        return QueryCellEdit{BillingMaskText(mask), std::nullopt, true};
    }
    if (command >= kCmdDurationExactly && command < kCmdMatchedAtBegin) {
        const std::string p = command >= kCmdCallDurationExactly ? kCallDuration : kDuration;
        switch ((command - kCmdDurationExactly) % 4) {
            case 0:
                return QueryCellEdit{p};
            case 1:
                return QueryCellEdit{">" + p};
            case 2:
                return QueryCellEdit{"<" + p};
            default:
                return QueryCellEdit{p + "~" + p};
        }
    }
    switch (command) {
        case kCmdAllCalls:
            return QueryCellEdit{};
        case kCmdDate:
            return QueryCellEdit{QueryDateTemplate(now)};
        case kCmdTime:
            return QueryCellEdit{QueryTimeTemplate(now)};
        case kCmdDateAndTime:
            return QueryCellEdit{QueryNow(now)};
        case kCmdDateRange:
            return QueryCellEdit{QueryDateTemplate(now) + "~" + QueryDateTemplate(now)};
        case kCmdTimeRange:
            return QueryCellEdit{QueryTimeTemplate(now) + "~" + QueryTimeTemplate(now)};
        case kCmdDateAndTimeRange:
            return QueryCellEdit{QueryNow(now) + "~" + QueryNow(now)};
        case kCmdMatchedAtBegin:
            return QueryCellEdit{"?", 0};
        case kCmdMatchedAtEnd:
            return QueryCellEdit{"?", 1};
        case kCmdMatchedAtMiddle:
            return QueryCellEdit{"??", 1};
        case kCmdFullMatched:
            return QueryCellEdit{"", 0};
        default:
            return std::nullopt;
    }
}

std::vector<QueryRow> QueryRows(const AppSettings& settings) {
    std::vector<QueryRow> rows;
    for (size_t k = 0; k < settings.f.size(); ++k) {
        if (settings.f[k] != 1)
            continue;
        QueryRow row;
        char id[16];
        std::snprintf(id, sizeof id, "%02zu", rows.size() + 1);
        row.id = id;
        // A hand-edited index outside the list names an empty column, as in the file's header.
        const int32_t index = settings.SaveInd[k];
        row.name = kFieldNames[index >= 0 && index <= kEmptyFieldIndex
                                   ? static_cast<size_t>(index)
                                   : static_cast<size_t>(kEmptyFieldIndex)];
        // The field is the one whose name the row shows.
        const auto* begin = kFieldNames.begin();
        const auto* found = std::find(begin, begin + kEmptyFieldIndex, row.name);
        if (found != begin + kEmptyFieldIndex) {
            row.field = static_cast<int>(found - begin);
            row.kind = QueryKindOf(row.field);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> QueryCodeChoices(int field) {
    if (field < 0 || field >= 50)
        return {};
    const FieldDescriptor& d = FieldDescriptors()[static_cast<size_t>(field)];
    if (d.table == nullptr)
        return {};
    return std::vector<std::string>(d.table->begin(), d.table->begin() + d.rows);
}

int QueryChoiceFor(const std::vector<std::string>& choices, const std::string& cell) {
    const auto it = std::find(choices.begin(), choices.end(), cell);
    return it == choices.end() ? 0 : static_cast<int>(it - choices.begin());
}

void QueryCases::PasteCase(int c) {
    if (!source_)
        return;
    for (auto& row : cells_)
        row[Index(c)] = row[Index(*source_)];
}

void QueryCases::ClearCase(int c) {
    for (auto& row : cells_)
        row[Index(c)].clear();
}

}  // namespace velk
