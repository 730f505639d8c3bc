#include "core/decode/field_decoder.h"

#include <cstdio>
#include <cstdlib>

#include "core/decode/code_tables.h"

namespace velk {
namespace {

enum class Reading { Padded, Plain, Code, Dial, DateTime };

// Where each optional field (fields 7..31 and 33..49) is found and how it reads.
struct OptionalReading {
    int identifier;
    Reading reading;
};

constexpr OptionalReading kOptional[50] = {
    {0, Reading::Padded},    {0, Reading::Padded},  {0, Reading::Padded},  {0, Reading::Padded},
    {0, Reading::Padded},    {0, Reading::Padded},  {0, Reading::Padded},  {1, Reading::Padded},
    {2, Reading::Code},      {3, Reading::Code},    {4, Reading::Code},    {5, Reading::Padded},
    {6, Reading::Padded},    {7, Reading::Code},    {8, Reading::Padded},  {9, Reading::Padded},
    {10, Reading::Padded},   {11, Reading::Padded}, {12, Reading::Code},   {13, Reading::Code},
    {14, Reading::Dial},     {15, Reading::Dial},   {16, Reading::Dial},   {17, Reading::DateTime},
    {18, Reading::DateTime}, {19, Reading::Dial},   {20, Reading::Padded}, {21, Reading::Dial},
    {22, Reading::Dial},     {23, Reading::Dial},   {24, Reading::Dial},   {25, Reading::Dial},
    {0, Reading::Padded},    {49, Reading::Code},   {50, Reading::Plain},  {51, Reading::Dial},
    {52, Reading::Code},     {53, Reading::Dial},   {54, Reading::Code},   {55, Reading::Dial},
    {56, Reading::Dial},     {57, Reading::Code},   {58, Reading::Plain},  {59, Reading::Dial},
    {60, Reading::Dial},     {61, Reading::Code},   {62, Reading::Dial},   {63, Reading::Dial},
    {64, Reading::Plain},    {65, Reading::Code},
};

// The decimal digits of a value, sign first, into buf (at least 12 bytes); returns the count.
size_t FormatDecimal(int32_t v, char* buf) {
    char digits[12];
    size_t n = 0;
    uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    size_t k = 0;
    if (v < 0)
        buf[k++] = '-';
    while (n > 0)
        buf[k++] = digits[--n];
    return k;
}

void AppendDecimal(std::string& out, int32_t v) {
    char buf[12];
    out.append(buf, FormatDecimal(v, buf));
}

// The value in decimal, left-padded with '0' to w characters (after the sign, as "%0*d" does),
// or its first w characters.
void AppendPadded(std::string& out, int32_t v, uint32_t w) {
    if (w == 0)
        return;
    char buf[12];
    const size_t n = FormatDecimal(v, buf);
    if (n >= w) {
        out.append(buf, w);
        return;
    }
    size_t digitsFrom = 0;
    if (v < 0) {
        out += '-';
        digitsFrom = 1;
    }
    out.append(w - n, '0');
    out.append(buf + digitsFrom, n - digitsFrom);
}

// Dial digits: A is 0, B is *, C is #, D and E stay; F or any other character ends the text.
void AppendDial(std::string& out, const BillingMessage& m, size_t p, uint32_t w) {
    for (uint32_t i = 0; i < w; ++i) {
        const uint8_t c = m.At(p + i);
        if (c >= '0' && c <= '9') {
            out += static_cast<char>(c);
        } else if (c == 'A' || c == 'a') {
            out += '0';
        } else if (c == 'B' || c == 'b') {
            out += '*';
        } else if (c == 'C' || c == 'c') {
            out += '#';
        } else if (c == 'D' || c == 'd') {
            out += 'D';
        } else if (c == 'E' || c == 'e') {
            out += 'E';
        } else {
            return;
        }
    }
}

// The leading decimal integer of count characters: the digits from the first character on; 0
// when the text starts with anything else (a blank or a sign included).
int LeadingInt(const char* p, size_t count) {
    int v = 0;
    for (size_t i = 0; i < count && p[i] >= '0' && p[i] <= '9'; ++i)
        v = v * 10 + (p[i] - '0');
    return v;
}

int LeadingInt(const std::string& text, size_t from, size_t count) {
    if (from >= text.size())
        return 0;
    return LeadingInt(text.data() + from, std::min(count, text.size() - from));
}

// Days from 1970-01-01 of a calendar date; a day past the month's end runs into the next month.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + (d - 1);
}

struct Parsed {
    int year, month, day, hour, minute, second;
    bool Valid() const {
        return year >= 1900 && year <= 3000 && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
               hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 &&
               second <= 59;
    }
    int64_t Seconds() const {
        return DaysFromCivil(year, month, 1) * 86400 + (day - 1) * 86400LL + hour * 3600LL +
               minute * 60LL + second;
    }
};

Parsed Parse(const std::string& t) {
    return {LeadingInt(t, 0, 4),  LeadingInt(t, 5, 2),  LeadingInt(t, 8, 2),
            LeadingInt(t, 11, 2), LeadingInt(t, 14, 2), LeadingInt(t, 17, 2)};
}

}  // namespace

