// The system-load view: counting a day's traffic file (a report a minute, 1440 lines) and every
// cell of both tables; a month's worth of reports in one file; and the window from a picked day to
// the drawn by-ports table (992 ports x 24 hours).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QRadioButton>
#include <QTableView>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "core/analysis/system_load.h"
#include "ui/system_load_window.h"

namespace velk {
namespace {

// n reports spread over the day, each with a changing set of busy ports.
std::string TrafficFile(int n) {
    std::string file;
    file.reserve(static_cast<size_t>(n) * 274);
    for (int i = 0; i < n; ++i) {
        const int hour = i * 24 / n;
        char head[32];
        std::snprintf(head, sizeof head, "2026-12-07 %02d:%02d:00;", hour, i % 60);
        file += head;
        for (int j = 0; j < 124; ++j) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02X",
                          static_cast<unsigned>((i * 37 + j * 11) & 0xff));
            file += pair;
        }
        char count[8];
        std::snprintf(count, sizeof count, "%04X", static_cast<unsigned>(i & 0xffff));
        file += count;
        file += "\r\n";
    }
    return file;
}

// Counting and then every text both tables and the totals show.
void CountAndShow(const std::string& file, TrafficDay& day, benchmark::State& state) {
    day.Parse(file);
    size_t chars = 0;
    for (int h = 0; h < kHours; ++h) {
        for (int p = 0; p < kPortCount; ++p)
            chars += LoadText(day.PortLoad(p, h)).size();
        for (int s = 0; s < kSlotCount; ++s)
            chars += LoadText(day.SlotLoad(s, h)).size();
        chars += ErlangText(day.Erlang(h)).size() + CountText(day.seizures[h]).size();
    }
    benchmark::DoNotOptimize(chars);
    if (day.reports[0] == 0)
        state.SkipWithError("nothing counted");
}

void BM_CountDay(benchmark::State& state) {
    const std::string file = TrafficFile(static_cast<int>(state.range(0)));
    TrafficDay day;
    for (auto _ : state)
        CountAndShow(file, day, state);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_CountDay)->Arg(1440)->Arg(43200)->Unit(benchmark::kMillisecond);

// Reading a file from the disk (its pages cached), piece by piece, and counting it.
void BM_LoadFile(benchmark::State& state) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("20261207.trf").toStdString();
    const std::string file = TrafficFile(static_cast<int>(state.range(0)));
    std::ofstream(path, std::ios::binary) << file;
    TrafficDay day;
    for (auto _ : state) {
        if (!LoadTrafficFile(path, day))
            state.SkipWithError("not read");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_LoadFile)->Arg(1440)->Arg(43200)->Unit(benchmark::kMillisecond);

struct FixedClock : Clock {
    LocalTime Now() const override { return {2026, 12, 8, 12, 0, 0}; }
    int64_t Seconds() const override { return 0; }
};
// From the picked day to the by-ports table drawn: reading on the worker, counting, the models
// reset and the visible part of the table painted.
void BM_WindowShowsDay(benchmark::State& state) {
    QTemporaryDir dir;
    std::ofstream(dir.filePath("20261207.trf").toStdString(), std::ios::binary)
        << TrafficFile(1440);
    AppSettings settings;
    FixedClock clock;
    bench::QuietPrompt prompt;
    SystemLoadingWindow window(settings, dir.path().toStdString(), clock, prompt);
    window.resize(1200, 800);
    window.show();
    window.findChild<QRadioButton*>("byPortsRadio")->click();
    auto* table = window.findChild<QTableView*>("byPortsTable");
    for (auto _ : state) {
        window.PickDate(QDate(2026, 12, 7));
        while (window.Loading())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        benchmark::DoNotOptimize(table->grab());
    }
    if (table->model()->rowCount() != kPortCount || window.Day().reports[0] == 0)
        state.SkipWithError("day not shown");
}
BENCHMARK(BM_WindowShowsDay)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velk

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
