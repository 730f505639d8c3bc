#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/decode/billing_message.h"
#include "core/foundation/app_settings.h"

namespace velk {

// The 50 field texts of one call record; an absent field is the empty text.
struct DecodedRecord {
    std::array<std::string, 50> fields;
};

// Number bases of a record from the "Billing Message Type" setting: 1 reads everything in base
// 16, 0 everything in base 10; any other (hand-edited) value reads numbers, identifiers and
// lengths in base 10 but date-time pairs in base 16.
struct RecordBase {
    int numbers;
    int dateTime;
    static RecordBase FromHexType(int32_t hexType) {
        return {hexType == 1 ? 16 : 10, hexType == 0 ? 10 : 16};
    }
};

// Decodes call-record fields. It keeps what the pipeline reads after a decode: the last field
// text, the current call type (field 9) and the current hour (the last date-time decoded).
class FieldDecoder {
public:
    explicit FieldDecoder(const AppSettings& settings) : settings_(settings) {}

    // Decodes field `index` into the field text; true when the field was present.
    bool DecodeField(int index, const BillingMessage& message, int32_t hexType);
    // The same, writing the text into `out`.
    bool DecodeField(int index, const BillingMessage& message, RecordBase base, std::string& out);
    // All 50 fields.
    void DecodeRecord(const BillingMessage& message, int32_t hexType, DecodedRecord& record);
    void DecodeRecord(const BillingMessage& message, int32_t hexType,
                      std::array<std::string, 50>& fields);

    // The code a coded field holds (also one its table has no text for, which decodes as "?");
    // false when the field is no coded one or the record lacks it.
    static bool CodeOf(int index, const BillingMessage& message, int32_t hexType, int64_t& code);

    // Locates optional field `identifier`: its position and width (at most 47).
    static bool FindOptionalField(const BillingMessage& message, uint32_t identifier, int base,
                                  uint32_t& position, uint32_t& width);

    const std::string& FieldText() const { return fieldText_; }
    uint32_t CurrentCallType() const { return currentCallType_; }
    int32_t CurrentHour() const { return currentHour_; }

private:
    void DateTime(const BillingMessage& m, size_t p, int base, std::string& out);
    void Duration(const BillingMessage& m, RecordBase base, std::string& out);
    void Duration(const std::string& start, const std::string& end, std::string& out);

    const AppSettings& settings_;
    std::string fieldText_;
    uint32_t currentCallType_ = 0;
    int32_t currentHour_ = 0;
};

}  // namespace velk
