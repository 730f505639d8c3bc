// The record index in SQLite as its readers meet it: a billing user who may read the files and
// create none, with the collector stopped or running; calls in start-time order; starts that a
// garbled record gives; the texts of codes; the rebuild's counting of identical records.
#include "platform/sqlite_record_index.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator counts what is held (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/archive/call_report.h"
#include "core/archive/call_indexer.h"
#include "core/decode/record_builder.h"
#include "core/link/link_fakes.h"
#include "platform/sqlite_occurrence_counter.h"
#include "support/ordinary_user.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

IndexRow Row(const std::string& start, const std::string& calling, int64_t seconds = 60) {
    IndexRow row;
    row.values[3] = calling;
    row.values[4] = start;
    row.values[32] = seconds;
    row.values[kAnsweredColumn] = int64_t{1};
    row.raw = "052" + calling + start;
    return row;
}

// The directory and files as the service leaves them: a group member may read them, nobody but
// their owner may write them or create files beside them. As root the owner is root and the
// group that of the ordinary user; otherwise the owner is the ordinary user, who then may not
// write either.
class GroupReader : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = ::geteuid() == 0;
        db_ = dir_ / kRecordIndexFile;
        // The writer's files take the database file's owner, group and mode.
        test::WriteFile(db_, "");
        Share(db_, 0640);
        ::umask(027);
    }
    void TearDown() override {
        ::umask(022);
        ::chmod(dir_.Path().c_str(), 0700);
    }
    void Share(const std::filesystem::path& path, mode_t mode) {
        if (root_) {
            ASSERT_EQ(::chown(path.c_str(), 0, test::OrdinaryUid()), 0);
        }
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }
    // The directory closed to writing, for the time of a read.
    void CloseDirectory() { Share(dir_.Path(), root_ ? 0750 : 0550); }

    // What a reader as the ordinary user finds: the number of calls, or -1 and what failed.
    int64_t CallsSeen(std::string& error) {
        std::FILE* out = std::tmpfile();
        const int code = test::AsOrdinaryUser([&] {
            SqliteRecordIndex index(db_, SqliteRecordIndex::Mode::Read);
            std::vector<CellProblem> problems;
            const FoundCalls found =
                FindCalls(index, CallQuery::Read({}, problems), std::nullopt, 10);
            std::fprintf(out, "%lld %s", static_cast<long long>(found.ok ? found.count : -1),
                         found.error.c_str());
            std::fflush(out);
            return found.ok ? 0 : 1;
        });
        std::rewind(out);
        char text[1024] = {};
        const size_t n = std::fread(text, 1, sizeof text - 1, out);
        std::fclose(out);
        const std::string answer(text, n);
        error = answer.substr(answer.find(' ') + 1);
        return code == 0 ? std::stoll(answer) : -1;
    }

    bool root_ = false;
    test::TempDir dir_;
    std::filesystem::path db_;
};

