// The record index in SQLite: rows put in only where missing, and the calls its reports count.
#include "platform/sqlite_record_index.h"

#include <gtest/gtest.h>

#include "core/archive/call_query.h"
#include "core/archive/call_report.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

IndexRow Call(const std::string& start, const std::string& extension, int64_t seconds) {
    IndexRow row;
    row.values[3] = extension;
    row.values[4] = start;
    row.values[32] = seconds;
    row.raw = "040" + extension + start + "00";
    return row;
}

// A record the index holds n copies of lacks its (n+1)-th and later copies only.
TEST(SqliteRecordIndex, OnlyMissingAddsTheCopiesTheIndexLacks) {
    test::TempDir dir;
    SqliteRecordIndex index(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
    const IndexRow call = Call("2026-12-01 10:00:00", "2041", 60);
    std::vector<IndexRow> stored = {call, call};
    ASSERT_TRUE(index.Add(stored)) << index.ErrorText();
    ASSERT_EQ(stored[1].occurrence, 1);

    // Read again from the files: the same record three times, and another one.
    std::vector<IndexRow> again = {call, call, call, Call("2026-12-01 10:00:00", "2042", 60)};
    for (size_t i = 0; i < 3; ++i)
        again[i].occurrence = static_cast<int64_t>(i);
    ASSERT_TRUE(index.Add(again, true)) << index.ErrorText();
    EXPECT_EQ(again[0].id, 0);
    EXPECT_EQ(again[1].id, 0);
    EXPECT_GT(again[2].id, stored[1].id);
    EXPECT_EQ(again[2].occurrence, 2);
    EXPECT_GT(again[3].id, again[2].id);
    EXPECT_EQ(again[3].occurrence, 0);
    EXPECT_EQ(index.Count(), 4);
}

// A start-time range holds both its ends to the second, whether the index counts the calls
// itself (no cases) or the calls are checked one by one against cases.
TEST(SqliteRecordIndex, ReportsCountTheCallsAtBothEndsOfTheirRange) {
    test::TempDir dir;
    SqliteRecordIndex index(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> rows = {
        Call("2026-12-01 09:59:59", "2041", 1), Call("2026-12-01 10:00:00", "2041", 2),
        Call("2026-12-01 12:30:00", "2041", 4), Call("2026-12-01 15:00:00", "2041", 8),
        Call("2026-12-01 15:00:01", "2041", 16)};
    ASSERT_TRUE(index.Add(rows)) << index.ErrorText();
    std::string why;
    const auto start = StartBetween("2026-12-01 10:00:00", "2026-12-01 15:00:00", why);
    ASSERT_TRUE(start) << why;
    std::vector<CellProblem> problems;
    const CallQuery none = CallQuery::Read({}, problems);
    const CallQuery cases = CallQuery::Read({{{3, "20?"}}}, problems);
    ASSERT_TRUE(problems.empty());
    for (const CallQuery* query : {&none, &cases}) {
        SCOPED_TRACE(query == &none ? "without cases" : "with cases");
        std::string error;
        const auto groups = ReportTotals(index, ReportBy::Day, 3, *query, start, error);
        ASSERT_TRUE(groups) << error;
        ASSERT_EQ(groups->size(), 1u);
        EXPECT_EQ((*groups)[0].group, "2026-12-01");
        EXPECT_EQ((*groups)[0].calls, 3);
        EXPECT_EQ((*groups)[0].totalSeconds, 2 + 4 + 8);
        EXPECT_EQ((*groups)[0].longestSeconds, 8);
    }
}

}  // namespace
}  // namespace velk
