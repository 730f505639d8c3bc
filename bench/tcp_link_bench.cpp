// The link over TCP with every file of a record written: velk-pbx-sim on 127.0.0.1 delivers as
// fast as it is polled, and the collector, wired as the programs wire it, stores each record raw
// and decoded (50 columns) in Bill and Bill_Backup and in both buffer files, in a base directory
// on the disk. The figure is the records per second reached as a fraction of what the protocol's
// cycle allows: one record per pause after a delivered record (RequestDelayAfterNormalData), the
// exchange on the loopback taking next to nothing.
//
// Run it in a network namespace of its own, where the simulator's port is free:
//   unshare -n sh -c 'ip link set lo up && build/bin/velk_tcp_link_bench'
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include "bench_support.h"
#include "core/app/collector.h"
#include "core/foundation/base_directory.h"
#include "platform/collector_host.h"

namespace velk {
namespace {

constexpr int kRecords = 60;

// Times the records as they are stored.
struct TimingView : CollectorView {
    void Notify(NotifyCode, int) override {}
    void ShowRawMessage(const std::string&) override {}
    void ShowRecordDetail(const LastCallsRing::Record&) override {}
    void RefreshLastCalls() override {}
    void StatisticsRowChanged(int) override {}
    void SetTitle(const std::string&) override {}
    void SetConnectedText(const std::string&) override {}
    void DurationReset() override {}
    void SetMenuState(LinkMenuState) override {}
    void CallRecordStored(const LastCallsRing::Record&) override {
        if (++stored == 1)
            first.start();
        last = first.nsecsElapsed();
    }
    int stored = 0;
    QElapsedTimer first;
    qint64 last = 0;
};

AppSettings StoringSettings(int delayMs) {
    AppSettings s;
    s.IP_Used = 1;
    s.Server_Port_index = 0;  // 6013
    s.RequestDelayAfterNormalData = delayMs;
    s.RawSave = 1;
    s.RawSaveDaily = 1;
    s.SaveToFile = 1;
    s.DoBufferPacked = 1;
    s.DoBufferDecoded = 1;
    bench::StoreEveryColumn(s);
    return s;
}

void BM_TcpLinkWithFiles(benchmark::State& state) {
    const int delayMs = static_cast<int>(state.range(0));
    for (auto _ : state) {
        QTemporaryDir dir;
        const std::filesystem::path base = dir.path().toStdString();
        MakeSaveDir(OutputDirectories::Under(base));
        QProcess sim;
        sim.start(QStringLiteral(VELK_PBX_SIM),
                  {"--port", "6013", "--count", QString::number(kRecords), "--rate", "0",
                   "--traffic-every", "0"});
        if (!sim.waitForReadyRead(10000)) {
            state.SkipWithError("velk-pbx-sim did not start (is port 6013 free?)");
            break;
        }
        AppSettings settings = StoringSettings(delayMs);
        bench::QuietPrompt prompt;
        LastCallsRing ring;
        TimingView view;
        {
            CollectorHost host(settings, base, prompt, ring);
            Collector& collector = host.Get();
            collector.SetView(&view);
            collector.Start();
            collector.Connection().Connect();
            QElapsedTimer limit;
            limit.start();
            while (view.stored < kRecords && limit.elapsed() < 120000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            collector.Protocol().Link_Ok = 0;
            collector.Connection().Disconnect();
        }
        sim.kill();
        sim.waitForFinished();
        if (view.stored < kRecords) {
            state.SkipWithError("not every record was stored");
            break;
        }
        const double seconds = static_cast<double>(view.last) / 1e9;
        state.SetIterationTime(seconds);
        const double rate = (kRecords - 1) / seconds;
        const double limitRate = 1000.0 / delayMs;
        state.counters["records_per_s"] = rate;
        state.counters["cycle_limit_per_s"] = limitRate;
        state.counters["fraction_of_limit"] = rate / limitRate;
    }
}
BENCHMARK(BM_TcpLinkWithFiles)
    ->Arg(200)
    ->Arg(50)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace velk

VELK_QT_BENCHMARK_MAIN()
