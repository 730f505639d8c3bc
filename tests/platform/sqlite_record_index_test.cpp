// The record index in SQLite: rows put in only where missing, and the calls its reports count.
#include "platform/sqlite_record_index.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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

// Another program's short transaction is waited for; one longer than the wait fails, and says so.
TEST(SqliteRecordIndex, AWriterWaitsForAnotherProgramsTransaction) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    ASSERT_TRUE(writer.Open()) << writer.ErrorText();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    std::vector<IndexRow> rows = {Call("2026-12-01 10:00:00", "2041", 60)};
    EXPECT_TRUE(writer.Add(rows)) << writer.ErrorText();
    release.join();

    writer.SetBusyTimeout(300);
    writer.Close();
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_FALSE(writer.Begin());
    EXPECT_FALSE(writer.Damaged());
    EXPECT_NE(writer.ErrorText().find("database is locked"), std::string::npos)
        << writer.ErrorText();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(writer.Count(), 1);
}

// A database deleted, or replaced by another, under the open connection: the next transaction
// opens the one there now (made anew when there is none) and says so once; the log of the deleted
// one, still beside it, never gets into the new one.
TEST(SqliteRecordIndex, ADatabaseDeletedOrReplacedIsOpenedAnew) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    SqliteRecordIndex reader(file, SqliteRecordIndex::Mode::Read);
    std::vector<IndexRow> rows = {Call("2026-12-01 10:00:00", "2041", 60),
                                  Call("2026-12-01 10:01:00", "2042", 60)};
    ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
    ASSERT_TRUE(writer.Begin());
    ASSERT_TRUE(writer.SetMark({"20261201.raw", {1, 2}, 99, false, 0}));
    ASSERT_TRUE(writer.Commit());
    EXPECT_EQ(reader.Count(), 2);
    EXPECT_FALSE(writer.Renewed());
    ASSERT_TRUE(std::filesystem::exists(file.string() + "-wal"));

    std::filesystem::remove(file);
    ASSERT_TRUE(writer.Begin()) << writer.ErrorText();
    std::optional<FileMark> mark;
    ASSERT_TRUE(writer.Mark("20261201.raw", mark));
    EXPECT_FALSE(mark);
    std::vector<IndexRow> one = {Call("2026-12-01 11:00:00", "3000", 5)};
    ASSERT_TRUE(writer.Insert(one, false));
    ASSERT_TRUE(writer.Commit());
    EXPECT_TRUE(writer.Renewed());
    EXPECT_FALSE(writer.Renewed());
    EXPECT_EQ(writer.Count(), 1);
    EXPECT_TRUE(writer.Sound());
    EXPECT_EQ(reader.Count(), 1);
    EXPECT_TRUE(reader.Renewed());

    // Replaced by another program's (velk-index rebuild setting a damaged one aside).
    {
        SqliteRecordIndex rebuild(file, SqliteRecordIndex::Mode::Write);
        std::string where;
        ASSERT_TRUE(rebuild.SetAside(where)) << rebuild.ErrorText();
        ASSERT_TRUE(rebuild.Add(rows)) << rebuild.ErrorText();
    }
    EXPECT_EQ(writer.Count(), 2);
    EXPECT_TRUE(writer.Renewed());
    std::vector<IndexRow> later = {Call("2026-12-01 12:00:00", "3001", 5)};
    ASSERT_TRUE(writer.Add(later)) << writer.ErrorText();
    // The last connection to the one set aside goes only now: it leaves the new one's log alone.
    EXPECT_EQ(reader.Count(), 3);
    EXPECT_TRUE(writer.Sound());
    EXPECT_EQ(SqliteRecordIndex(file, SqliteRecordIndex::Mode::Read).Count(), 3);
}

