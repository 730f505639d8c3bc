#pragma once

#include <filesystem>
#include <string>

#include "core/archive/record_index.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velk {

inline constexpr const char* kRecordIndexFile = "VELK.db";

// The record index in an SQLite database (VELK.db in the base directory), WAL mode, one row per
// stored call record in the table "calls" with the index's column names; the view
// "calls_with_texts" adds the text of every coded field. One object is one connection: it
// belongs to the thread that uses it. Writers leave the -wal and -shm files in place when they
// close, so that a reader who may read the files but create none can read it.
class SqliteRecordIndex : public RecordIndex {
public:
    static constexpr int kSchemaVersion = 1;

    enum class Mode {
        Write,  // creates the database when missing; never waits for another writer
        Read,   // an existing database only, read only; waits up to 5 s for a writer to finish
    };
    SqliteRecordIndex(std::filesystem::path file, Mode mode);
    ~SqliteRecordIndex() override;
    SqliteRecordIndex(const SqliteRecordIndex&) = delete;
    SqliteRecordIndex& operator=(const SqliteRecordIndex&) = delete;

    bool Add(std::vector<IndexRow>& rows, bool onlyMissing = false) override;
    bool Select(const IndexFilter& filter,
                const std::function<bool(const IndexRow&)>& visit) override;
    std::optional<std::vector<GroupTotals>> Totals(ReportBy by, int prefixDigits,
                                                   const std::string& from,
                                                   const std::string& to) override;
    std::string ErrorText() const override { return error_; }

    // Opens the database (and sets it up when new); false with ErrorText when it cannot be used.
    // Every operation opens it when needed, and a failed one closes it, so that the next one
    // starts afresh (with a database a rebuild has put in place meanwhile).
    bool Open();
    void Close();
    // True when the database reads as sound throughout (SQLite's quick check).
    bool Sound();
    // After a failure: the file is no database, or a damaged one (not merely locked).
    bool Damaged() const { return damaged_; }
    // Rows in the index.
    int64_t Count();
    // Up to `most` rows after the row `id`, in the order they entered (their ids); the newest
    // row's id (0 when there is none), -1 when the index cannot be read.
    bool After(int64_t id, size_t most, std::vector<IndexRow>& rows);
    int64_t LastId();
    // Runs a statement that returns nothing (tests, tools).
    bool Execute(const std::string& sql);

private:
    bool OpenToRead();
    void RenewTextsView();
    bool Fail(const std::string& what);
    // The one whole number a statement answers; -1 when it cannot.
    int64_t Number(const std::string& sql);
    bool Prepare(sqlite3_stmt*& statement, const std::string& sql);
    void Finalize();

    std::filesystem::path file_;
    Mode mode_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* same_ = nullptr;
    std::string error_;
    bool damaged_ = false;
};

}  // namespace velk
