// The report totals the SQLite record index keeps per day: every report gives the figures that
// counting the calls one by one gives, whatever its range, and an older index gets them when a
// writer opens it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "platform/sqlite_record_index.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

IndexRow Call(const IndexValue& start, const IndexValue& extension, const IndexValue& dialled,
              const IndexValue& seconds, int64_t trunk, int64_t answered, int n) {
    IndexRow row;
    row.values[3] = extension;
    row.values[4] = start;
    row.values[6] = dialled;
    row.values[9] = static_cast<int64_t>(n % 4);
    row.values[32] = seconds;
    row.values[kTrunkColumn] = trunk;
    row.values[kAnsweredColumn] = answered;
    row.raw = "040call" + std::to_string(n) + "00";
    return row;
}

// Calls at the edges of days and hours, without a start, with a start cut short, durations
// unknown and negative, extensions absent, as a number and as text.
std::vector<IndexRow> EdgeCalls() {
    std::vector<IndexRow> rows;
    const std::vector<std::string> starts = {
        "2026-11-30 23:59:59", "2026-12-01 00:00:00", "2026-12-01 00:00:01",
        "2026-12-01 11:59:59", "2026-12-01 12:00:00", "2026-12-01 23:59:59",
        "2026-12-02 00:00:00", "2026-12-02 08:30:00", "2026-12-03 17:00:00",
        "2026-12-03 23:59:59", "2026-12-04 00:00:00", "2026-12",
        "2026-12-02"};
    int n = 0;
    for (const std::string& start : starts) {
        for (int i = 0; i < 3; ++i, ++n) {
            const IndexValue extension = i == 0   ? IndexValue(std::string("2041"))
                                         : i == 1 ? IndexValue(int64_t{2041})
                                                  : IndexValue(std::string("30") +
                                                               std::to_string(n % 5));
            const IndexValue seconds = n % 7 == 0   ? IndexValue(std::string("???:??:??"))
                                       : n % 11 == 0 ? IndexValue(int64_t{-5})
                                                     : IndexValue(int64_t{n * 13 % 900});
            rows.push_back(Call(start, extension, std::string("0044") + std::to_string(n % 9 * 7),
                                seconds, n % 3, n % 2, n));
        }
    }
    rows.push_back(Call({}, {}, {}, {}, 5, 1, 100));
    rows.push_back(Call({}, std::string("2041"), std::string("9"), int64_t{40}, 5, 0, 101));
    rows.push_back(Call(std::string("2026-12-02 10:00:00"), {}, std::string(""), int64_t{7}, 1, 1,
                        102));
    return rows;
}

struct Asked {
    ReportBy by;
    int prefixDigits;
};

const std::vector<Asked>& EveryReport() {
    static const std::vector<Asked> asked = {
        {ReportBy::Extension, 3}, {ReportBy::Trunk, 3},        {ReportBy::CallType, 3},
        {ReportBy::Hour, 3},      {ReportBy::Day, 3},          {ReportBy::DialledPrefix, 1},
        {ReportBy::DialledPrefix, 3}, {ReportBy::DialledPrefix, 4}, {ReportBy::DialledPrefix, 6},
        {ReportBy::Site, 3}};
    return asked;
}

const std::vector<std::string>& Ends() {
    static const std::vector<std::string> ends = {
        "",           "2026-11-30 23:59:59", "2026-12-01",          "2026-12-01 00:00:00",
        "2026-12-01 00:00:01", "2026-12-01 12:00:00", "2026-12-01 23:59:59", "2026-12-02",
        "2026-12-02 00:00:00", "2026-12-03 23:59:59", "2026-12",             "2026-12-04 00:00:00",
        "2027"};
    return ends;
}

// 1 when every call is counted in the kept totals.
constexpr const char* kCounted =
    "SELECT sound = 1 AND next_id >= end_id AND counted_to > (SELECT coalesce(max(id), 0) FROM "
    "calls) FROM call_totals_state";

void SetSound(const std::filesystem::path& file, int sound) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    const std::string sql = "UPDATE call_totals_state SET sound = " + std::to_string(sound);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

int64_t Number(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    int64_t n = -1;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return n;
}

