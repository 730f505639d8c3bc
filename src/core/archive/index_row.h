#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>

#include "core/decode/billing_message.h"

namespace velk {

// A value of the record index: absent, a whole number or a text.
using IndexValue = std::variant<std::monostate, int64_t, std::string>;

// Where a record came from before it was stored.
enum class RecordSource : int { Link = 0, DiskBuffer = 1, Import = 2, RawFile = 3 };
const char* SourceName(RecordSource source);

// Columns of the index beyond the 50 fields: what the reports group and sum by.
inline constexpr int kTrunkColumn = 50;     // the outgoing trunk (field 1), else the incoming (12)
inline constexpr int kAnsweredColumn = 51;  // 1 when the billing-method mask says answered
inline constexpr int kIndexColumns = 52;

// One stored call record as the index keeps it: every field as the value it stands for (numbers
// as numbers, durations in seconds, coded fields as their code, date-times and digits as text),
// the message body it was decoded from and where and when it was stored.
struct IndexRow {
    int64_t id = 0;          // the index's own number, given when the row enters
    int64_t occurrence = 0;  // 0, or how many identical records were stored before this one
    std::array<IndexValue, kIndexColumns> values;
    std::string raw;  // the message body: length digits, text, check digits
    int32_t hexType = 1;
    RecordSource source = RecordSource::Link;
    int64_t storedAt = 0;  // seconds since the epoch
    // Rows read from a database server of many sites: the site, and the system type its
    // message is decoded with (-1: as the settings say).
    std::string site;
    int32_t systemType = -1;

    const IndexValue& Field(int f) const { return values[static_cast<size_t>(f)]; }
};

// A whole number in decimal, '-' before it when negative, at most 18 digits.
bool ReadInteger(const std::string& text, int64_t& value);

// The value a decoded field text stands for. A text that does not read as its kind (a number
// field cut to "-", a duration "???:??:??", a code shown as "?") is kept as the text.
IndexValue FieldValue(int field, const std::string& text);

// Seconds of a duration text "hhh:mm:ss" (field 32, a leading '-' when the end lies before the
// start) or "ddd:hh:mm:ss" (field 48); false when the text is not one.
bool DurationSecondsOf(int field, const std::string& text, int64_t& seconds);

// The row of a stored record from its message and its decoded field texts.
IndexRow MakeIndexRow(const BillingMessage& message, const std::array<std::string, 50>& texts,
                      int32_t hexType, int32_t systemType, RecordSource source, int64_t storedAt);

// Whether a column holds whole numbers (numbers, codes, durations, trunk, answered) rather than
// texts; a value that did not read as a number is then kept as its text.
bool IndexColumnIsNumber(int column);

// The column name of a field in the index: its name in lower case, words joined by '_'
// ("Start Time of Conversation" is start_time_of_conversation); then "trunk" and "answered".
const std::string& IndexColumnName(int column);

// A value as text: numbers in decimal, texts as they are, absent as empty.
std::string IndexValueText(const IndexValue& value);

}  // namespace velk
