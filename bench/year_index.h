#pragma once

// The record index of a busy site's year: 10 million call records (VELK_BENCH_RECORDS to change
// it) from 1000 extensions, about one every 3 s, every field in its own column. The database is
// built once into VELK_BENCH_DATA (default: bench-data beside the program) and used again by
// later runs and by every benchmark that reads a year.
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

inline const Year& TheYear() {
    static const Year year = [] {
        Year y;
        const char* n = std::getenv("VELK_BENCH_RECORDS");
        y.records = n != nullptr ? std::strtoull(n, nullptr, 10) : 10000000ull;
        const char* dir = std::getenv("VELK_BENCH_DATA");
        const std::filesystem::path data = dir != nullptr ? dir : "bench-data";
        std::filesystem::create_directories(data);
        y.db = data / ("year-" + std::to_string(y.records) + ".db");
        const auto sizeFile = data / ("year-" + std::to_string(y.records) + ".decoded-bytes");
        if (std::filesystem::exists(sizeFile) && std::filesystem::exists(y.db)) {
            std::ifstream(sizeFile) >> y.decodedBytes;
            return y;
        }
        std::filesystem::remove(y.db);
        AppSettings settings;
        StoreEveryColumn(settings);
        FixedClock clock;
        SqliteRecordIndex index(y.db, SqliteRecordIndex::Mode::Write);
        // A year in one go: the indexes of random numbers want a page cache of their size.
        index.Execute("PRAGMA cache_size=-2000000");
        CallIndexer indexer(settings, clock, &index, nullptr, nullptr);
        indexer.SetImporting(true);
        FieldDecoder decoder(settings);
        YearOfCalls calls(y.records);
        std::array<std::string, 50> texts;
        std::fprintf(stderr, "building %s with %llu records...\n", y.db.c_str(),
                     static_cast<unsigned long long>(y.records));
        for (uint64_t i = 0; i < y.records; ++i) {
            const std::string frame = calls.NextFrame();
            const BillingMessage m(reinterpret_cast<const uint8_t*>(frame.data()),
                                   static_cast<uint32_t>(frame.size() - 4));
            decoder.DecodeRecord(m, settings.Hex_Type, texts);
            y.decodedBytes += DecodedFileLine(settings, texts).size();
            indexer.Add(m, texts, RecordSource::Link);
        }
        indexer.SetImporting(false);
        std::ofstream(sizeFile) << y.decodedBytes;
        return y;
    }();
    return year;
}

}  // namespace velk::bench
