// The record index of a busy site's year: 10 million call records (VELK_BENCH_RECORDS to change
// it) from 1000 extensions, about one every 3 s. The database is built once into
// VELK_BENCH_DATA (default: bench-data beside the program) and used again by later runs. Figures:
// a week of one extension, a full year's report by extension, and the database's size against
// the decoded files the same records make with every field in its own column.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench_support.h"
#include "core/archive/call_report.h"
#include "core/archive/call_indexer.h"
#include "core/record/call_recorder.h"
#include "platform/sqlite_record_index.h"
#include "record_generator.h"
#include "year_index.h"
#include "year_of_calls.h"

namespace velk {
namespace {

// The index alone: rows made from decoded records and committed 2000 at a time, as in an import.
void BM_IndexImportBatches(benchmark::State& state) {
    AppSettings settings;
    bench::FixedClock clock;
    FieldDecoder decoder(settings);
    sim::RecordGenerator gen(3);
    std::vector<std::string> frames;
    for (int i = 0; i < 20000; ++i)
        frames.push_back(sim::Frame(gen.NextCallRecord()));
    std::array<std::string, 50> texts;
    uint64_t rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::filesystem::path db = std::filesystem::temp_directory_path() / "velk-bench.db";
        for (const char* extra : {"", "-wal", "-shm"})
            std::filesystem::remove(db.string() + extra);
        {
            SqliteRecordIndex index(db, SqliteRecordIndex::Mode::Write);
            index.Open();
            CallIndexer indexer(settings, clock, &index, nullptr, nullptr);
            indexer.SetImporting(true);
            state.ResumeTiming();
            for (const std::string& f : frames) {
                const BillingMessage m(reinterpret_cast<const uint8_t*>(f.data()),
                                       static_cast<uint32_t>(f.size() - 4));
                decoder.DecodeRecord(m, settings.Hex_Type, texts);
                indexer.Add(m, texts, RecordSource::Import);
            }
            indexer.SetImporting(false);
            rows += indexer.EnteredCount();
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    state.counters["rows_per_s"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IndexImportBatches)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_WeekOfOneExtension(benchmark::State& state) {
    const bench::Year& y = bench::TheYear();
    SqliteRecordIndex index(y.db, SqliteRecordIndex::Mode::Read);
    std::vector<CellProblem> problems;
    const CallQuery q = CallQuery::Read(
        {{{3, "2345"}, {4, "2027-03-01 XX:XX:XX~2027-03-07 XX:XX:XX"}}}, problems);
    int64_t found = 0;
    for (auto _ : state)
        found = FindCalls(index, q, std::nullopt, 100000).count;
    state.counters["calls_found"] = static_cast<double>(found);
}
BENCHMARK(BM_WeekOfOneExtension)->Unit(benchmark::kMillisecond);

void BM_YearReportByExtension(benchmark::State& state) {
    const bench::Year& y = bench::TheYear();
    SqliteRecordIndex index(y.db, SqliteRecordIndex::Mode::Read);
    size_t groups = 0;
    std::string error;
    for (auto _ : state)
        groups = ReportTotals(index, ReportBy::Extension, 3, CallQuery{}, std::nullopt, error)->size();
    state.counters["groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_YearReportByExtension)->Unit(benchmark::kMillisecond)->Iterations(3);

// The resident memory's peak so far, in KiB.
long PeakKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

// velk-report without --by over the whole year: every call decoded again and written as a CSV
// line, one after the other as the index reads them.
void BM_YearListedAsCsv(benchmark::State& state) {
    const bench::Year& y = bench::TheYear();
    AppSettings settings;
    bench::StoreEveryColumn(settings);
    SqliteRecordIndex index(y.db, SqliteRecordIndex::Mode::Read);
    CallListWriter writer(ListedFields(settings), ReportFormat::Csv, false);
    const long before = PeakKiB();
    int64_t calls = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        bytes += writer.Begin().size();
        calls = EachCall(index, CallQuery{}, std::nullopt, [&](const IndexRow& row) {
                    bytes += writer.Call(CallTexts(row, settings)).size();
                    return true;
                }).count;
    }
    state.counters["calls"] = static_cast<double>(calls);
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(calls) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["csv_MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["peak_growth_MB"] = static_cast<double>(PeakKiB() - before) / 1024.0;
}
BENCHMARK(BM_YearListedAsCsv)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_DatabaseSize(benchmark::State& state) {
    const bench::Year& y = bench::TheYear();
    for (auto _ : state)
        benchmark::DoNotOptimize(std::filesystem::file_size(y.db));
    const double db = static_cast<double>(std::filesystem::file_size(y.db));
    state.counters["records"] = static_cast<double>(y.records);
    state.counters["db_MB"] = db / 1e6;
    state.counters["decoded_MB"] = static_cast<double>(y.decodedBytes) / 1e6;
    state.counters["db_per_decoded"] = db / static_cast<double>(y.decodedBytes);
}
BENCHMARK(BM_DatabaseSize)->Iterations(1);

}  // namespace
}  // namespace velk

BENCHMARK_MAIN();
