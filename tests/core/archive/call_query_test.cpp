#include "core/archive/call_query.h"

#include <gtest/gtest.h>

#include <array>
#include <map>

#include "core/decode/field_names.h"
#include "support/temp_dir.h"

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
        // An 'X' of one end widens that end only.
        {4, "2026-12-01 08:30:00~2026-12-01 17:XX:XX", "2026-12-01 08:00:00", false},
        {4, "2026-12-01 08:30:00~2026-12-01 17:XX:XX", "2026-12-01 08:29:59", false},
        {4, "2026-12-01 08:30:00~2026-12-01 17:XX:XX", "2026-12-01 08:30:00", true},
        {4, "2026-12-01 08:30:00~2026-12-01 17:XX:XX", "2026-12-01 17:59:59", true},
        {4, "2026-12-01 08:30:00~2026-12-01 17:XX:XX", "2026-12-01 18:00:00", false},
        {4, "2026-12-01 08:XX:XX~2026-12-01 17:30:00", "2026-12-01 08:00:00", true},
        {4, "2026-12-01 08:XX:XX~2026-12-01 17:30:00", "2026-12-01 17:30:01", false},
        {4, "2026-12-01 08:XX:XX~2026-12-01 17:30:00", "2026-12-01 07:59:59", false},
        // 'X' takes any character, also one that is no digit (a garbled record).
        {4, "2026-12-01", "2026-12-01 A0:15:00", true},
        {4, "2026-12-01~2026-12-02", "2026-12-01 A0:15:00", true},
        {4, "XXXX-XX-XX 08:00:00~XXXX-XX-XX 17:00:00", "20A6-1?-01 08:00:00", true},
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
        {4, "2026-13-01", "there is no such date or time"},
        {4, "2026-00", "there is no such date or time"},
        {4, "2026-02-29", "there is no such date or time"},
        {4, "XXXX-02-30", "there is no such date or time"},
        {4, "XXXX-04-31", "there is no such date or time"},
        {4, "2026-12-32", "there is no such date or time"},
        {4, "2026-12-01 24", "there is no such date or time"},
        {4, "XXXX-XX-XX XX:60", "there is no such date or time"},
        {4, "2026-12-01~2026-12-01 23:59:60", "there is no such date or time"},
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

