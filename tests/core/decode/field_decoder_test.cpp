#include "core/decode/field_decoder.h"

#include <gtest/gtest.h>

#include "core/decode/code_tables.h"
#include "core/decode/field_names.h"
#include "record_builder.h"

namespace velk {
namespace {

using test::RecordBuilder;

class FieldDecoderTest : public ::testing::Test {
protected:
    // Decodes one field of a frame; the frame is copied into a buffer exactly as long as the frame
    // so that any read past it is caught by the sanitizer.
    std::string Field(int index, const std::string& frame, int32_t hexType = 1) {
        std::vector<uint8_t> storage(frame.begin(), frame.end());
        const uint32_t L = static_cast<uint32_t>(frame.size() - 4);
        BillingMessage m(storage.data(), L);
        present_ = decoder_.DecodeField(index, m, hexType);
        return decoder_.FieldText();
    }

    AppSettings settings_;
    FieldDecoder decoder_{settings_};
    bool present_ = false;
};

TEST_F(FieldDecoderTest, FieldNamesAndTables) {
    EXPECT_EQ(kFieldNames[0], "Sequence Number");
    EXPECT_EQ(kFieldNames[18], "Miscellaniouse Type");
    EXPECT_EQ(kFieldNames[50], "Empty");
    EXPECT_EQ(CodeText(9, 13), "Feature Service");
    EXPECT_EQ(CodeText(9, 14), "?");
    EXPECT_EQ(CodeText(10, 2), "02hex");
    EXPECT_EQ(CodeText(10, 26), "1Ahex");
    EXPECT_EQ(CodeText(10, 30), "Tie trunk line");
    EXPECT_EQ(CodeText(10, 40), "PX trunk line");
    EXPECT_EQ(CodeText(10, 41), "?");
    EXPECT_EQ(CodeText(13, 5), "05hex");
    EXPECT_EQ(CodeText(13, 6), "Tie Line");
    EXPECT_EQ(CodeText(18, 31), "1Fhex");
    EXPECT_EQ(CodeText(18, 32), "Customer Discr ID/Mail Box ID");
    EXPECT_EQ(CodeText(18, 33), "?");
    EXPECT_EQ(CodeText(38, 1), "Incomming");
    EXPECT_EQ(CodeText(45, 1), "Incomming");
    EXPECT_EQ(CodeText(36, 4), "RCID");
    EXPECT_EQ(CodeText(7, 0), "?");  // not a coded field
    int coded = 0;
    for (const FieldDescriptor& d : FieldDescriptors())
        coded += d.table != nullptr;
    EXPECT_EQ(coded, 12);
    EXPECT_EQ(FieldDescriptors()[18].rows, 33);
    EXPECT_EQ(BillingMethodName(3, 0), "Answered Call");
    EXPECT_EQ(BillingMethodName(2, 3), "Answered Call");
    EXPECT_EQ(BillingMethodName(7, 3), "Not used");
}

TEST_F(FieldDecoderTest, FixedFieldsInBothBases) {
    RecordBuilder r;
    r.sequence = "00FF";
    EXPECT_EQ(Field(0, r.Frame()), "0255");
    r.sequence = "0099";
    EXPECT_EQ(Field(0, r.Frame(), 0), "0099");
    r.charge = "0A";
    EXPECT_EQ(Field(2, r.Frame()), "0A");
    r.calling = "12A4F9XX";
    EXPECT_EQ(Field(3, r.Frame()), "1204");
    r.dialled = "A12BC" + std::string(19, 'd');
    EXPECT_EQ(Field(6, r.Frame()), "012*#" + std::string(19, 'D'));
}

TEST_F(FieldDecoderTest, OutgoingTrunkAbsentWhenItStartsWithF) {
    RecordBuilder r;
    r.ogTrunk = "F000";
    EXPECT_EQ(Field(1, r.Frame()), "");
    EXPECT_FALSE(present_);
    r.ogTrunk = "f123";
    Field(1, r.Frame());
    EXPECT_FALSE(present_);
    r.ogTrunk = "0012";
    EXPECT_EQ(Field(1, r.Frame()), "0018");
    EXPECT_EQ(Field(1, r.Frame(), 0), "0012");
}

TEST_F(FieldDecoderTest, DateTimeInBothBasesSetsTheHour) {
    RecordBuilder r;
    r.start = "1409010F0C1E2D";
    EXPECT_EQ(Field(4, r.Frame()), "2009-01-15 12:30:45");
    EXPECT_EQ(decoder_.CurrentHour(), 12);
    r.start = "20090115123045";
    EXPECT_EQ(Field(4, r.Frame(), 0), "2009-01-15 12:30:45");
    EXPECT_EQ(decoder_.CurrentHour(), 12);
    r.start = "20090115x93045";
    EXPECT_EQ(Field(4, r.Frame(), 0), "2009-01-15 x9:30:45");
    EXPECT_EQ(decoder_.CurrentHour(), 0);  // not a leading number
    r.start = "FFFFFFFFFFFFFF";            // 255 keeps its first two digits
    EXPECT_EQ(Field(4, r.Frame()), "2525-25-25 25:25:25");
    EXPECT_EQ(decoder_.CurrentHour(), 255);
}

// A pair's value of 100 or more has three decimal digits, of which the first two are written.
TEST_F(FieldDecoderTest, DateTimePairsAroundThreeDigits) {
    const struct {
        const char* pair;
        int value;
        const char* text;
    } cases[] = {{"63", 99, "9999-99-99 99:99:99"},
                 {"64", 100, "1010-10-10 10:10:10"},
                 {"65", 101, "1010-10-10 10:10:10"}};
    RecordBuilder r;
    for (const auto& c : cases) {
        r.start.clear();
        for (int i = 0; i < 7; ++i)
            r.start += c.pair;
        EXPECT_EQ(Field(4, r.Frame()), c.text) << c.pair;
        EXPECT_EQ(decoder_.CurrentHour(), c.value) << c.pair;
    }
}

TEST_F(FieldDecoderTest, OddHexTypeReadsNumbersInBase10AndDatesInBase16) {
    RecordBuilder r;
    r.start = "1409010F0C1E2D";
    r.optional = RecordBuilder::OptDec("01", "1A") + "FF";
    EXPECT_EQ(Field(4, r.Frame(), 7), "2009-01-15 12:30:45");
    EXPECT_EQ(Field(7, r.Frame(), 7), "20");
}

TEST_F(FieldDecoderTest, OptionalNumbersAndCodes) {
    RecordBuilder r;
    r.optional = RecordBuilder::Opt("01", "1A") + RecordBuilder::Opt("03", "0B") +
                 RecordBuilder::Opt("04", "FF") + RecordBuilder::Opt("05", "FF") + "FF";
    EXPECT_EQ(Field(7, r.Frame()), "26");
    EXPECT_EQ(Field(9, r.Frame()), "Incoming Call");
    EXPECT_EQ(decoder_.CurrentCallType(), 11u);
    EXPECT_EQ(Field(10, r.Frame()), "?");
    EXPECT_EQ(Field(11, r.Frame()), "25");  // 255 cut to the field's 2 characters
    r.optional = RecordBuilder::Opt("03", "0D") + "FF";
    EXPECT_EQ(Field(9, r.Frame()), "Feature Service");
    EXPECT_EQ(decoder_.CurrentCallType(), 13u);
    r.optional = RecordBuilder::Opt("03", "0E") + "FF";
    EXPECT_EQ(Field(9, r.Frame()), "?");
    EXPECT_EQ(decoder_.CurrentCallType(), 0u);
    r.optional = RecordBuilder::OptDec("01", "1A") + "FF";
    EXPECT_EQ(Field(7, r.Frame(), 0), "20");
    r.optional = "FF";
    EXPECT_EQ(Field(9, r.Frame()), "");
    EXPECT_FALSE(present_);
    EXPECT_EQ(decoder_.CurrentCallType(), 0u);
}

TEST_F(FieldDecoderTest, PlainNumbersAndSignedWrap) {
    RecordBuilder r;
    // Identifier 50 is '32' in base 16; 8 digits FFFFFFFF wrap to -1.
    r.optional = RecordBuilder::Opt("32", "FFFFFFFF") + RecordBuilder::Opt("3A", "0010") +
                 RecordBuilder::Opt("14", "FFFFFFFE") + "FF";
    EXPECT_EQ(Field(34, r.Frame()), "-1");
    EXPECT_EQ(Field(42, r.Frame()), "16");
    EXPECT_EQ(Field(26, r.Frame()), "-0000002");  // padded to 8 with the sign first
}

TEST_F(FieldDecoderTest, FirstOfTwoEqualIdentifiersCounts) {
    RecordBuilder r;
    r.optional = RecordBuilder::Opt("01", "11") + RecordBuilder::Opt("01", "22") + "FF";
    EXPECT_EQ(Field(7, r.Frame()), "17");
}

TEST_F(FieldDecoderTest, EndMarkInBothBases) {
    RecordBuilder r;
    r.optional = "FF" + RecordBuilder::Opt("01", "11");  // nothing after the end mark counts
    Field(7, r.Frame());
    EXPECT_FALSE(present_);
    r.optional = "FF00" + RecordBuilder::OptDec("01", "11");
    Field(7, r.Frame(), 0);
    EXPECT_FALSE(present_);
    r.optional = RecordBuilder::OptDec("01", "11") + "FF";
    EXPECT_EQ(Field(7, r.Frame(), 0), "11");
}

TEST_F(FieldDecoderTest, WidthIsCappedAt47ButTheWalkUsesTheFullLength) {
    RecordBuilder r;
    std::string digits;
    for (int i = 0; i < 60; ++i)
        digits += static_cast<char>('0' + i % 10);
    r.optional = RecordBuilder::Opt("13", digits) + RecordBuilder::Opt("01", "22") + "FF";
    EXPECT_EQ(Field(25, r.Frame()), digits.substr(0, 47));  // id 19: dial digits
    EXPECT_EQ(Field(7, r.Frame()), "34");                   // found 64 characters further on
}

TEST_F(FieldDecoderTest, OptionalLengthRunningPastTheEndStopsTheWalk) {
    RecordBuilder r;
    r.optional = RecordBuilder::Opt("13", "1234", 200) + RecordBuilder::Opt("01", "22") + "FF";
    // The dial digits run on over the next field's characters up to its closing 'F'.
    EXPECT_EQ(Field(25, r.Frame()), "1234010222");
    Field(7, r.Frame());
    EXPECT_FALSE(present_);
}

TEST_F(FieldDecoderTest, IncomingTrunkRuleOfTheIpecsMgServer) {
    RecordBuilder r;
    r.optional = RecordBuilder::Opt("06", "F00") + "FF";
    EXPECT_EQ(Field(12, r.Frame()), "384");  // 3840 cut to the field's 3 characters
    settings_.Server_Port_index = 3;
    Field(12, r.Frame());
    EXPECT_FALSE(present_);
    r.optional = RecordBuilder::Opt("06", "f00") + "FF";  // upper case only
    EXPECT_EQ(Field(12, r.Frame()), "384");
}

TEST_F(FieldDecoderTest, DurationBranches) {
    RecordBuilder r;
    r.start = "141A0C080C1E2D";
    r.end = "141A0C080C202D";
    EXPECT_EQ(Field(32, r.Frame()), "000:02:00");
    EXPECT_EQ(decoder_.CurrentHour(), 12);  // the end time's hour
    r.end = "141A0C080C1D0F";               // 90 seconds before the start
    EXPECT_EQ(Field(32, r.Frame()), "-000:01:30");
    r.end = "141A0C0D0C1E2D";  // five days later
    EXPECT_EQ(Field(32, r.Frame()), "120:00:00");
    r.start = "141A020E173B3B";  // 2026-02-14 23:59:59
    r.end = "141A021F000000";    // 2026-02-31 runs into March 3
    EXPECT_EQ(Field(32, r.Frame()), "384:00:01");
    r.end = "141A0D01000000";  // month 13
    EXPECT_EQ(Field(32, r.Frame()), "???:??:??");
    r.start = "1200010100000A";  // year 1800
    r.end = "141A0C080C202D";
    EXPECT_EQ(Field(32, r.Frame()), "???:??:??");
    r.start = "1300010100000A";  // 1900 passes the check
    EXPECT_EQ(Field(32, r.Frame()), "1112700:32:35");
}

// No sign for an end equal to its start; the hours take three digits, more when needed.
TEST_F(FieldDecoderTest, DurationAroundZeroAndAtAThousandHours) {
    const std::pair<const char*, const char*> ends[] = {
        {"20261208123044", "-000:00:01"}, {"20261208123045", "000:00:00"},
        {"20261208123046", "000:00:01"},  {"20270119043044", "999:59:59"},
        {"20270119043045", "1000:00:00"},
    };
    RecordBuilder r;
    r.start = "20261208123045";
    for (auto [end, text] : ends) {
        r.end = end;
        EXPECT_EQ(Field(32, r.Frame(), 0), text) << end;
    }
}

// Each part of a date-time is checked against its range: the edges pass, one past them fails.
TEST_F(FieldDecoderTest, DurationChecksEachPartAtItsEdges) {
    const std::pair<const char*, bool> starts[] = {
        {"18991208123045", false}, {"19001208123045", true},  {"30001208123045", true},
        {"30011208123045", false}, {"20260008123045", false}, {"20260108123045", true},
        {"20261208123045", true},  {"20261308123045", false}, {"20261200123045", false},
        {"20261201123045", true},  {"20261231123045", true},  {"20261232123045", false},
        {"20261208003045", true},  {"20261208233045", true},  {"20261208243045", false},
        {"20261208120045", true},  {"20261208125945", true},  {"20261208126045", false},
        {"20261208123000", true},  {"20261208123059", true},  {"20261208123060", false},
    };
    RecordBuilder r;
    r.end = "20261208123045";
    for (auto [start, valid] : starts) {
        r.start = start;
        EXPECT_EQ(Field(32, r.Frame(), 0) != "???:??:??", valid) << start;
    }
}

TEST_F(FieldDecoderTest, DurationInBase10) {
    RecordBuilder r;
    r.start = "20261208235959";
    r.end = "20261209000001";
    EXPECT_EQ(Field(32, r.Frame(), 0), "000:00:02");
}

// In base 10 an hour, and every part the duration check reads, counts only when it starts with a
// digit: a blank or a sign in front makes it 0.
TEST_F(FieldDecoderTest, Base10NumbersMustStartWithADigit) {
    RecordBuilder r;
    r.start = "20090115 73045";
    EXPECT_EQ(Field(4, r.Frame(), 0), "2009-01-15  7:30:45");
    EXPECT_EQ(decoder_.CurrentHour(), 0);
    r.start = "200901157x3045";
    Field(4, r.Frame(), 0);
    EXPECT_EQ(decoder_.CurrentHour(), 7);  // the digits up to the first non-digit
    r.start = "20090115-33045";
    Field(4, r.Frame(), 0);
    EXPECT_EQ(decoder_.CurrentHour(), 0);
    r.start = "20090115+73045";
    Field(4, r.Frame(), 0);
    EXPECT_EQ(decoder_.CurrentHour(), 0);

    r.start = "2026+108235959";  // month "+1"
    r.end = "20261209000001";
    EXPECT_EQ(Field(32, r.Frame(), 0), "???:??:??");
    r.start = "2026 108235959";  // month " 1"
    EXPECT_EQ(Field(32, r.Frame(), 0), "???:??:??");
    r.start = "20261208235959";
    r.end = "2026120900-001";                         // minute "-0"
    EXPECT_EQ(Field(32, r.Frame(), 0), "000:00:02");  // "-0" reads 0, which is a valid minute
}

TEST_F(FieldDecoderTest, CallDurationTimeGrouping) {
    RecordBuilder r;
    r.optional = RecordBuilder::Opt("40", "001020304") + "FF";
    EXPECT_EQ(Field(48, r.Frame()), "001:02:03:04");
    r.optional = RecordBuilder::Opt("40", "00102") + "FF";
    EXPECT_EQ(Field(48, r.Frame()), "001:02");
    r.optional = RecordBuilder::Opt("40", "0010203045") + "FF";  // only nine are used
    EXPECT_EQ(Field(48, r.Frame()), "001:02:03:04");
}

TEST_F(FieldDecoderTest, RecordWithoutOptionalPart) {
    RecordBuilder r;
    r.optional = "FF";
    r.dialled = "0123" + std::string(20, 'F');
    const std::string frame = r.Frame();
    for (int f = 0; f < 50; ++f) {
        const std::string text = Field(f, frame);
        const bool filled = f <= 6 || f == 32;
        if (f == 1)
            continue;  // "FFFF" is an absent trunk
        EXPECT_EQ(!text.empty(), filled) << f;
    }
    r.optional = "";  // L = 83: no room for an identifier
    EXPECT_EQ(Field(7, r.Frame()), "");
    EXPECT_EQ(Field(0, r.Frame()), "0001");
}

TEST_F(FieldDecoderTest, ShortCallRecordReadsOnlyWhatIsThere) {
    // L = 43: the frame ends at offset 46; fields past it are absent and nothing behind the
    // frame is read (the buffer holds exactly the frame).
    std::string text =
        "5203"
        "0042"
        "0012"
        "0A"
        "2041FFFF"
        "141A0C080C1E2D";
    text += std::string(40 - text.size(), '0');
    ASSERT_EQ(text.size() + 3, 43u);
    RecordBuilder r;
    char digits[8];
    std::string f = std::string(1, '\x02') + "02B" + text;
    unsigned bcc = 0;
    for (size_t i = 1; i < f.size(); ++i)
        bcc ^= static_cast<unsigned char>(f[i]);
    std::snprintf(digits, sizeof digits, "%02X", bcc);
    f += std::string(digits) + "\x03";
    EXPECT_EQ(Field(0, f), "0066");
    EXPECT_EQ(Field(1, f), "0018");
    EXPECT_EQ(Field(2, f), "0A");
    EXPECT_EQ(Field(3, f), "2041");
    EXPECT_EQ(Field(4, f), "2026-12-08 12:30:45");
    EXPECT_EQ(Field(5, f), "");
    EXPECT_EQ(Field(6, f), "");
    EXPECT_EQ(Field(32, f), "???:??:??");
    for (int i = 7; i < 50; ++i) {
        if (i == 32)
            continue;
        EXPECT_EQ(Field(i, f), "") << i;
    }
}

TEST_F(FieldDecoderTest, IndexOutOfRange) {
    RecordBuilder r;
    EXPECT_FALSE(decoder_.DecodeField(50, BillingMessage(nullptr, 0), 1));
    EXPECT_EQ(decoder_.FieldText(), "");
    EXPECT_EQ(Field(-1, r.Frame()), "");
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

TEST(FieldDecoderRecord, WholeRecordEqualsFieldByFieldDecoding) {
    AppSettings settings;
    FieldDecoder one(settings), all(settings);
    test::RecordBuilder r;
    r.optional = test::RecordBuilder::Opt("11", "141A0C08052D00") +
                 test::RecordBuilder::Opt("12", "141A0C08062D00") + "FF";
    for (const std::string& end : {std::string("141A0C080C202D"), std::string("XXXXXXXXXXXXXX")}) {
        r.end = end;
        const std::string frame = r.Frame();
        const BillingMessage m(reinterpret_cast<const uint8_t*>(frame.data()),
                               static_cast<uint32_t>(frame.size() - 4));
        DecodedRecord record;
        all.DecodeRecord(m, 1, record);
        for (int f = 0; f < 50; ++f) {
            one.DecodeField(f, m, 1);
            EXPECT_EQ(record.fields[static_cast<size_t>(f)], one.FieldText()) << f;
        }
        EXPECT_EQ(all.CurrentHour(), one.CurrentHour());
    }
}

}  // namespace
}  // namespace velk
