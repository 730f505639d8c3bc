#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "core/archive/index_writer.h"
#include "core/archive/record_index.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velk {

class NewCallTotals;

inline constexpr const char* kRecordIndexFile = "VELK.db";

// The record index in an SQLite database (VELK.db in the base directory), WAL mode, one row per
// stored call record in the table "calls" with the index's column names; the view
// "calls_with_texts" adds the text of every coded field; "followed_files" holds how far the index
// has read each raw file, "server_marks" the database server's mark as the sender last saw it.
// One object is one connection: it belongs to the thread that uses it. Writers leave the -wal
// and -shm files in place when they close, so that a reader who may read the files but create
// none can read it.
//
// Several programs share the file: a writer waits a bounded time for another's transaction. A
// database put in place of the open one, or deleted, is noticed by device and inode before each
// transaction and opened anew.
class SqliteRecordIndex : public RecordIndex, public IndexWriter {
public:
    static constexpr int kSchemaVersion = 5;
    // Long enough for the sender's and a reader's short transactions and a rebuild's batch.
    static constexpr int kWriteWaitMs = 5000;
    static constexpr int kReadWaitMs = 5000;

    enum class Mode {
        Write,  // creates the database when missing; waits up to 5 s for another writer
        Read,   // an existing database only, read only; waits up to 5 s for a writer to finish
    };
    SqliteRecordIndex(std::filesystem::path file, Mode mode);
    ~SqliteRecordIndex() override;
    SqliteRecordIndex(const SqliteRecordIndex&) = delete;
    SqliteRecordIndex& operator=(const SqliteRecordIndex&) = delete;

    // How long a statement waits for another connection's lock (from the next opening on).
    void SetBusyTimeout(int milliseconds) { busyMs_ = milliseconds; }
    // How many pages the log of a writer may hold before they are copied into the database (from
    // the next opening on; SQLite's 1000 unless set). A writer adding many calls at once (an
    // import) copies each page less often and waits for the disk less often.
    void SetCheckpointPages(int pages) { checkpointPages_ = pages; }

    // In one transaction.
    bool Add(std::vector<IndexRow>& rows, bool onlyMissing = false) override;
    bool Select(const IndexFilter& filter,
                const std::function<bool(const IndexRow&)>& visit) override;
    std::optional<std::vector<GroupTotals>> Totals(ReportBy by, int prefixDigits,
                                                   const std::string& from,
                                                   const std::string& to) override;
    std::string ErrorText() const override { return error_; }

    bool Begin() override;
    bool Mark(const std::string& file, std::optional<FileMark>& mark) override;
    bool Insert(std::vector<IndexRow>& rows, bool onlyMissing) override;
    bool SetMark(const FileMark& mark) override;
    bool Commit() override;
    void Rollback() override;
    bool Marks(std::vector<FileMark>& marks) override;
    // After a failure: the file is no database, or a damaged one (not merely locked).
    bool Damaged() const override { return damaged_; }
    bool SetAside(std::string& where) override;
    bool Renewed() override;

    // The database server's mark for a site as the sender last saw it; false when there is none
    // (or it cannot be read).
    bool ServerMark(const std::string& site, int64_t& throughId, int64_t& fingerprint);
    bool SetServerMark(const std::string& site, int64_t throughId, int64_t fingerprint);

    // Opens the database (and sets it up when new); false with ErrorText when it cannot be used.
    // Every operation opens it when needed, and a failed one closes it, so that the next one
    // starts afresh (with a database a rebuild has put in place meanwhile).
    bool Open();
    void Close();
    // True when the database reads as sound throughout (SQLite's quick check).
    bool Sound();
    // Rows in the index.
    int64_t Count();
    // Up to `most` rows after the row `id`, in the order they entered (their ids); the newest
    // row's id (0 when there is none), -1 when the index cannot be read.
    bool After(int64_t id, size_t most, std::vector<IndexRow>& rows);
    int64_t LastId();
    // Counts the report totals of up to `most` calls an older index held (or all of them, after
    // a call was changed by hand) that are not counted yet, in one transaction; true while some
    // remain. Until all are, reports read the calls; a writer counts a step of kTotalsStep after
    // a commit at most once a second, or the caller counts them all at once.
    bool CountSomeTotals(int64_t most);
    static constexpr int64_t kTotalsStep = 2000;
    // Copies the pages the log holds into the database, as far as no reader needs them there,
    // without waiting for anyone: a writer on another connection goes on meanwhile, and its log
    // starts again from its beginning once all of it is copied. An object used for this alone
    // opens only a database another writer has made and set up. False when it cannot.
    bool CopyLog();
    // Runs a statement that returns nothing (tests, tools).
    bool Execute(const std::string& sql);

private:
    bool OpenToRead();
    void RenewTextsView();
    // Whether the report totals kept per day can be used (an older index has none).
    bool KeptTotalsSound();
    void RecountTotalsIfUnsound();
    // Adds the calls with ids in [from, until) to the kept totals (in the transaction under way).
    bool AddTotalsOfIds(int64_t from, int64_t until);
    // Adds the calls not counted since the last commit that counted; part of every commit.
    bool CountNewTotals();
    // A report from the kept totals and the calls of the days they cannot count whole; nullopt
    // when they cannot be used (read false: when they cannot be read).
    std::optional<std::vector<GroupTotals>> TotalsKept(ReportBy by, int prefixDigits,
                                                       const std::string& from,
                                                       const std::string& to, bool& read);
    // A report read from the calls one by one.
    std::optional<std::vector<GroupTotals>> TotalsOfCalls(ReportBy by, int prefixDigits,
                                                          const std::string& from,
                                                          const std::string& to);
    bool Fail(const std::string& what);
    // Opens the database, or opens it anew when the file is another one now.
    bool OpenCurrent();
    // Makes the schema (a new database) or adds what a newer one has (an older database).
    bool SetUp(int schema);
    // The schema version of the open database (its user_version); -1 when it cannot be read.
    int SchemaVersion();
    // The one whole number a statement answers; -1 when it cannot.
    int64_t Number(const std::string& sql);
    bool Prepare(sqlite3_stmt*& statement, const std::string& sql);
    void Finalize();
    bool InTransaction(const char* what);

    std::filesystem::path file_;
    Mode mode_;
    int busyMs_;
    int checkpointPages_ = 0;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* same_ = nullptr;
    sqlite3_stmt* mark_ = nullptr;
    sqlite3_stmt* setMark_ = nullptr;
    sqlite3_stmt* totals_ = nullptr;
    sqlite3_stmt* addTotals_ = nullptr;
    sqlite3_stmt* uncounted_ = nullptr;  // counted_to and the next id
    sqlite3_stmt* countedTo_ = nullptr;
    // The totals of the calls the transaction under way inserted.
    std::unique_ptr<NewCallTotals> newTotals_;
    std::string error_;
    bool damaged_ = false;
    bool transaction_ = false;
    // The file the connection is open on, and whether one was open before (a change of file
    // then is a renewal).
    FileIdentity opened_;
    // The log and shared-memory files beside it then (writers only).
    FileIdentity wal_, shm_;
    bool known_ = false;
    bool totalsPending_ = false;
    std::chrono::steady_clock::time_point lastTotalsStep_{};
    bool renewed_ = false;
};

}  // namespace velk