// An index of the edge calls, made by this VELK and then taken back to what an older one kept by
// `older` (statements run on it).
void MakeOlderIndex(const std::filesystem::path& file, const std::string& older) {
    SqliteRecordIndex made(file, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> rows = EdgeCalls();
    ASSERT_TRUE(made.Add(rows)) << made.ErrorText();
    ASSERT_TRUE(made.Execute(older));
}

// The edge calls again, as other calls.
std::vector<IndexRow> LaterCalls() {
    std::vector<IndexRow> later = EdgeCalls();
    for (IndexRow& row : later)
        row.raw += "later";
    return later;
}

using Answers = std::vector<std::vector<GroupTotals>>;

// Every report over every range of the ends, as the index answers it now.
Answers EveryAnswer(const std::filesystem::path& file) {
    SqliteRecordIndex reader(file, SqliteRecordIndex::Mode::Read);
    Answers answers;
    for (const Asked& a : EveryReport()) {
        for (const std::string& from : Ends()) {
            for (const std::string& to : Ends()) {
                auto totals = reader.Totals(a.by, a.prefixDigits, from, to);
                EXPECT_TRUE(totals) << reader.ErrorText();
                answers.push_back(totals ? *totals : std::vector<GroupTotals>{});
            }
        }
    }
    return answers;
}

// Both ways of counting give the same answers, report by report.
void ExpectSameAnswers(const Answers& kept, const Answers& counted) {
    ASSERT_EQ(kept.size(), counted.size());
    size_t at = 0, groups = 0;
    for (const Asked& a : EveryReport()) {
        for (const std::string& from : Ends()) {
            for (const std::string& to : Ends()) {
                EXPECT_EQ(kept[at], counted[at])
                    << "report " << static_cast<int>(a.by) << "/" << a.prefixDigits << " from '"
                    << from << "' to '" << to << "'";
                groups += counted[at].size();
                ++at;
            }
        }
    }
    // The ranges hold calls, not only nothing.
    EXPECT_GT(groups, 1000u);
}

TEST(SqliteReportTotals, EveryReportCountsAsTheCallsDoOverAnyRange) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> rows = EdgeCalls();
    ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
    // Added one by one as the collector adds them, too.
    for (IndexRow row : EdgeCalls()) {
        row.raw += "again";
        std::vector<IndexRow> one = {row};
        ASSERT_TRUE(writer.Add(one)) << writer.ErrorText();
    }
    ASSERT_EQ(Number(file, kCounted), 1);
    ASSERT_GT(Number(file, "SELECT count(*) FROM call_totals"), 0);
    const Answers kept = EveryAnswer(file);
    SetSound(file, 0);
    const Answers counted = EveryAnswer(file);
    ExpectSameAnswers(kept, counted);
}

// A call changed under the index (by hand: VELK changes none) leaves the kept totals unused
// until a writer opens the index and they are counted again.
TEST(SqliteReportTotals, AChangedCallHasTheTotalsCountedAgain) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    {
        SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = EdgeCalls();
        ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
        ASSERT_TRUE(writer.Execute("UPDATE calls SET \"" + IndexColumnName(4) +
                                   "\" = '2026-12-09 10:00:00' WHERE id % 2 = 0"));
    }
    EXPECT_EQ(Number(file, "SELECT sound FROM call_totals_state"), 0);
    const Answers counted = EveryAnswer(file);
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    ASSERT_TRUE(writer.Open()) << writer.ErrorText();
    EXPECT_EQ(Number(file, "SELECT sound FROM call_totals_state"), 1);
    size_t steps = 0;
    do
        ++steps;
    while (writer.CountSomeTotals(7));
    EXPECT_EQ(steps, (EdgeCalls().size() + 6) / 7);
    EXPECT_EQ(Number(file, kCounted), 1);
    ExpectSameAnswers(EveryAnswer(file), counted);
}