bool FieldDecoder::FindOptionalField(const BillingMessage& message, uint32_t identifier, int base,
                                     uint32_t& position, uint32_t& width) {
    BillingMessage::OptionalField f;
    if (!message.FindOptional(identifier, base, f))
        return false;
    position = f.position;
    width = f.width;
    return true;
}

void FieldDecoder::DateTime(const BillingMessage& m, size_t p, int base, std::string& out) {
    char pairs[7][3];
    for (int i = 0; i < 7; ++i) {
        const size_t at = p + 2 * static_cast<size_t>(i);
        if (base == 16) {
            // The pair's value 0..255 as two decimal digits; a three-digit value keeps its first
            // two.
            const int v = NumberAt(m, at, 2, 16);
            const int two = v >= 100 ? v / 10 : v;
            pairs[i][0] = static_cast<char>('0' + two / 10);
            pairs[i][1] = static_cast<char>('0' + two % 10);
        } else {
            pairs[i][0] = static_cast<char>(m.At(at));
            pairs[i][1] = static_cast<char>(m.At(at + 1));
        }
        pairs[i][2] = '\0';
    }
    out.append(pairs[0], 2).append(pairs[1], 2).append(1, '-').append(pairs[2], 2);
    out.append(1, '-').append(pairs[3], 2).append(1, ' ').append(pairs[4], 2);
    out.append(1, ':').append(pairs[5], 2).append(1, ':').append(pairs[6], 2);
    currentHour_ = base == 16 ? NumberAt(m, p + 8, 2, 16) : LeadingInt(pairs[4], 2);
}

void FieldDecoder::Duration(const BillingMessage& m, RecordBase base, std::string& out) {
    std::string start, end;
    DecodeField(4, m, base, start);
    DecodeField(5, m, base, end);
    Duration(start, end, out);
}

void FieldDecoder::Duration(const std::string& start, const std::string& end, std::string& out) {
    const Parsed a = Parse(start);
    const Parsed b = Parse(end);
    if (!a.Valid() || !b.Valid()) {
        out = "???:??:??";
        return;
    }
    int64_t span = b.Seconds() - a.Seconds();
    out.clear();
    if (span < 0) {
        out += '-';
        span = -span;
    }
    AppendPadded(out, static_cast<int32_t>(span / 3600), 3);
    if (span / 3600 >= 1000) {  // more hours than three digits: all of them
        out.resize(out.size() - 3);
        AppendDecimal(out, static_cast<int32_t>(span / 3600));
    }
    out += ':';
    AppendPadded(out, static_cast<int32_t>(span / 60 % 60), 2);
    out += ':';
    AppendPadded(out, static_cast<int32_t>(span % 60), 2);
}