TEST_F(GroupReader, ReadsWithTheCollectorStoppedAndRunning) {
    {
        SqliteRecordIndex writer(db_, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = {Row("2026-12-01 08:00:00", "2041"),
                                      Row("2026-12-01 09:00:00", "2042")};
        ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
    }
    // The writer keeps its log files in place, with the database's access.
    for (const char* extra : {"-wal", "-shm"}) {
        struct stat st {};
        ASSERT_EQ(::stat((db_.string() + extra).c_str(), &st), 0) << extra;
        EXPECT_EQ(st.st_mode & 0777, 0640u) << extra;
        if (root_) {
            EXPECT_EQ(st.st_gid, test::OrdinaryUid()) << extra;
        }
    }
    CloseDirectory();
    std::string error;
    EXPECT_EQ(CallsSeen(error), 2) << "stopped: " << error;

    // Running, with calls in its log that are not in the database file yet.
    SqliteRecordIndex writer(db_, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> more = {Row("2026-12-01 10:00:00", "2043")};
    ASSERT_TRUE(writer.Add(more)) << writer.ErrorText();
    EXPECT_EQ(CallsSeen(error), 3) << "running: " << error;
    more = {Row("2026-12-01 11:00:00", "2044")};
    ASSERT_TRUE(writer.Add(more)) << writer.ErrorText();
    EXPECT_EQ(CallsSeen(error), 4) << "running: " << error;
    // The reader left nothing behind, and changed nothing.
    EXPECT_EQ(writer.Count(), 4);
}

// A collector killed (the watchdog, a power cut) leaves its last calls in the log only: the
// reader finds them there, with no writer to help it.
TEST_F(GroupReader, ReadsTheLogAKilledWriterLeft) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SqliteRecordIndex writer(db_, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = {Row("2026-12-01 08:00:00", "2041"),
                                      Row("2026-12-01 09:00:00", "2042"),
                                      Row("2026-12-01 10:00:00", "2043")};
        if (writer.Add(rows))
            ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    struct stat wal {};
    ASSERT_EQ(::stat((db_.string() + "-wal").c_str(), &wal), 0);
    ASSERT_GT(wal.st_size, 0) << "the calls are in the log";
    CloseDirectory();
    std::string error;
    EXPECT_EQ(CallsSeen(error), 3) << error;
}

// The service's own user or an administrator may write the files, and reads them all the same:
// without touching them. The log files the collector keeps for the group stay as they are, the
// same files with the same access, and a group member reads on after such a reader has gone.
TEST_F(GroupReader, AReaderWhoMayWriteLeavesTheLogFilesAsTheyWere) {
    {
        SqliteRecordIndex writer(db_, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = {Row("2026-12-01 08:00:00", "2041"),
                                      Row("2026-12-01 09:00:00", "2042")};
        ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
    }
    struct stat before[2] {};
    const char* extras[2] = {"-wal", "-shm"};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(::stat((db_.string() + extras[i]).c_str(), &before[i]), 0) << extras[i];
    {
        // The last connection to close: a writer's would tidy the log files away here.
        SqliteRecordIndex reader(db_, SqliteRecordIndex::Mode::Read);
        EXPECT_EQ(reader.Count(), 2) << reader.ErrorText();
    }
    for (int i = 0; i < 2; ++i) {
        struct stat after {};
        ASSERT_EQ(::stat((db_.string() + extras[i]).c_str(), &after), 0)
            << extras[i] << " is gone after a read";
        EXPECT_EQ(after.st_ino, before[i].st_ino) << extras[i];
        EXPECT_EQ(after.st_mode & 0777, before[i].st_mode & 0777) << extras[i];
        EXPECT_EQ(after.st_gid, before[i].st_gid) << extras[i];
    }
    CloseDirectory();
    std::string error;
    EXPECT_EQ(CallsSeen(error), 2) << error;
}

// An index an earlier VELK wrote has no log files once its writer closed: read as it is.
TEST_F(GroupReader, ReadsAnIndexWithoutLogFiles) {
    {
        SqliteRecordIndex writer(db_, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = {Row("2026-12-01 08:00:00", "2041")};
        ASSERT_TRUE(writer.Add(rows)) << writer.ErrorText();
    }
    std::filesystem::remove(db_.string() + "-wal");
    std::filesystem::remove(db_.string() + "-shm");
    CloseDirectory();
    std::string error;
    EXPECT_EQ(CallsSeen(error), 1) << error;
    EXPECT_FALSE(std::filesystem::exists(db_.string() + "-wal"));
}

// The log files a writer keeps are empty once it closed: a VELK.db put in place meanwhile (a copy
// from a backup) reads as itself, not with the pages of the one before.
TEST(SqliteRecordIndex, AnIndexPutInPlaceWhileNoWriterRunsReadsAsItself) {
    test::TempDir dir, other;
    {
        SqliteRecordIndex first(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = {Row("2026-12-01 08:00:00", "2041"),
                                      Row("2026-12-01 09:00:00", "2042")};
        ASSERT_TRUE(first.Add(rows));
        SqliteRecordIndex backup(other / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        rows = {Row("2026-11-01 08:00:00", "3000")};
        ASSERT_TRUE(backup.Add(rows));
    }
    EXPECT_EQ(std::filesystem::file_size(dir.Path().string() + "/VELK.db-wal"), 0u);
    std::filesystem::rename(other / kRecordIndexFile, dir / kRecordIndexFile);
    SqliteRecordIndex index(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Read);
    std::vector<CellProblem> problems;
    const FoundCalls found = FindCalls(index, CallQuery::Read({}, problems), std::nullopt, 10);
    ASSERT_TRUE(found.ok) << found.error;
    ASSERT_EQ(found.count, 1);
    EXPECT_EQ(found.rows[0].Field(3), IndexValue(std::string("3000")));
    EXPECT_TRUE(index.Sound());
}

TEST(SqliteRecordIndex, CallsComeInStartOrderTheSameStartByEntry) {
    test::TempDir dir;
    SqliteRecordIndex index(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> rows = {Row("2026-12-02 08:00:00", "1"), Row("2026-12-01 08:00:00", "2"),
                                  Row("2026-12-02 08:00:00", "3"), Row("", "4"),
                                  Row("2026-12-01 A0:00:00", "5")};
    rows[3].values[4] = std::monostate{};
    ASSERT_TRUE(index.Add(rows));
    IndexFilter filter;
    filter.byStart = true;
    std::string order;
    ASSERT_TRUE(index.Select(filter, [&](const IndexRow& row) {
        order += IndexValueText(row.Field(3));
        return true;
    }));
    EXPECT_EQ(order, "42513");
    filter.byStart = false;
    order.clear();
    ASSERT_TRUE(index.Select(filter, [&](const IndexRow& row) {
        order += IndexValueText(row.Field(3));
        return true;
    }));
    EXPECT_EQ(order, "12345");
}

// A garbled record's start (a base-10 record with "A0" in the hour) is found by every way of
// asking for its day, and counted alike.
TEST(SqliteRecordIndex, GarbledStartsAreFoundByTheirDay) {
    test::TempDir dir;
    SqliteRecordIndex index(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> rows = {Row("2026-12-01 08:00:00", "2041", 10),
                                  Row("2026-12-01 A0:15:00", "2041", 20),
                                  Row("2026-12-01 \xff"
                                      "0:00:00",
                                      "2041", 40),
                                  Row("2026-12-02 00:00:00", "2041", 80)};
    ASSERT_TRUE(index.Add(rows));
    std::vector<CellProblem> problems;
    const CallQuery none = CallQuery::Read({}, problems);
    const CallQuery dayCase = CallQuery::Read({{{4, "2026-12-01"}}}, problems);
    const CallQuery xCase =
        CallQuery::Read({{{4, "2026-12-01 XX:XX:XX~2026-12-01 XX:XX:XX"}}}, problems);
    ASSERT_TRUE(problems.empty());
    std::string why;
    const auto day = StartBetween("2026-12-01", "2026-12-01", why);
    ASSERT_TRUE(day) << why;
    for (const auto& [query, start] :
         std::vector<std::pair<const CallQuery*, std::optional<CellCondition>>>{
             {&none, day}, {&dayCase, std::nullopt}, {&xCase, std::nullopt}, {&dayCase, day}}) {
        const FoundCalls found = FindCalls(index, *query, start, 100);
        ASSERT_TRUE(found.ok) << found.error;
        EXPECT_EQ(found.count, 3);
        EXPECT_EQ(found.totalSeconds, 70);
        std::string error;
        const auto totals = ReportTotals(index, ReportBy::Day, 3, *query, start, error);
        ASSERT_TRUE(totals) << error;
        ASSERT_EQ(totals->size(), 1u);
        EXPECT_EQ(totals->front().calls, 3);
        EXPECT_EQ(totals->front().totalSeconds, 70);
    }
}

// Codes outside a table keep their numbers; the view gives the text "?" beside them, as the
// decoded files do, also in an index an earlier VELK made.
TEST(SqliteRecordIndex, TheViewGivesTheTextBesideEveryCode) {
    test::TempDir dir;
    const auto db = dir / kRecordIndexFile;
    const auto texts = [&] {
        std::string seen;
        sqlite3* s = nullptr;
        EXPECT_EQ(sqlite3_open_v2(db.c_str(), &s, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(s,
                           "SELECT quote(call_type) || '=' || quote(call_type_text) FROM "
                           "calls_with_texts ORDER BY id",
                           -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            seen += reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) + std::string(" ");
        sqlite3_finalize(st);
        sqlite3_close(s);
        return seen;
    };
    {
        SqliteRecordIndex index(db, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = {
            Row("2026-12-01 08:00:00", "1"), Row("2026-12-01 08:00:00", "2"),
            Row("2026-12-01 08:00:00", "3"), Row("2026-12-01 08:00:00", "4")};
        rows[0].values[9] = int64_t{4};
        rows[1].values[9] = int64_t{14};
        rows[2].values[9] = int64_t{255};
        ASSERT_TRUE(index.Add(rows));
        const std::string expected = "4='" + CodeText(9, 4) + "' 14='?' 255='?' NULL=NULL ";
        EXPECT_EQ(texts(), expected);
        // The view as an earlier VELK made it: no text for a code without one.
        ASSERT_TRUE(index.Execute(
            "DROP VIEW calls_with_texts; CREATE VIEW calls_with_texts AS SELECT c.*, (SELECT text "
            "FROM code_texts t WHERE t.field = 'call_type' AND t.code = c.call_type) AS "
            "call_type_text FROM calls c"));
        EXPECT_EQ(texts(), "4='" + CodeText(9, 4) + "' 14=NULL 255=NULL NULL=NULL ");
    }
    SqliteRecordIndex again(db, SqliteRecordIndex::Mode::Write);
    ASSERT_TRUE(again.Open());
    EXPECT_EQ(texts(), "4='" + CodeText(9, 4) + "' 14='?' 255='?' NULL=NULL ");
}

// Counted in memory, or on the disk once there are many: the same counts.
TEST(SqliteOccurrenceCounter, CountsEveryBodyExactlyInMemoryAndOnTheDisk) {
    std::mt19937 random(7);
    std::vector<std::string> bodies;
    for (int i = 0; i < 3000; ++i)
        bodies.push_back("0" + std::to_string(random() % 1200) + std::string(i % 5, 'x'));
    for (size_t inMemory : {size_t{100000}, size_t{50}}) {
        SqliteOccurrenceCounter counter(inMemory);
        for (int file = 0; file < 2; ++file) {
            counter.Clear();
            std::map<std::string, int64_t> expected;
            for (const std::string& body : bodies)
                ASSERT_EQ(counter.Next(body), expected[body]++) << body;
            EXPECT_EQ(counter.OnDisk(), inMemory < expected.size());
        }
    }
}

// An index that takes every row and forgets it; it notes how much memory the program holds.
class MeasuringIndex : public IndexWriter {
public:
    static size_t HeldBytes() {
#if defined(__SANITIZE_ADDRESS__)
        return __sanitizer_get_current_allocated_bytes();
#else
        return mallinfo2().uordblks;
#endif
    }
    bool Begin() override { return true; }
    bool Mark(const std::string&, std::optional<FileMark>& mark) override {
        mark.reset();
        return true;
    }
    bool Insert(std::vector<IndexRow>& rows, bool) override {
        most = std::max(most, HeldBytes());
        for (IndexRow& r : rows)
            r.id = ++last;
        return true;
    }
    bool SetMark(const FileMark&) override { return true; }
    bool Commit() override { return true; }
    void Rollback() override {}
    bool Marks(std::vector<FileMark>& marks) override {
        marks.clear();
        return true;
    }
    std::string ErrorText() const override { return {}; }
    bool Damaged() const override { return false; }
    bool SetAside(std::string&) override { return false; }
    bool Renewed() override { return false; }
    size_t most = 0;
    int64_t last = 0;
};

// A raw file of n different call records, each made as it is read.
class GeneratedFile : public FollowedFile, public FollowedFiles {
public:
    explicit GeneratedFile(int n) : n_(n), size_(Record(0).size()) {}
    FileIdentity Identity() const override { return {1, 1}; }
    uint64_t Size() const override { return size_ * static_cast<uint64_t>(n_); }
    size_t ReadAt(uint64_t offset, uint8_t* to, size_t n) override {
        size_t given = 0;
        while (given < n && offset + given < Size()) {
            const uint64_t at = offset + given;
            const std::string record = Record(static_cast<int>(at / size_));
            const size_t from = static_cast<size_t>(at % size_);
            const size_t take = std::min(n - given, record.size() - from);
            std::copy_n(record.data() + from, take, to + given);
            given += take;
        }
        return given;
    }
    std::vector<std::string> Names() override { return {"generated.raw"}; }
    std::unique_ptr<FollowedFile> Open(const std::string&) override {
        return std::make_unique<GeneratedFile>(n_);
    }

private:
    static std::string Record(int i) {
        test::RecordBuilder r;
        char text[16];
        std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(i) & 0xFFFFu);
        r.sequence = text;
        std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(i));
        r.calling = text;
        const std::string f = r.Frame();
        return f.substr(1, f.size() - 2) + "\r\n";
    }
    int n_;
    size_t size_;
};

// How much more memory a rebuild of a long file holds than one of a short file: the identical
// records are counted without keeping every record of the file.
TEST(IndexRebuild, MemoryStaysTheSameWhateverTheFileLength) {
    AppSettings settings;
    test::FakeClock clock;
    const auto peak = [&](int records) {
        MeasuringIndex index;
        CallIndexer indexer(settings, clock, &index, nullptr, nullptr);
        // Counts move to the disk after a few thousand bodies here, as after 65536 in use.
        SqliteOccurrenceCounter counter(4096);
        indexer.SetCounter(&counter);
        GeneratedFile file(records);
        const size_t before = MeasuringIndex::HeldBytes();
        CheckCount count;
        EXPECT_TRUE(indexer.Check(file, "generated.raw", false, count));
        EXPECT_EQ(count.callRecords, static_cast<uint64_t>(records));
        EXPECT_EQ(count.added, static_cast<uint64_t>(records));
        return index.most - before;
    };
    const size_t shortFile = peak(10000);
    const size_t longFile = peak(60000);
    EXPECT_LT(longFile, shortFile + (4u << 20))
        << "short file " << (shortFile >> 20) << " MiB, long file " << (longFile >> 20) << " MiB";
}

}  // namespace
}  // namespace velk