// An index of the previous schema is read as it is, and gets the totals of the calls it holds
// after a writer opens it, counted in steps; calls added meanwhile count in them once.
TEST(SqliteReportTotals, AnOlderIndexGetsTheTotalsOfItsCalls) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    MakeOlderIndex(file,
                   "DROP TRIGGER call_totals_changed; DROP TRIGGER call_totals_behind; "
                   "DROP TRIGGER call_totals_removed; DROP TABLE call_totals; "
                   "DROP TABLE call_totals_state; PRAGMA user_version = 2");
    const Answers before = EveryAnswer(file);
    EXPECT_EQ(Number(file, "PRAGMA user_version"), 2);
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    ASSERT_TRUE(writer.Open()) << writer.ErrorText();
    EXPECT_EQ(Number(file, "PRAGMA user_version"), SqliteRecordIndex::kSchemaVersion);
    // The calls it holds are counted in steps; until then the reports read the calls.
    EXPECT_EQ(Number(file, kCounted), 0);
    ExpectSameAnswers(EveryAnswer(file), before);
    ASSERT_TRUE(writer.CountSomeTotals(10));

    // Calls added meanwhile count once, at the commit that adds them.
    std::vector<IndexRow> later = LaterCalls();
    // The writer's commit counts a step of them (the rest, here) as well.
    ASSERT_TRUE(writer.Add(later)) << writer.ErrorText();
    EXPECT_EQ(Number(file, kCounted), 1);
    // A group's day has one row, however many steps counted it.
    EXPECT_EQ(Number(file, "SELECT count(*) FROM (SELECT 1 FROM call_totals GROUP BY kind, day, "
                           "grp HAVING count(*) > 1)"),
              0);
    EXPECT_EQ(Number(file, "SELECT sum(calls) FROM call_totals WHERE kind = 0"),
              static_cast<int64_t>(2 * EdgeCalls().size()));
    const Answers kept = EveryAnswer(file);
    SetSound(file, 0);
    ExpectSameAnswers(kept, EveryAnswer(file));
    EXPECT_NE(kept, before);
}

// An index of schema 4 counted every call through a trigger as it came: its totals are taken as
// they are, and the calls added after count once, by the commits.
TEST(SqliteReportTotals, AnIndexThatCountedThroughATriggerCountsEachCallOnce) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    // The trigger as schema 4 had it, in effect: each call added counts 1000 times more.
    MakeOlderIndex(file,
                   "DROP TRIGGER call_totals_behind; "
                   "ALTER TABLE call_totals_state DROP COLUMN counted_to; "
                   "CREATE TRIGGER call_totals_add AFTER INSERT ON calls BEGIN "
                   "UPDATE call_totals SET calls = calls + 1000; END; PRAGMA user_version = 4");
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> later = LaterCalls();
    ASSERT_TRUE(writer.Add(later)) << writer.ErrorText();
    EXPECT_EQ(Number(file, "PRAGMA user_version"), SqliteRecordIndex::kSchemaVersion);
    EXPECT_EQ(Number(file, kCounted), 1);
    EXPECT_EQ(Number(file, "SELECT sum(calls) FROM call_totals WHERE kind = 0"),
              static_cast<int64_t>(2 * EdgeCalls().size()));
    const Answers kept = EveryAnswer(file);
    SetSound(file, 0);
    ExpectSameAnswers(kept, EveryAnswer(file));
}

// A call put into the index by another program is not in the kept totals until a writer's next
// commit counts it: meanwhile the reports read the calls, and count it. One put in below the
// counted ids has the totals counted again.
TEST(SqliteReportTotals, ACallAddedByHandCountsFromTheNextCommitOn) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> rows = EdgeCalls();
    ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
    const std::string start = "\"" + IndexColumnName(4) + "\"";
    const std::string extension = "\"" + IndexColumnName(3) + "\"";
    ASSERT_TRUE(writer.Execute("INSERT INTO calls (occurrence, " + extension + ", " + start +
                               ", raw, hex_type, source, stored_at, raw_hash) VALUES (0, 7777, "
                               "'2026-12-01 09:00:00', 'by hand', 0, 0, 0, 1)"));
    EXPECT_EQ(Number(file, kCounted), 0);
    SqliteRecordIndex reader(file, SqliteRecordIndex::Mode::Read);
    // The calls of extension 7777, as a report over every day gives them.
    const auto byHand = [&reader] {
        const auto totals = reader.Totals(ReportBy::Extension, 3, "", "");
        int64_t calls = 0;
        for (const GroupTotals& g : totals.value_or(std::vector<GroupTotals>{}))
            calls += g.group == "7777" ? g.calls : 0;
        return calls;
    };
    EXPECT_EQ(byHand(), 1);
    std::vector<IndexRow> more = {EdgeCalls().front()};
    more.front().raw += "more";
    ASSERT_TRUE(writer.Add(more)) << writer.ErrorText();
    EXPECT_EQ(Number(file, kCounted), 1);
    EXPECT_EQ(Number(file, "SELECT sum(calls) FROM call_totals WHERE kind = 0 AND grp = 7777"), 1);
    EXPECT_EQ(byHand(), 1);

    // Put back in place of a counted call, with that call's id: the totals are counted again.
    ASSERT_TRUE(writer.Execute("INSERT OR REPLACE INTO calls (id, occurrence, " + extension + ", " +
                               start + ", raw, hex_type, source, stored_at, raw_hash) VALUES (1, "
                               "0, 7777, '2026-12-01 09:30:00', 'restored', 0, 0, 0, 2)"));
    EXPECT_EQ(Number(file, kCounted), 0);
    EXPECT_EQ(byHand(), 2);
    SqliteRecordIndex next(file, SqliteRecordIndex::Mode::Write);
    ASSERT_TRUE(next.Open()) << next.ErrorText();
    while (next.CountSomeTotals(1000)) {
    }
    EXPECT_EQ(Number(file, kCounted), 1);
    EXPECT_EQ(byHand(), 2);
}

