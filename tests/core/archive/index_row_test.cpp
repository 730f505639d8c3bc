#include "core/archive/index_row.h"

#include <gtest/gtest.h>

#include "core/decode/code_tables.h"
#include "core/decode/field_decoder.h"
#include "core/foundation/app_settings.h"
#include "core/decode/record_builder.h"

namespace velk {
namespace {

// Each kind of field, a text that reads as its kind next to one that does not (kept as text).
TEST(IndexRow, FieldTextsBecomeTheValuesTheyStandFor) {
    struct Case {
        int field;
        std::string text;
        IndexValue value;
    };
    const Case cases[] = {
        {0, "0042", int64_t{42}},
        {1, "-17", int64_t{-17}},
        {0, "-", std::string("-")},
        {0, "999999999999999999", int64_t{999999999999999999}},
        {0, "1000000000000000000", std::string("1000000000000000000")},
        {9, CodeText(9, 2), int64_t{2}},
        {9, "?", std::string("?")},
        {3, "02041", std::string("02041")},
        {3, "", std::monostate{}},
        {32, "000:00:00", int64_t{0}},
        {32, "123:04:05", int64_t{123 * 3600 + 4 * 60 + 5}},
        {32, "1000:00:01", int64_t{3600001}},
        {32, "-000:01:05", int64_t{-65}},
        {32, "00:00:05", std::string("00:00:05")},
        {32, "???:??:??", std::string("???:??:??")},
        {32, "000:-1:05", std::string("000:-1:05")},
        {48, "001:02:03:04", int64_t{((24 + 2) * 60 + 3) * 60 + 4}},
        {48, "001:02:03", std::string("001:02:03")},
        // The most seconds a 64-bit number holds, and one more.
        {32, "2562047788015215:30:07", int64_t{INT64_MAX}},
        {32, "-2562047788015215:30:07", int64_t{-INT64_MAX}},
        {32, "2562047788015215:30:08", std::string("2562047788015215:30:08")},
        {32, "999999999999999999:59:59", std::string("999999999999999999:59:59")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FieldValue(c.field, c.text), c.value) << c.field << " \"" << c.text << '"';
}

// The report columns: the outgoing trunk where it is a number, else the incoming one; answered
// from the system type's bit of the billing-method mask; the raw text is the message body.
TEST(IndexRow, TrunkAnsweredAndRawColumnsOfARow) {
    const test::RecordBuilder r;
    const std::string f = r.Frame();
    const BillingMessage m(reinterpret_cast<const uint8_t*>(f.data()),
                           static_cast<uint32_t>(f.size() - 4));
    struct Case {
        std::string outgoing, incoming, charge;
        int systemType;
        IndexValue trunk;
        int64_t answered;
    };
    const Case cases[] = {
        {"7", "16", "08", 2, int64_t{7}, 1},   // bit 3 of 8
        {"-", "16", "07", 2, int64_t{16}, 0},  // bits 0..2 only
        {"-", "", "0C", 2, std::monostate{}, 1},
        {"-", "?", "04", 2, std::monostate{}, 0},
        {"3", "", "04", kSystemTypeIpecsMg, int64_t{3}, 1},  // bit 2 there
        {"3", "", "08", kSystemTypeIpecsMg, int64_t{3}, 0},
    };
    for (const Case& c : cases) {
        std::array<std::string, 50> texts;
        texts[1] = c.outgoing;
        texts[12] = c.incoming;
        texts[2] = c.charge;
        const IndexRow row = MakeIndexRow(m, texts, 1, c.systemType, RecordSource::Import, 99);
        EXPECT_EQ(row.Field(kTrunkColumn), c.trunk) << c.outgoing << '/' << c.incoming;
        EXPECT_EQ(row.Field(kAnsweredColumn), IndexValue{c.answered}) << c.charge;
        EXPECT_EQ(row.raw, f.substr(1, f.size() - 2));
        EXPECT_EQ(row.source, RecordSource::Import);
        EXPECT_EQ(row.storedAt, 99);
    }
}

// A code its table has no text for decodes as "?" whatever it is; the row keeps the number, so
// that codes 14 and 255 stay apart, and a code the table has keeps its number as before.
TEST(IndexRow, CodesWithoutATextKeepTheirNumber) {
    AppSettings settings;
    FieldDecoder decoder(settings);
    struct Case {
        std::string optional;
        int field;
        IndexValue value;
    };
    const Case cases[] = {
        {test::RecordBuilder::Opt("03", "0E") + "FF", 9, int64_t{14}},
        {test::RecordBuilder::Opt("03", "FF") + "FF", 9, int64_t{255}},
        {test::RecordBuilder::Opt("03", "04") + "FF", 9, int64_t{4}},
        {test::RecordBuilder::Opt("02", "07") + "FF", 8, int64_t{7}},
        {"FF", 9, std::monostate{}},
    };
    for (const Case& c : cases) {
        test::RecordBuilder r;
        r.optional = c.optional;
        const std::string f = r.Frame();
        const BillingMessage m(reinterpret_cast<const uint8_t*>(f.data()),
                               static_cast<uint32_t>(f.size() - 4));
        std::array<std::string, 50> texts;
        decoder.DecodeRecord(m, 1, texts);
        const IndexRow row = MakeIndexRow(m, texts, 1, 2, RecordSource::Link, 0);
        EXPECT_EQ(row.Field(c.field), c.value)
            << c.optional << " (decoded \"" << texts[static_cast<size_t>(c.field)] << "\")";
    }
}

}  // namespace
}  // namespace velk
