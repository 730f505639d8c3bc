#include "platform/sqlite_occurrence_counter.h"

#include <sqlite3.h>

#include <functional>

namespace velk {

SqliteOccurrenceCounter::~SqliteOccurrenceCounter() {
    Close();
}

void SqliteOccurrenceCounter::Close() {
    sqlite3_finalize(next_);
    next_ = nullptr;
    if (db_ != nullptr)
        sqlite3_close_v2(db_);
    db_ = nullptr;
}

void SqliteOccurrenceCounter::Clear() {
    Close();
    // The memory a long file's counts took goes back as well.
    std::unordered_map<Key, int64_t, KeyHash>().swap(counts_);
    error_.clear();
}

SqliteOccurrenceCounter::Key SqliteOccurrenceCounter::KeyOf(std::string_view body) {
    uint64_t fnv = 14695981039346656037ull;
    for (unsigned char c : body) {
        fnv ^= c;
        fnv *= 1099511628211ull;
    }
    return {fnv, std::hash<std::string_view>{}(body)};
}

int64_t SqliteOccurrenceCounter::Fail(const std::string& what) {
    error_ = "cannot count the records of the file in a temporary database: " + what;
    if (db_ != nullptr)
        error_ += ": " + std::string(sqlite3_errmsg(db_));
    Close();
    return -1;
}

bool SqliteOccurrenceCounter::MoveToDisk() {
    // An empty name is a temporary database of SQLite's own on the disk, gone when it closes.
    // Nothing in it needs to outlive the program: no journal, no flushes, one transaction.
    if (sqlite3_open_v2("", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK ||
        sqlite3_exec(db_,
                     "PRAGMA cache_size=-2048; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                     "CREATE TABLE seen (a INTEGER NOT NULL, b INTEGER NOT NULL, n INTEGER NOT "
                     "NULL, PRIMARY KEY (a, b)) WITHOUT ROWID; BEGIN",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        Fail("cannot make it");
        return false;
    }
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db_, "INSERT INTO seen VALUES (?1, ?2, ?3)", -1, &insert, nullptr) !=
        SQLITE_OK) {
        Fail("cannot write it");
        return false;
    }
    for (const auto& [key, n] : counts_) {
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(key.a));
        sqlite3_bind_int64(insert, 2, static_cast<sqlite3_int64>(key.b));
        sqlite3_bind_int64(insert, 3, n);
        const int done = sqlite3_step(insert);
        sqlite3_reset(insert);
        if (done != SQLITE_DONE) {
            sqlite3_finalize(insert);
            Fail("cannot write it");
            return false;
        }
    }
    sqlite3_finalize(insert);
    std::unordered_map<Key, int64_t, KeyHash>().swap(counts_);
    if (sqlite3_prepare_v3(db_,
                           "INSERT INTO seen VALUES (?1, ?2, 1) ON CONFLICT (a, b) DO UPDATE SET "
                           "n = n + 1 RETURNING n - 1",
                           -1, SQLITE_PREPARE_PERSISTENT, &next_, nullptr) != SQLITE_OK) {
        Fail("cannot write it");
        return false;
    }
    return true;
}

int64_t SqliteOccurrenceCounter::Next(std::string_view body) {
    const Key key = KeyOf(body);
    if (db_ == nullptr) {
        if (!error_.empty())
            return -1;
        const auto found = counts_.find(key);
        if (found != counts_.end())
            return found->second++;
        if (counts_.size() < inMemory_) {
            counts_.emplace(key, 1);
            return 0;
        }
        if (!MoveToDisk())
            return -1;
    }
    sqlite3_bind_int64(next_, 1, static_cast<sqlite3_int64>(key.a));
    sqlite3_bind_int64(next_, 2, static_cast<sqlite3_int64>(key.b));
    int64_t before = -1;
    if (sqlite3_step(next_) == SQLITE_ROW)
        before = sqlite3_column_int64(next_, 0);
    const int done = sqlite3_step(next_);
    sqlite3_reset(next_);
    if (before < 0 || done != SQLITE_DONE)
        return Fail("cannot write it");
    return before;
}

}  // namespace velk
