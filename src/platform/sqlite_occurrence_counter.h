#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/archive/occurrence_counter.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velk {

// Counts identical message bodies by two independent 64-bit hashes of each (two bodies of one
// file never share both by chance). The counts stay in memory up to `inMemory` bodies; a longer
// file moves them into a temporary SQLite database on the disk (deleted when it closes), whose
// page cache is small: memory stays the same whatever a file's length.
class SqliteOccurrenceCounter : public OccurrenceCounter {
public:
    static constexpr size_t kInMemory = 65536;

    explicit SqliteOccurrenceCounter(size_t inMemory = kInMemory) : inMemory_(inMemory) {}
    ~SqliteOccurrenceCounter() override;
    SqliteOccurrenceCounter(const SqliteOccurrenceCounter&) = delete;
    SqliteOccurrenceCounter& operator=(const SqliteOccurrenceCounter&) = delete;

    void Clear() override;
    int64_t Next(std::string_view body) override;
    std::string ErrorText() const override { return error_; }
    // Whether the counts went to the disk.
    bool OnDisk() const { return db_ != nullptr; }

private:
    struct Key {
        uint64_t a, b;
        bool operator==(const Key& o) const { return a == o.a && b == o.b; }
    };
    struct KeyHash {
        size_t operator()(const Key& k) const { return static_cast<size_t>(k.a ^ (k.b << 1)); }
    };
    static Key KeyOf(std::string_view body);
    bool MoveToDisk();
    int64_t Fail(const std::string& what);
    void Close();

    size_t inMemory_;
    std::unordered_map<Key, int64_t, KeyHash> counts_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* next_ = nullptr;
    std::string error_;
};

}  // namespace velk
