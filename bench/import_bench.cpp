// The raw file import: what velk-import reaches on one core with every record stored raw and
// decoded (50 columns) in both directories, flushed to the disk in batches and at the end (with
// and without the record index), the record index catching up a backlog of a million records in
// a raw file of Bill (VELK_BENCH_CATCH_UP changes the count), and the window's import against its
// floor of 5 ms a message (the pause that keeps the window responsive).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>

#include "bench_support.h"
#include "core/analysis/raw_import.h"
#include "core/app/collector.h"
#include "core/record/held_appends.h"
#include "platform/index_follower.h"
#include "platform/posix_file_store.h"
#include "platform/posix_followed_files.h"
#include "platform/raw_import_runner.h"
#include "platform/sqlite_record_index.h"
#include "record_generator.h"

namespace velk {
namespace {

// n generated call records as the recorder writes them (STX, CR LF).
std::string RawRecords(int n) {
    sim::RecordGenerator gen(3);
    std::string content;
    for (int i = 0; i < n; ++i) {
        const std::string frame = sim::Frame(gen.NextCallRecord());
        content += frame.substr(0, frame.size() - 1) + "\r\n";
    }
    return content;
}

// A raw file of n generated call records.
std::string RawFile(const std::filesystem::path& dir, int n, const std::string& name = "saved.raw") {
    const std::string content = RawRecords(n);
    const auto path = dir / name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return path.string();
}

AppSettings StoringSettings() {
    AppSettings s;
    s.RawSave = 1;
    s.RawSaveDaily = 1;
    s.SaveToFile = 1;
    bench::StoreEveryColumn(s);
    return s;
}

// A base directory with a raw file of n records and a collector that stores into it.
struct ImportBase {
    explicit ImportBase(int records)
        : path(dir.path().toStdString()), file(RawFile(path, records)) {
        MakeSaveDir(OutputDirectories::Under(path));
    }
    QTemporaryDir dir;
    std::filesystem::path path;
    std::string file;
    AppSettings settings = StoringSettings();
    bench::QuietPrompt prompt;
    SystemClock clock;
    bench::NoTimers timers;
    LastCallsRing ring;
    PosixFileStore files;
    HeldAppends held{files};  // as velk-import stores
    Collector collector{settings, path, prompt, clock, timers, ring, held};
};

struct CollectorSink : ImportSink {
    explicit CollectorSink(Collector& c) : collector(c) {}
    void Message(const uint8_t* frame, uint32_t length) override {
        collector.ImportMessage(frame, length);
    }
    void BadCheck() override { collector.ImportBadCheck(); }
    Collector& collector;
};

// Argument 1: every record also goes into the record index (VELK.db): 1 as velk-import does it
// (on a thread of its own that reads each stored batch from the raw files), 2 as the window's
// import does it (the collector hands each batch's rows over). The rate is over the wall time.
void BM_VelkImportWithFiles(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    uint64_t imported = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ImportBase base(records);
        Collector& collector = base.collector;
        SqliteRecordIndex index(base.path / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        PosixFollowedFiles raw(OutputDirectories::Under(base.path).bill, ".raw");
        std::unique_ptr<IndexFollower> follower;
        if (state.range(1) == 1) {
            follower = std::make_unique<IndexFollower>(base.settings, base.path);
            collector.SetImportStored([&follower] { follower->Publish(); });
            follower->Start();
        }
        if (state.range(1) == 2)
            collector.SetRecordIndex(&index, &raw);
        collector.BeginImport();
        FileImportSource source(base.file);
        CollectorSink sink(collector);
        state.ResumeTiming();
        imported += RunRawImport(source, sink, false).imported;
        collector.EndImport();  // the last batch reaches the disk
        // and the index, as velk-import waits for it
        if (follower && !follower->Finish())
            state.SkipWithError("the index failed");
        if (state.range(1) == 2)
            collector.Indexer().Finish();
        follower.reset();  // its connection closes: the log is copied into the database
    }
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(imported), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VelkImportWithFiles)
    ->Args({20000, 0})
    ->Args({20000, 1})
    ->Args({20000, 2})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The record index catching up after a backlog (a long outage of the index, a deleted VELK.db):
// a raw file of Bill whose records the index does not have yet, read into it in steps.
void BM_IndexCatchUp(benchmark::State& state) {
    const char* env = std::getenv("VELK_BENCH_CATCH_UP");
    const int records = env != nullptr ? std::atoi(env) : 1000000;
    static const std::string content = RawRecords(records);
    uint64_t entered = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        const std::filesystem::path base = dir.path().toStdString();
        const OutputDirectories dirs = OutputDirectories::Under(base);
        MakeSaveDir(dirs);
        {
            FILE* f = std::fopen((dirs.bill / "cs1000.raw").c_str(), "wb");
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
        AppSettings settings = StoringSettings();
        settings.RawSaveDaily = 0;
        SystemClock clock;
        SqliteRecordIndex index(base / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        index.Open();
        PosixFollowedFiles raw(dirs.bill, ".raw");
        CallIndexer indexer(settings, clock, &index, &raw, nullptr);
        indexer.CatchUp();
        state.ResumeTiming();
        if (!indexer.Finish())
            state.SkipWithError(index.ErrorText().c_str());
        entered += indexer.EnteredCount();
    }
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(entered), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IndexCatchUp)->Iterations(1)->Unit(benchmark::kMillisecond);

// The window's import of 400 messages: the worker pauses 5 ms after each, and each message waits
// for the main thread to store it.
void BM_WindowImportAgainstItsFloor(benchmark::State& state) {
    constexpr int kMessages = 400;
    for (auto _ : state) {
        state.PauseTiming();
        ImportBase base(kMessages);
        Collector& collector = base.collector;
        bool done = false;
        RawImportRunner runner(
            [&collector](const uint8_t* f, uint32_t l, const std::vector<std::filesystem::path>&) {
                collector.ImportMessage(f, l);
            },
            [&collector] { collector.ImportBadCheck(); });
        QObject::connect(&runner, &RawImportRunner::Finished,
                         [&done](const ImportResult&) { done = true; });
        state.ResumeTiming();
        QElapsedTimer t;
        t.start();
        runner.Start(base.file, false, 5);
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
        state.SetIterationTime(seconds);
        state.counters["messages_per_s"] = kMessages / seconds;
        state.counters["fraction_of_floor"] = (kMessages * 0.005) / seconds;
    }
}
BENCHMARK(BM_WindowImportAgainstItsFloor)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velk

VELK_QT_BENCHMARK_MAIN()