TEST(CallQuery, DatesThatExistAreTaken) {
    for (const char* cell : {"2028-02-29", "2000-02-29", "XXXX-02-29", "2026-12-31 23:59:59",
                             "2026-XX-31", "XXXX-XX-XX 00:00:00"}) {
        std::string why;
        EXPECT_TRUE(CellCondition::Read(4, cell, why)) << cell << ": " << why;
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

TEST(CallQuery, EachEndOfStartBetweenKeepsItsOwnPrecision) {
    std::string why;
    // From a time of the day to that whole day, and from the whole day to a time of it.
    const auto fromEight = StartBetween("2026-12-01 08:00:00", "2026-12-01", why);
    ASSERT_TRUE(fromEight) << why;
    EXPECT_FALSE(fromEight->Matches(Record({{4, "2026-12-01 07:59:59"}})));
    EXPECT_TRUE(fromEight->Matches(Record({{4, "2026-12-01 08:00:00"}})));
    EXPECT_TRUE(fromEight->Matches(Record({{4, "2026-12-01 23:59:59"}})));
    EXPECT_FALSE(fromEight->Matches(Record({{4, "2026-12-02 00:00:00"}})));
    const auto toFive = StartBetween("2026-12-01", "2026-12-01 17:00:00", why);
    ASSERT_TRUE(toFive) << why;
    EXPECT_TRUE(toFive->Matches(Record({{4, "2026-12-01 00:00:00"}})));
    EXPECT_TRUE(toFive->Matches(Record({{4, "2026-12-01 17:00:00"}})));
    EXPECT_FALSE(toFive->Matches(Record({{4, "2026-12-01 17:00:01"}})));
    EXPECT_FALSE(toFive->Matches(Record({{4, "2026-11-30 23:59:59"}})));
    const auto open = StartBetween("", "2026-12-01", why);
    ASSERT_TRUE(open) << why;
    EXPECT_TRUE(open->Matches(Record({{4, "1999-01-01 00:00:00"}})));
    EXPECT_FALSE(open->Matches(Record({{4, "2026-12-02 00:00:00"}})));

    // Only dates and date-times that exist, written in full.
    for (const auto& [from, to, reason] : std::vector<std::array<const char*, 3>>{
             {"2026-13-45", "", "'2026-13-45' is no such date or time"},
             {"2026-02-29", "", "'2026-02-29' is no such date or time"},
             {"", "2026-12-01 25:00:00", "'2026-12-01 25:00:00' is no such date or time"},
             {"2026-12", "", "'2026-12' is neither"},
             {"2026-12-XX", "", "'2026-12-XX' is neither"},
             {"2026-12-01 08:00", "", "'2026-12-01 08:00' is neither"},
             {"2026-12-01~2026-12-02", "", "'2026-12-01~2026-12-02' is neither"},
             {"2026-12-02", "2026-12-01", "the range ends before it begins"}}) {
        EXPECT_FALSE(StartBetween(from, to, why)) << from << " " << to;
        EXPECT_EQ(why, std::string("--from and --to take a date YYYY-MM-DD or a date-time "
                                   "YYYY-MM-DD hh:mm:ss: ") +
                           reason);
    }
}

// How a database compares a range's ends with a value: texts byte by byte, the text shorter
// when one begins the other.
bool InRange(const IndexRange& r, const std::string& text) {
    const auto* low = std::get_if<std::string>(&r.low);
    const auto* high = std::get_if<std::string>(&r.high);
    if (!std::holds_alternative<std::monostate>(r.low) && (low == nullptr || text < *low))
        return false;
    if (!std::holds_alternative<std::monostate>(r.high) && (high == nullptr || text > *high))
        return false;
    return true;
}

TEST(CallQuery, TheIndexRangeHoldsEveryStartTheConditionTakes) {
    // Starts as records give them, garbled ones among them: any character can stand in a
    // record's date and time.
    std::vector<std::string> starts = {"2026-12-01 00:00:00", "2026-12-01 08:00:00",
                                       "2026-12-01 17:59:59", "2026-12-01 23:59:59",
                                       "2026-11-30 23:59:59", "2026-12-02 00:00:00"};
    for (const char* garbled :
         {"2026-12-01 A0:15:00", "2026-12-0A 10:00:00", "2026-1A-01 10:00:00",
          "A026-12-01 10:00:00", "2026-12-01 08:0?:00", "2026-12-01 ~~:00:00"})
        starts.emplace_back(garbled);
    for (char c : std::string("\x01 0:9A\x7f\x80\xff", 9)) {
        for (size_t at : {0u, 3u, 8u, 9u, 11u, 12u, 18u}) {
            std::string s = "2026-12-01 08:30:00";
            s[at] = c;
            starts.push_back(s);
        }
    }
    const char* cells[] = {"2026-12-01",
                           "2026-12",
                           "2026-12-01 08:30:00",
                           "2026-12-01 08:30:00~2026-12-01 17:XX:XX",
                           "2026-12-01 XX:XX:XX~2026-12-02 XX:XX:XX",
                           "XXXX-XX-XX 08:00:00~XXXX-XX-XX 17:00:00",
                           "XXXX-12-01",
                           "2026-XX-01 08:00:00",
                           "XXXX-XX-XX XX:XX:XX",
                           "2026-12-01 08:XX:00~2026-12-01 09:XX:00"};
    std::vector<CellCondition> conditions;
    for (const char* cell : cells) {
        std::string why;
        auto c = CellCondition::Read(4, cell, why);
        ASSERT_TRUE(c) << cell << ": " << why;
        conditions.push_back(std::move(*c));
    }
    std::string why;
    for (const auto& [from, to] :
         std::vector<std::pair<const char*, const char*>>{{"2026-12-01", "2026-12-01"},
                                                          {"2026-12-01 08:00:00", "2026-12-01"},
                                                          {"2026-12-01", "2026-12-01 17:00:00"},
                                                          {"2026-12-01 08:00:00", ""},
                                                          {"", "2026-12-01"}}) {
        auto c = StartBetween(from, to, why);
        ASSERT_TRUE(c) << why;
        EXPECT_TRUE(c->RangeIsExact()) << from << "~" << to;
        conditions.push_back(std::move(*c));
    }
    int taken = 0;
    for (const CellCondition& c : conditions) {
        const std::vector<IndexRange> ranges = c.Ranges();
        ASSERT_EQ(ranges.size(), 1u);
        for (const std::string& start : starts) {
            const bool matches = c.Matches(Record({{4, start}}));
            taken += matches ? 1 : 0;
            // The narrowing may take more than the condition, never less; where it says it is
            // exact, it takes the same.
            if (matches) {
                EXPECT_TRUE(InRange(ranges[0], start)) << start;
            }
            if (c.RangeIsExact()) {
                EXPECT_EQ(InRange(ranges[0], start), matches) << start;
            }
        }
    }
    EXPECT_GT(taken, 100);
    // Office hours leave out the date: no range of start texts holds them exactly.
    EXPECT_FALSE(conditions[5].RangeIsExact());
}

TEST(CallQuery, ACasesFileMayBeginWithAByteOrderMarkAndMustBeAFile) {
    std::vector<std::vector<QueryCell>> cases;
    std::string why;
    ASSERT_TRUE(ReadCasesText("\xEF\xBB\xBF[Case 1]\r\nCall Type=ISD Call\r\n", cases, why)) << why;
    ASSERT_EQ(cases.size(), 1u);
    EXPECT_EQ(cases[0][0].field, 9);
    EXPECT_FALSE(ReadCasesText("[Case 1]\n\xEF\xBB\xBF[Case 2]\n", cases, why));
    EXPECT_EQ(why.rfind("line 2: ", 0), 0u) << why;

    test::TempDir dir;
    test::WriteFile(dir / "a.cases", "\xEF\xBB\xBF[Case 2]\nCalling Phone Number=20?\n");
    ASSERT_TRUE(ReadCasesFile(dir / "a.cases", cases, why)) << why;
    ASSERT_EQ(cases.size(), 2u);
    EXPECT_EQ(cases[1][0].text, "20?");
    EXPECT_FALSE(ReadCasesFile(dir.Path(), cases, why));
    EXPECT_EQ(why, "it is a directory, not a cases file");
    EXPECT_TRUE(cases.empty());
    EXPECT_FALSE(ReadCasesFile(dir / "none.cases", cases, why));
    EXPECT_EQ(why, "there is no such file");
}

}  // namespace
}  // namespace velk
