// The raw file import: what velk-import reaches on one core with every record stored raw and
// decoded (50 columns) in both directories, flushed to the disk in batches and at the end, and
// the window's import against its floor of 5 ms a message (the pause that keeps the window
// responsive).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include "bench_support.h"
#include "core/analysis/raw_import.h"
#include "core/app/collector.h"
#include "platform/posix_file_store.h"
#include "platform/raw_import_runner.h"
#include "platform/sqlite_record_index.h"
#include "record_generator.h"

namespace velk {
namespace {

// A raw file of n generated call records as the recorder writes it (STX, CR LF).
std::string RawFile(const std::filesystem::path& dir, int n) {
    sim::RecordGenerator gen(3);
    std::string content;
    for (int i = 0; i < n; ++i) {
        const std::string frame = sim::Frame(gen.NextCallRecord());
        content += frame.substr(0, frame.size() - 1) + "\r\n";
    }
    const auto path = dir / "saved.raw";
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
    Collector collector{settings, path, prompt, clock, timers, ring, files};
};

struct CollectorSink : ImportSink {
    explicit CollectorSink(Collector& c) : collector(c) {}
    void Message(const uint8_t* frame, uint32_t length) override {
        collector.ImportMessage(frame, length);
    }
    void BadCheck() override { collector.ImportBadCheck(); }
    Collector& collector;
};

// Argument 1: every record also goes into the record index (VELK.db), as velk-import does.
void BM_VelkImportWithFiles(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    uint64_t imported = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ImportBase base(records);
        Collector& collector = base.collector;
        SqliteRecordIndex index(base.path / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        if (state.range(1) != 0)
            collector.SetRecordIndex(&index);
        collector.BeginImport();
        FileImportSource source(base.file);
        CollectorSink sink(collector);
        state.ResumeTiming();
        imported += RunRawImport(source, sink, false).imported;
        collector.EndImport();  // the last batch reaches the disk
    }
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(imported), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VelkImportWithFiles)
    ->Args({20000, 0})
    ->Args({20000, 1})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

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
            [&collector](const uint8_t* f, uint32_t l) { collector.ImportMessage(f, l); },
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