bool FieldDecoder::DecodeField(int index, const BillingMessage& m, RecordBase base,
                               std::string& out) {
    out.clear();
    if (index < 0 || index >= 50)
        return false;
    const int nb = base.numbers;
    switch (index) {
        case 0:
            if (!m.Has(8))
                return false;
            AppendPadded(out, NumberAt(m, 8, 4, nb), 4);
            return true;
        case 1:
            if (!m.Has(12) || DigitValue(m.At(12)) == 15)
                return false;
            AppendPadded(out, NumberAt(m, 12, 4, nb), 4);
            return true;
        case 2:
            for (size_t p = 16; p < 18 && m.At(p) != 0; ++p)
                out += static_cast<char>(m.At(p));
            return m.Has(16);
        case 3:
            if (!m.Has(18))
                return false;
            AppendDial(out, m, 18, 8);
            return true;
        case 4:
        case 5: {
            const size_t p = index == 4 ? 26 : 42;
            if (!m.Has(p + 13))
                return false;  // a date-time needs all its 14 characters
            DateTime(m, p, base.dateTime, out);
            return true;
        }
        case 6:
            if (!m.Has(58))
                return false;
            AppendDial(out, m, 58, 24);
            return true;
        case 32:
            Duration(m, base, out);
            return true;
        default:
            break;
    }

    const OptionalReading& entry = kOptional[index];
    BillingMessage::OptionalField f;
    if (!m.FindOptional(static_cast<uint32_t>(entry.identifier), nb, f)) {
        if (index == 9)
            currentCallType_ = 0;
        return false;
    }
    switch (index) {
        case 9: {
            const int32_t v = NumberAt(m, f.position, f.width, nb);
            currentCallType_ = v >= 0 && v < 14 ? static_cast<uint32_t>(v) : 0;
            out = CodeText(index, v);
            return true;
        }
        case 12:
            if (settings_.Server_Port_index == kSystemTypeIpecsMg && m.At(f.position) == 'F') {
                return false;
            }
            AppendPadded(out, NumberAt(m, f.position, f.width, nb), f.width);
            return true;
        case 48:
            // Call duration time: the characters grouped 3, 2, 2, 2 with ':' between the groups.
            for (uint32_t i = 0; i < f.width && i < 9; ++i) {
                const uint8_t c = m.At(f.position + i);
                if (c == 0)
                    break;
                if (i == 3 || i == 5 || i == 7)
                    out += ':';
                out += static_cast<char>(c);
            }
            return true;
        default:
            break;
    }
    switch (entry.reading) {
        case Reading::Padded:
            AppendPadded(out, NumberAt(m, f.position, f.width, nb), f.width);
            break;
        case Reading::Plain:
            AppendDecimal(out, NumberAt(m, f.position, f.width, nb));
            break;
        case Reading::Code:
            out = CodeText(index, NumberAt(m, f.position, f.width, nb));
            break;
        case Reading::Dial:
            AppendDial(out, m, f.position, f.width);
            break;
        case Reading::DateTime:
            if (!m.Has(f.position + 13))
                return false;
            DateTime(m, f.position, base.dateTime, out);
            break;
    }
    return true;
}

bool FieldDecoder::CodeOf(int index, const BillingMessage& message, int32_t hexType,
                          int64_t& code) {
    if (index < 0 || index >= 50 || kOptional[index].reading != Reading::Code)
        return false;
    const int nb = RecordBase::FromHexType(hexType).numbers;
    BillingMessage::OptionalField f;
    if (!message.FindOptional(static_cast<uint32_t>(kOptional[index].identifier), nb, f))
        return false;
    code = NumberAt(message, f.position, f.width, nb);
    return true;
}

bool FieldDecoder::DecodeField(int index, const BillingMessage& message, int32_t hexType) {
    return DecodeField(index, message, RecordBase::FromHexType(hexType), fieldText_);
}

void FieldDecoder::DecodeRecord(const BillingMessage& message, int32_t hexType,
                                std::array<std::string, 50>& fields) {
    const RecordBase base = RecordBase::FromHexType(hexType);
    int32_t hourAfterTimes = 0;
    for (int j = 0; j < 50; ++j) {
        std::string& out = fields[static_cast<size_t>(j)];
        if (j == 32) {
            // The start and end texts were decoded just before; the duration reuses them and
            // leaves the current hour as decoding them again would.
            Duration(fields[4], fields[5], out);
            currentHour_ = hourAfterTimes;
            continue;
        }
        DecodeField(j, message, base, out);
        if (j == 5)
            hourAfterTimes = currentHour_;
    }
}

void FieldDecoder::DecodeRecord(const BillingMessage& message, int32_t hexType,
                                DecodedRecord& record) {
    DecodeRecord(message, hexType, record.fields);
}

}  // namespace velk
