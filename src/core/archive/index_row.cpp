#include "core/archive/index_row.h"

#include <cctype>
#include <cstdint>

#include "core/decode/code_tables.h"
#include "core/decode/field_decoder.h"
#include "core/decode/field_names.h"

namespace velk {
namespace {

enum class Storage { Text, Number, Code, Duration };

Storage StorageOf(int field) {
    switch (field) {
        case 0: case 1: case 7: case 11: case 12: case 14: case 15: case 26: case 34: case 42:
        case 46:
            return Storage::Number;
        case 8: case 9: case 10: case 13: case 18: case 19: case 33: case 36: case 38: case 41:
        case 45: case 49:
            return Storage::Code;
        case 32: case 48:
            return Storage::Duration;
        default:
            return Storage::Text;
    }
}

bool Digits(const std::string& t, size_t from, size_t n, int64_t& value) {
    return ReadInteger(t.substr(from, n), value) && t[from] != '-';
}

}  // namespace

bool ReadInteger(const std::string& text, int64_t& value) {
    size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 18)
        return false;
    int64_t v = 0;
    for (size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9')
            return false;
        v = v * 10 + (text[k] - '0');
    }
    value = i == 1 ? -v : v;
    return true;
}

const char* SourceName(RecordSource source) {
    switch (source) {
        case RecordSource::Link:
            return "link";
        case RecordSource::DiskBuffer:
            return "disk buffer";
        case RecordSource::Import:
            return "import";
        case RecordSource::RawFile:
            return "raw file";
    }
    return "";
}

bool DurationSecondsOf(int field, const std::string& text, int64_t& seconds) {
    if (field == 32) {
        // Hours in at least three digits, minutes and seconds in two.
        const bool negative = !text.empty() && text[0] == '-';
        const std::string t = negative ? text.substr(1) : text;
        if (t.size() < 9 || t[t.size() - 3] != ':' || t[t.size() - 6] != ':')
            return false;
        int64_t h = 0, m = 0, s = 0;
        if (!Digits(t, 0, t.size() - 6, h) || !Digits(t, t.size() - 5, 2, m) ||
            !Digits(t, t.size() - 2, 2, s))
            return false;
        // Up to 18 digits of hours: more seconds than a 64-bit number holds is no duration.
        int64_t total = 0;
        if (__builtin_mul_overflow(h, int64_t{3600}, &total) ||
            __builtin_add_overflow(total, m * 60 + s, &total))
            return false;
        seconds = negative ? -total : total;
        return true;
    }
    if (field == 48) {
        if (text.size() != 12 || text[3] != ':' || text[6] != ':' || text[9] != ':')
            return false;
        int64_t d = 0, h = 0, m = 0, s = 0;
        if (!Digits(text, 0, 3, d) || !Digits(text, 4, 2, h) || !Digits(text, 7, 2, m) ||
            !Digits(text, 10, 2, s))
            return false;
        seconds = ((d * 24 + h) * 60 + m) * 60 + s;
        return true;
    }
    return false;
}

IndexValue FieldValue(int field, const std::string& text) {
    if (text.empty())
        return std::monostate{};
    int64_t v = 0;
    switch (StorageOf(field)) {
        case Storage::Number:
            if (ReadInteger(text, v))
                return v;
            break;
        case Storage::Code: {
            const FieldDescriptor& d = FieldDescriptors()[static_cast<size_t>(field)];
            for (int code = 0; d.table != nullptr && code < d.rows; ++code) {
                if ((*d.table)[static_cast<size_t>(code)] == text)
                    return static_cast<int64_t>(code);
            }
            break;
        }
        case Storage::Duration:
            if (DurationSecondsOf(field, text, v))
                return v;
            break;
        case Storage::Text:
            break;
    }
    return text;
}

IndexRow MakeIndexRow(const BillingMessage& message, const std::array<std::string, 50>& texts,
                      int32_t hexType, int32_t systemType, RecordSource source, int64_t storedAt) {
    IndexRow row;
    for (int f = 0; f < 50; ++f) {
        IndexValue& v = row.values[static_cast<size_t>(f)];
        v = FieldValue(f, texts[static_cast<size_t>(f)]);
        // A code the table has no text for decodes as "?" whatever its number: the index keeps
        // the number, so that such codes can still be told apart.
        int64_t code = 0;
        if (StorageOf(f) == Storage::Code && std::holds_alternative<std::string>(v) &&
            FieldDecoder::CodeOf(f, message, hexType, code))
            v = code;
    }
    if (std::holds_alternative<int64_t>(row.Field(1)))
        row.values[kTrunkColumn] = row.Field(1);
    else if (std::holds_alternative<int64_t>(row.Field(12)))
        row.values[kTrunkColumn] = row.Field(12);
    // The billing-method mask of "Charge Information" as hexadecimal; a non-digit counts 0.
    uint32_t mask = 0;
    for (char c : texts[2])
        mask = mask * 16 + DigitValue(static_cast<uint8_t>(c));
    row.values[kAnsweredColumn] =
        static_cast<int64_t>((mask >> AnsweredCallBit(systemType)) & 1u);
    if (message.Length() >= 1)
        row.raw.assign(reinterpret_cast<const char*>(message.Data()) + 1, message.Length() + 2);
    row.hexType = hexType;
    row.source = source;
    row.storedAt = storedAt;
    return row;
}

bool IndexColumnIsNumber(int column) {
    return column >= 50 || StorageOf(column) != Storage::Text;
}

const std::string& IndexColumnName(int column) {
    static const std::array<std::string, kIndexColumns> names = [] {
        std::array<std::string, kIndexColumns> n;
        for (size_t f = 0; f < 50; ++f) {
            bool gap = false;
            for (char c : kFieldNames[f]) {
                if (std::isalnum(static_cast<unsigned char>(c))) {
                    if (gap && !n[f].empty())
                        n[f] += '_';
                    n[f] += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    gap = false;
                } else {
                    gap = true;
                }
            }
        }
        n[kTrunkColumn] = "trunk";
        n[kAnsweredColumn] = "answered";
        return n;
    }();
    return names[static_cast<size_t>(column)];
}

std::string IndexValueText(const IndexValue& value) {
    if (const auto* n = std::get_if<int64_t>(&value))
        return std::to_string(*n);
    if (const auto* t = std::get_if<std::string>(&value))
        return *t;
    return {};
}

}  // namespace velk
