// Cost of the link protocol per frame: the four read events of one exchange and the delivery,
// with timers, channel and dispatcher that do nothing.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "record_generator.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/link/link_protocol.h"

namespace velk {
namespace {

struct NullChannel : LinkChannel {
    bool Open(const std::string&, int32_t) override { return true; }
    bool Write(uint8_t) override { return true; }
    void Close() override {}
};
struct NullObserver : LinkObserver {
    void Notify(NotifyCode, int) override {}
};
struct CountingDispatcher : FrameDispatcher {
    void Dispatch(const uint8_t* frame, uint32_t length) override {
        benchmark::DoNotOptimize(frame);
        bytes += length;
    }
    uint64_t bytes = 0;
};
struct NullLog : ConnectionLogger {
    void Log(int) override {}
};
struct FixedClock : Clock {
    LocalTime Now() const override { return {2026, 12, 8, 10, 0, 0}; }
    int64_t Seconds() const override { return 0; }
};

std::string MakeFrame(char fill, size_t textLength) {
    return sim::Frame("5203" + std::string(textLength - 4, fill));
}

void BM_ProtocolPerFrame(benchmark::State& state) {
    AppSettings settings;
    settings.IP_Used = 1;
    StatisticCounters counters;
    bench::NoTimers timers;
    FixedClock clock;
    bench::QuietPrompt prompt;
    NullObserver observer;
    CountingDispatcher dispatcher;
    NullLog log;
    NullChannel channel;
    cs_smda_prot prot(settings, counters, timers, clock, prompt, observer, dispatcher, log);
    prot.SetChannels(&channel, nullptr);
    prot.SMDA_Connect();
    prot.OnChannelReady();
    const size_t textLength = static_cast<size_t>(state.range(0));
    const std::string frames[2] = {MakeFrame('1', textLength), MakeFrame('2', textLength)};
    size_t n = 0;
    for (auto _ : state) {
        const std::string& f = frames[n++ & 1];
        prot.State = ENQ_SENT;
        prot.RX_Buf[0] = STX;
        prot.SMDA_read_event(1);
        std::memcpy(&prot.RX_Buf[1], f.data() + 1, 3);
        prot.SMDA_read_event(3);
        std::memcpy(&prot.RX_Buf[4], f.data() + 4, f.size() - 4);
        prot.SMDA_read_event(prot.Data_Len);
        prot.RX_Buf[0] = EOT;
        prot.SMDA_read_event(1);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    if (dispatcher.bytes == 0)
        state.SkipWithError("nothing was delivered");
}
BENCHMARK(BM_ProtocolPerFrame)->Arg(160)->Arg(996);

}  // namespace
}  // namespace velk

BENCHMARK_MAIN();