// The kept totals row by row, each value with its type, in key order.
std::string KeptTotals(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    std::string rows;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "SELECT kind, quote(day), quote(grp), calls, quote(answered), "
                           "quote(seconds), longest FROM call_totals ORDER BY kind, day, grp",
                           -1, &s, nullptr) == SQLITE_OK) {
        while (sqlite3_step(s) == SQLITE_ROW) {
            for (int c = 0; c < 7; ++c) {
                const auto* text = sqlite3_column_text(s, c);
                rows += std::string(text != nullptr ? reinterpret_cast<const char*>(text) : "") +
                        (c < 6 ? "|" : "\n");
            }
        }
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return rows;
}

// The groups of a commit's calls are counted as the calls go in, not read back: they are what
// counting the calls gives, to the type of every value, whatever the calls hold: starts and
// dialled numbers as numbers, with bytes beyond ASCII or a zero byte (where SQLite counts
// characters), an answered flag kept as text, durations at the ends of what counts.
TEST(SqliteReportTotals, TheTotalsCountedAtEachCommitAreThoseOfTheCalls) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    std::vector<IndexRow> odd = {
        Call(int64_t{20261201}, int64_t{2041}, int64_t{441234}, int64_t{1}, 1, 1, 200),
        Call(std::string("2026-12-0\xC3\xA9 10:00:00"), std::string("20\xC3\xA9"),
             std::string("00\xC3\xA9" "44"), int64_t{999999999999}, 2, 1, 201),
        Call(std::string("2026-12-01\0 10:00:00", 20), std::string("2041"),
             std::string("0044\x01"), int64_t{1000000000000}, 2, 0, 202),
        Call(std::string("2026-12-01 23:00:00"), std::string("2041"), std::string("0044"),
             int64_t{0}, 2, 0, 203),
        Call(std::string("2026-12-01 23:00:00"), std::string("2041"), std::string("0044"),
             int64_t{999999999999}, 2, 1, 205),
        Call(std::string("2026-12-01 23:00:00"), std::string("2041"), std::string("0044"),
             int64_t{1000000000000}, 2, 1, 206),
        Call(std::string("2026-12-01 23:00:00"), std::string("2041"), std::string("0044"),
             int64_t{30}, 2, 0, 204)};
    odd.back().values[kAnsweredColumn] = std::string("1");
    {
        SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = EdgeCalls();
        ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
        for (const IndexRow& row : odd) {
            std::vector<IndexRow> one = {row};
            ASSERT_TRUE(writer.Add(one)) << writer.ErrorText();
        }
        for (IndexRow& row : odd)
            row.raw += "together";
        ASSERT_TRUE(writer.Add(odd)) << writer.ErrorText();
    }
    ASSERT_EQ(Number(file, kCounted), 1);
    const std::string counted = KeptTotals(file);
    SetSound(file, 0);
    SqliteRecordIndex recount(file, SqliteRecordIndex::Mode::Write);
    ASSERT_TRUE(recount.Open()) << recount.ErrorText();
    while (recount.CountSomeTotals(1000)) {
    }
    ASSERT_EQ(Number(file, kCounted), 1);
    EXPECT_EQ(counted, KeptTotals(file));
    EXPECT_NE(counted.find("X''"), std::string::npos);  // absent days and groups are there
}

}  // namespace
}  // namespace velk