// An index of the first schema gets what the marks need, and keeps its rows.
TEST(SqliteRecordIndex, AnOlderIndexIsBroughtUpToTheSchemaAndKeepsItsRows) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    {
        SqliteRecordIndex made(file, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = {Call("2026-12-01 10:00:00", "2041", 60)};
        ASSERT_TRUE(made.Add(rows));
        ASSERT_TRUE(made.Execute("DROP TABLE followed_files; DROP TABLE server_marks; "
                                 "PRAGMA user_version = 1"));
    }
    SqliteRecordIndex reader(file, SqliteRecordIndex::Mode::Read);
    EXPECT_EQ(reader.Count(), 1);
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    std::vector<FileMark> marks;
    ASSERT_TRUE(writer.Marks(marks)) << writer.ErrorText();
    EXPECT_TRUE(marks.empty());
    EXPECT_EQ(writer.Count(), 1);
    ASSERT_TRUE(writer.SetServerMark("Site A", 1, 77));
    int64_t through = 0, fingerprint = 0;
    ASSERT_TRUE(reader.ServerMark("Site A", through, fingerprint));
    EXPECT_EQ(through, 1);
    EXPECT_EQ(fingerprint, 77);
}

// Damage that a write meets is told apart from a lock; set aside, a new empty index takes its
// place, the copies numbered.
TEST(SqliteRecordIndex, DamageMetByAWriteIsSetAsideForANewIndex) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    SqliteRecordIndex writer(file, SqliteRecordIndex::Mode::Write);
    for (int round = 1; round <= 2; ++round) {
        std::vector<IndexRow> rows;
        for (int i = 0; i < 300; ++i)
            rows.push_back(Call("2026-12-01 10:00:00", std::to_string(2000 + i), i));
        ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
        ASSERT_TRUE(writer.Execute("PRAGMA wal_checkpoint(TRUNCATE)"));
        writer.Close();
        // 40 KiB of garbage after the first page: the tables' and indexes' roots.
        {
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(4096);
            const std::string garbage(40960, '\x5a');
            f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
        }
        std::vector<IndexRow> more = {Call("2026-12-02 10:00:00", "2041", 1)};
        EXPECT_FALSE(writer.Add(more));
        EXPECT_TRUE(writer.Damaged()) << writer.ErrorText();
        std::string where;
        ASSERT_TRUE(writer.SetAside(where)) << writer.ErrorText();
        EXPECT_EQ(where, file.string() + (round == 1 ? ".damaged" : ".damaged2"));
        EXPECT_TRUE(std::filesystem::exists(where));
        EXPECT_EQ(writer.Count(), 0);
        EXPECT_FALSE(writer.Renewed());
    }
}

// VELK.db deleted under two writing connections of one program (the collector's and its
// sender's) while its log holds rows: the first to notice makes the new database, with a log and a
// shared memory of its own; the other, closing on the deleted one, never writes into them.
TEST(SqliteRecordIndex, ADatabaseDeletedUnderTwoConnectionsGetsALogOfItsOwn) {
    test::TempDir dir;
    const auto file = dir / kRecordIndexFile;
    const auto calls = [](int from, int n) {
        std::vector<IndexRow> rows;
        for (int i = from; i < from + n; ++i)
            rows.push_back(Call("2026-12-01 10:00:00", std::to_string(2000 + i), i));
        return rows;
    };
    SqliteRecordIndex first(file, SqliteRecordIndex::Mode::Write);
    SqliteRecordIndex second(file, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> rows = calls(0, 400);
    ASSERT_TRUE(first.Add(rows)) << first.ErrorText();
    rows = calls(400, 400);
    ASSERT_TRUE(second.Add(rows)) << second.ErrorText();
    const std::string shm = file.string() + "-shm";
    struct stat before {};
    ASSERT_EQ(::stat(shm.c_str(), &before), 0);

    std::filesystem::remove(file);
    rows = calls(1000, 300);
    ASSERT_TRUE(first.Add(rows)) << first.ErrorText();
    struct stat after {};
    ASSERT_EQ(::stat(shm.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    rows = calls(2000, 300);
    ASSERT_TRUE(second.Add(rows)) << second.ErrorText();
    EXPECT_TRUE(second.Renewed());
    rows = calls(3000, 300);
    ASSERT_TRUE(first.Add(rows)) << first.ErrorText();
    first.Close();
    second.Close();
    SqliteRecordIndex fresh(file, SqliteRecordIndex::Mode::Write);
    EXPECT_TRUE(fresh.Sound()) << fresh.ErrorText();
    EXPECT_EQ(fresh.Count(), 900);
}

}  // namespace
}  // namespace velk
