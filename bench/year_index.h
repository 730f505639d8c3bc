#pragma once

// The record index of a busy site's year: 10 million call records (VELK_BENCH_RECORDS to change
// it) from 1000 extensions, about one every 3 s, every field in its own column. The database is
// built once into VELK_BENCH_DATA (default: bench-data beside the program) and used again by
// later runs and by every benchmark that reads a year.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench_support.h"
#include "core/archive/call_indexer.h"
#include "core/record/call_recorder.h"
#include "platform/sqlite_record_index.h"
#include "year_of_calls.h"

namespace velk::bench {

struct FixedClock : Clock {
    LocalTime Now() const override { return {}; }
    int64_t Seconds() const override { return 1796716800; }
};

struct Year {
    std::filesystem::path db;
    uint64_t decodedBytes = 0;
    uint64_t records = 0;
};

// Builds the index `db` of `records` distinct calls of a year; the bytes of their decoded lines.
inline uint64_t BuildYear(const std::filesystem::path& db, uint64_t records) {
    std::filesystem::remove(db);
    AppSettings settings;
    StoreEveryColumn(settings);
    FixedClock clock;
    SqliteRecordIndex index(db, SqliteRecordIndex::Mode::Write);
    // A year in one go: the indexes of random numbers want a page cache of their size.
    index.Execute("PRAGMA cache_size=-2000000");
    CallIndexer indexer(settings, clock, &index, nullptr, nullptr);
    indexer.SetImporting(true);
    FieldDecoder decoder(settings);
    YearOfCalls calls(records);
    std::array<std::string, 50> texts;
    std::fprintf(stderr, "building %s with %llu records...\n", db.c_str(),
                 static_cast<unsigned long long>(records));
    uint64_t decodedBytes = 0;
    for (uint64_t i = 0; i < records; ++i) {
        const std::string frame = calls.NextFrame();
        const BillingMessage m(reinterpret_cast<const uint8_t*>(frame.data()),
                               static_cast<uint32_t>(frame.size() - 4));
        decoder.DecodeRecord(m, settings.Hex_Type, texts);
        decodedBytes += DecodedFileLine(settings, texts).size();
        indexer.Add(m, texts, RecordSource::Link);
    }
    indexer.SetImporting(false);
    return decodedBytes;
}

inline std::filesystem::path BenchData() {
    const char* dir = std::getenv("VELK_BENCH_DATA");
    const std::filesystem::path data = dir != nullptr ? dir : "bench-data";
    std::filesystem::create_directories(data);
    return data;
}

inline const Year& TheYear() {
    static const Year year = [] {
        Year y;
        const char* n = std::getenv("VELK_BENCH_RECORDS");
        y.records = n != nullptr ? std::strtoull(n, nullptr, 10) : 10000000ull;
        const std::filesystem::path data = BenchData();
        y.db = data / ("year-" + std::to_string(y.records) + ".db");
        const auto sizeFile = data / ("year-" + std::to_string(y.records) + ".decoded-bytes");
        if (std::filesystem::exists(sizeFile) && std::filesystem::exists(y.db)) {
            std::ifstream(sizeFile) >> y.decodedBytes;
            return y;
        }
        y.decodedBytes = BuildYear(y.db, y.records);
        std::ofstream(sizeFile) << y.decodedBytes;
        return y;
    }();
    return year;
}

// An index made by an earlier VELK gets what this one keeps, as the collector's first opening
// gives it, and its report totals are counted; how long each took is shown.
inline void BringUpToDate(const std::filesystem::path& db) {
    const auto began = std::chrono::steady_clock::now();
    SqliteRecordIndex index(db, SqliteRecordIndex::Mode::Write);
    if (!index.Open()) {
        std::fprintf(stderr, "cannot open %s: %s\n", db.c_str(), index.ErrorText().c_str());
        std::exit(1);
    }
    const double opened =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    // The report totals of the calls it held, all at once rather than step by step.
    while (index.CountSomeTotals(1000000)) {
    }
    std::fprintf(stderr, "%s opened for writing in %.1f s, its report totals counted in %.1f s\n",
                 db.c_str(), opened,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count() -
                     opened);
}

// A year of as many rows as TheYear's, made faster: a tenth of them distinct (VELK_BENCH_RECORDS
// / 10 calls over the year), each put in ten times, as a site whose calls come in tens would
// store them. What reads every row of a year (a report) has as many to read; building 10
// million distinct calls takes an hour on a busy machine, this a fraction of it.
inline const Year& TheCopiedYear() {
    static const Year year = [] {
        Year y;
        const char* n = std::getenv("VELK_BENCH_RECORDS");
        y.records = n != nullptr ? std::strtoull(n, nullptr, 10) : 10000000ull;
        const uint64_t distinct = std::max<uint64_t>(y.records / 10, 1);
        const std::filesystem::path data = BenchData();
        y.db = data / ("year-" + std::to_string(distinct) + "x10.db");
        const auto doneFile = data / ("year-" + std::to_string(distinct) + "x10.decoded-bytes");
        if (std::filesystem::exists(doneFile) && std::filesystem::exists(y.db)) {
            std::ifstream(doneFile) >> y.decodedBytes;
            y.records = distinct * 10;
            BringUpToDate(y.db);
            return y;
        }
        y.decodedBytes = BuildYear(y.db, distinct) * 10;
        SqliteRecordIndex index(y.db, SqliteRecordIndex::Mode::Write);
        index.Execute("PRAGMA cache_size=-2000000");
        // New ids for the copies: a NULL into the INTEGER PRIMARY KEY takes the next one.
        if (!index.Execute("CREATE TEMP TABLE copied AS SELECT * FROM calls") ||
            !index.Execute("UPDATE copied SET id = NULL")) {
            std::fprintf(stderr, "cannot copy: %s\n", index.ErrorText().c_str());
            std::exit(1);
        }
        for (int copy = 1; copy < 10; ++copy) {
            std::fprintf(stderr, "copy %d of 9...\n", copy);
            if (!index.Execute("INSERT INTO calls SELECT * FROM copied")) {
                std::fprintf(stderr, "cannot copy: %s\n", index.ErrorText().c_str());
                std::exit(1);
            }
        }
        index.Execute("DROP TABLE copied");
        y.records = distinct * 10;
        std::ofstream(doneFile) << y.decodedBytes;
        return y;
    }();
    return year;
}

}  // namespace velk::bench
