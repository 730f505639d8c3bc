// The link over a serial line at 9600 baud: velk-pbx-sim on one end of a pseudo-terminal pair
// (socat), pacing what it sends at 10 bits a character as the wire would, and the protocol with
// the serial channel on the other, polling again 50 ms after each record. The figure is the
// records per second reached as a fraction of what the line allows: per record the ENQ, the
// frame, the ACK and the EOT on the wire, plus the 50 ms pause.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include "bench_support.h"
#include "core/link/link_protocol.h"
#include "core/record/connection_log.h"
#include "platform/qt_timer_host.h"
#include "platform/serial_channel.h"
#include "record_generator.h"

namespace velk {
namespace {

constexpr int kBaud = 9600;
constexpr int kDelayMs = 50;
constexpr int kRecords = 40;
constexpr uint32_t kSeed = 17;

struct Observer : LinkObserver {
    void Notify(NotifyCode, int) override {}
};
struct TimedDispatcher : FrameDispatcher {
    void Dispatch(const uint8_t*, uint32_t) override {
        if (++frames == 1)
            first.start();
        last = first.nsecsElapsed();
    }
    int frames = 0;
    QElapsedTimer first;
    qint64 last = 0;
};

// Seconds the line needs for record i (from the second record on): its cycle on the wire.
double WireSeconds(int records) {
    sim::RecordGenerator gen(kSeed);
    gen.NextCallRecord();  // the clock starts at the first record's delivery
    double seconds = 0;
    for (int i = 1; i < records; ++i) {
        const size_t frame = sim::Frame(gen.NextCallRecord()).size();
        seconds += (1 + frame + 1 + 1) * 10.0 / kBaud + kDelayMs / 1000.0;
    }
    return seconds;
}

void BM_SerialLinkAt9600Baud(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString pbx = dir.filePath(QStringLiteral("pbx"));
        const QString velk = dir.filePath(QStringLiteral("velk"));
        QProcess socat;
        socat.start(QStringLiteral("socat"),
                    {"pty,raw,echo=0,link=" + pbx, "pty,raw,echo=0,link=" + velk});
        for (int i = 0; i < 200 && !(QFile::exists(pbx) && QFile::exists(velk)); ++i)
            QThread::msleep(10);
        QProcess sim;
        sim.start(QStringLiteral(VELK_PBX_SIM),
                  {"--serial", pbx, "--baud", QString::number(kBaud), "--count",
                   QString::number(kRecords), "--rate", "0", "--traffic-every", "0", "--seed",
                   QString::number(kSeed)});
        sim.waitForReadyRead(10000);

        AppSettings settings;
        settings.IP_Used = 0;
        settings.COM_Port_baud_rate_index = 3;
        settings.RequestDelayAfterNormalData = kDelayMs;
        settings.Serial_Ports[0] = velk.toStdString();
        StatisticCounters counters;
        SystemClock clock;
        bench::QuietPrompt prompt;
        Observer observer;
        TimedDispatcher dispatcher;
        cs_smda_prot* protocol = nullptr;
        QtTimerHost timers([&protocol](int id) { protocol->SMDA_Timer_Expired(id); });
        ConnectionLog log(dir.filePath(QStringLiteral("VELK.LOG")).toStdString(), settings, clock,
                          counters);
        cs_smda_prot prot(settings, counters, timers, clock, prompt, observer, dispatcher, log);
        protocol = &prot;
        SerialPort port(prot, observer, settings, prompt, nullptr);
        prot.SetChannels(nullptr, &port);
        if (!prot.SMDA_Connect()) {
            state.SkipWithError("the serial port could not be opened");
            break;
        }
        QElapsedTimer limit;
        limit.start();
        while (dispatcher.frames < kRecords && limit.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        prot.Link_Ok = 0;
        prot.SMDA_Disconnect();
        sim.kill();
        sim.waitForFinished();
        socat.kill();
        socat.waitForFinished();
        if (dispatcher.frames < kRecords) {
            state.SkipWithError("not every record arrived");
            break;
        }

        const double seconds = static_cast<double>(dispatcher.last) / 1e9;
        state.SetIterationTime(seconds);
        const double rate = (kRecords - 1) / seconds;
        const double wire = (kRecords - 1) / WireSeconds(kRecords);
        state.counters["records_per_s"] = rate;
        state.counters["line_limit_per_s"] = wire;
        state.counters["fraction_of_limit"] = rate / wire;
        state.counters["bad_bcc"] = counters.Total(EV_BAD_BCC);
    }
}
BENCHMARK(BM_SerialLinkAt9600Baud)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace velk

VELK_QT_BENCHMARK_MAIN()
