#include "core/archive/call_query.h"

#include <gtest/gtest.h>

#include <map>

#include "core/decode/field_names.h"

namespace velk {
namespace {

// A record whose fields hold the given decoded texts.
IndexRow Record(const std::map<int, std::string>& texts) {
    IndexRow row;
    for (const auto& [field, text] : texts)
        row.values[static_cast<size_t>(field)] = FieldValue(field, text);
    return row;
}

bool Meets(int field, const std::string& cell, const std::string& recordText) {
    std::string why;
    const auto c = CellCondition::Read(field, cell, why);
    EXPECT_TRUE(c.has_value()) << field << " '" << cell << "': " << why;
    return c && c->Matches(Record({{field, recordText}}));
}

TEST(CallQuery, EveryTemplateMeansWhatItSays) {
    struct Case {
        int field;
        const char* cell;
        const char* record;
        bool match;
    };
    const Case cases[] = {
        // Digits and text: '?' is any text, also none.
        {3, "2041", "2041", true},
        {3, "2041", "20411", false},
        {3, "20?", "2041", true},
        {3, "20?", "1204", false},
        {3, "?41", "2041", true},
        {3, "?41", "2014", false},
        {3, "?04?", "2041", true},
        {3, "?04?", "2410", false},
        {3, "?", "", true},
        {3, "0?1?9", "0123459", true},
        {3, "12?23", "123", false},  // the pieces may not share characters
        // A middle piece may end right where the last one begins, never inside it.
        {3, "?34?", "1234", true},
        {3, "12?34?56", "123456", true},
        {3, "12?34?45", "12345", false},
        {6, "00?", "0044123", true},
        {6, "00?", "", false},
        // Coded fields by their texts; a code without a text reads "?".
        {9, "ISD Call", "ISD Call", true},
        {9, "ISD Call", "DDD Call", false},
        {9, "Unknown", "?", false},
        // Numbers: exactly, more, less, a range with both ends.
        {1, "12", "0012", true},
        {1, "0012", "0012", true},
        {1, ">12", "0012", false},
        {1, ">12", "0013", true},
        {1, "<12", "0011", true},
        {1, "<12", "0012", false},
        {1, "10~12", "0010", true},
        {1, "10~12", "0012", true},
        {1, "10~12", "0009", false},
        {1, "10~12", "0013", false},
        {1, "12", "", false},
        {0, "255", "0255", true},
        // Date-times: 'X' any digit, cut short for "any" after it, ranges with both ends.
        {4, "2026-12-08 12:30:45", "2026-12-08 12:30:45", true},
        {4, "2026-12-08 12:30:45", "2026-12-08 12:30:46", false},
        {4, "2026-12-08 XX:XX:XX", "2026-12-08 23:59:59", true},
        {4, "2026-12-08 XX:XX:XX", "2026-12-09 00:00:00", false},
        {4, "XXXX-XX-XX 12:30:45", "2025-01-01 12:30:45", true},
        {4, "XXXX-XX-XX 12:30:45", "2025-01-01 12:30:44", false},
        {4, "2026-12", "2026-12-31 23:59:59", true},
        {4, "2026-12", "2027-01-01 00:00:00", false},
        {4, "2026-12-01 XX:XX:XX~2026-12-07 XX:XX:XX", "2026-12-01 00:00:00", true},
        {4, "2026-12-01 XX:XX:XX~2026-12-07 XX:XX:XX", "2026-12-07 23:59:59", true},
        {4, "2026-12-01 XX:XX:XX~2026-12-07 XX:XX:XX", "2026-11-30 23:59:59", false},
        {4, "2026-12-01 XX:XX:XX~2026-12-07 XX:XX:XX", "2026-12-08 00:00:00", false},
        {4, "XXXX-XX-XX 08:00:00~XXXX-XX-XX 17:00:00", "2020-05-05 08:00:00", true},
        {4, "XXXX-XX-XX 08:00:00~XXXX-XX-XX 17:00:00", "2031-01-09 17:00:00", true},
        {4, "XXXX-XX-XX 08:00:00~XXXX-XX-XX 17:00:00", "2020-05-05 07:59:59", false},
        {4, "XXXX-XX-XX 08:00:00~XXXX-XX-XX 17:00:00", "2020-05-05 17:00:01", false},
        {4, "2026-12-08 12:00:00~2026-12-08 13:00:00", "2026-12-08 13:00:00", true},
        {4, "2026-12-08 12:00:00~2026-12-08 13:00:00", "2026-12-08 13:00:01", false},
        {23, "2026-12", "", false},
        // Durations "hhh.mm.ss" and "ddd.hh.mm.ss".
        {32, "000.02.00", "000:02:00", true},
        {32, "000.02.00", "000:02:01", false},
        {32, ">000.02.00", "000:02:01", true},
        {32, ">000.02.00", "000:02:00", false},
        {32, "<000.02.00", "000:01:59", true},
        {32, "<000.02.00", "000:02:00", false},
        {32, "000.01.00~000.02.00", "000:01:00", true},
        {32, "000.01.00~000.02.00", "000:02:00", true},
        {32, "000.01.00~000.02.00", "000:00:59", false},
        {32, "000.01.00~000.02.00", "000:02:01", false},
        {32, ">000.00.00", "???:??:??", false},
        {32, "<000.00.00", "-000:01:30", true},
        {32, "100.00.00", "100:00:00", true},
        {48, "001.00.00.00", "001:00:00:00", true},
        {48, "001.00.00.00", "000:24:00:00", true},  // what the PBX wrote, read as time
        {48, ">000.00.59.59", "000:01:00:00", true},
        {48, ">000.00.59.59", "000:00:59:59", false},
        // The billing-method mask: every bit of the cell set in the record.
        {2, "8", "09", true},
        {2, "8", "01", false},
        {2, "9", "0D", true},
        {2, "9", "08", false},
        {2, "0", "00", true},
        {2, "c", "0C", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Meets(c.field, c.cell, c.record), c.match)
            << kFieldNames[static_cast<size_t>(c.field)] << ": '" << c.cell << "' against '"
            << c.record << "'";
    }
}

TEST(CallQuery, ACellThatCannotBeReadSaysWhy) {
    struct Case {
        int field;
        const char* cell;
        const char* why;
    };
    const Case cases[] = {
        {1, "12a", "write a number n, >n, <n or a~b"},
        {1, ">", "write a number"},
        {1, "5~3", "the range ends before it begins"},
        {0, "~", "write a number"},
        {9, "ISD", "not one of the texts of \"Call Type\""},
        {4, "2026/12/08", "write a date-time YYYY-MM-DD hh:mm:ss"},
        {4, "2026-12-08 12:30:45:00", "write a date-time"},
        {4, "2026-12-08~2026-12-01", "the range ends before it begins"},
        {32, "hhh.mm.ss", "write a duration hhh.mm.ss"},
        {32, "000.60.00", "write a duration hhh.mm.ss"},
        {32, "000.02", "write a duration hhh.mm.ss"},
        {48, "000.24.00.00", "write a duration ddd.hh.mm.ss"},
        {48, "000.02.00", "write a duration ddd.hh.mm.ss"},
        {2, "1g", "write the billing-method bits as hexadecimal"},
        {2, "100", "write the billing-method bits as hexadecimal"},
        {-1, "2041", "this column holds no field"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_FALSE(CellCondition::Read(c.field, c.cell, why).has_value()) << c.cell;
        EXPECT_EQ(why.rfind(c.why, 0), 0u) << c.cell << ": " << why;
    }
    // The query holds the cells that can be read and names the others.
    std::vector<CellProblem> problems;
    const CallQuery q = CallQuery::Read({{{3, "2041"}, {1, "x"}}, {}, {{9, "nothing"}}}, problems);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].caseIndex, 0);
    EXPECT_EQ(problems[0].cell, 1u);
    EXPECT_EQ(problems[1].caseIndex, 2);
    EXPECT_EQ(problems[1].cell, 0u);
    EXPECT_TRUE(q.Matches(Record({{3, "2041"}})));
    EXPECT_FALSE(q.Matches(Record({{3, "2042"}})));
}

TEST(CallQuery, CasesAreAlternativesAndTheCellsOfACaseMustAllHold) {
    std::vector<CellProblem> problems;
    const CallQuery q = CallQuery::Read(
        {{{3, "2041"}, {9, "ISD Call"}}, {}, {{6, "00?"}, {3, ""}}}, problems);
    ASSERT_TRUE(problems.empty());
    struct Case {
        const char *calling, *type, *dialled;
        bool match;
    };
    const Case records[] = {
        {"2041", "ISD Call", "0044", true},   // both cases
        {"2041", "ISD Call", "123", true},    // the first case
        {"3000", "Local Call", "0033", true}, // the third case
        {"2041", "DDD Call", "123", false},   // the first case lacks a cell, the third too
        {"2042", "ISD Call", "44", false},
    };
    for (const Case& r : records) {
        EXPECT_EQ(q.Matches(Record({{3, r.calling}, {9, r.type}, {6, r.dialled}})), r.match)
            << r.calling << " " << r.type << " " << r.dialled;
    }
    // The empty second case takes nothing; no condition at all takes everything.
    EXPECT_EQ(q.Filter().alternatives.size(), 2u);
    const CallQuery none = CallQuery::Read({{}, {{3, ""}}}, problems);
    EXPECT_TRUE(none.Empty());
    EXPECT_TRUE(none.Matches(Record({{3, "1"}})));
}

TEST(CallQuery, CasesFileKeepsTheCasesByFieldName) {
    const std::vector<std::vector<QueryCell>> cases = {
        {{3, "20?"}, {9, "ISD Call"}}, {}, {{4, "2026-12-01~2026-12-07"}, {-1, "lost"}, {6, ""}}};
    const std::string text = CasesText(cases);
    EXPECT_EQ(text.substr(text.find('\n') + 1),
              "[Case 1]\nCalling Phone Number=20?\nCall Type=ISD Call\n"
              "[Case 3]\nStart Time of Conversation=2026-12-01~2026-12-07\n");
    std::vector<std::vector<QueryCell>> read;
    std::string why;
    ASSERT_TRUE(ReadCasesText(text, read, why)) << why;
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].size(), 2u);
    EXPECT_EQ(read[0][1].field, 9);
    EXPECT_EQ(read[0][1].text, "ISD Call");
    EXPECT_TRUE(read[1].empty());
    EXPECT_EQ(read[2][0].text, "2026-12-01~2026-12-07");

    for (const auto& [bad, reason] : std::map<std::string, std::string>{
             {"Call Type=ISD Call\n", "line 1: a condition before the first \"[Case n]\""},
             {"[Case 1]\r\nCall Typ=ISD Call\r\n", "line 2: \"Call Typ\" is no field"},
             {"[Case 0]\n", "line 1: cases are numbered 1 to 99"},
             {"[Case 1]\n\nno equals sign\n", "line 3: a condition is written"}}) {
        EXPECT_FALSE(ReadCasesText(bad, read, why));
        EXPECT_EQ(why.rfind(reason, 0), 0u) << why;
    }
}

TEST(CallQuery, StartBetweenTakesWholeDays) {
    std::string why;
    const auto week = StartBetween("2026-12-01", "2026-12-07", why);
    ASSERT_TRUE(week) << why;
    EXPECT_TRUE(week->Matches(Record({{4, "2026-12-01 00:00:00"}})));
    EXPECT_TRUE(week->Matches(Record({{4, "2026-12-07 23:59:59"}})));
    EXPECT_FALSE(week->Matches(Record({{4, "2026-12-08 00:00:00"}})));
    const auto since = StartBetween("2026-12-07 12:00:00", "", why);
    ASSERT_TRUE(since) << why;
    EXPECT_FALSE(since->Matches(Record({{4, "2026-12-07 11:59:59"}})));
    EXPECT_TRUE(since->Matches(Record({{4, "2099-01-01 00:00:00"}})));
    EXPECT_FALSE(StartBetween("yesterday", "", why));
    EXPECT_EQ(why.rfind("--from and --to take a date", 0), 0u);
}

}  // namespace
}  // namespace velk
