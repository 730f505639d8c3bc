// The disk-buffer channel taking records out of a full queue file (19,999 records of 120 bytes,
// the capacity less one): each poll takes every record waiting, so the rate is what taking,
// converting and committing a record costs, not the 10 ms poll. With --with-files the records also
// go through the collector's pipeline and are stored (raw and decoded, both directories).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <fstream>
#include <random>

#include "bench_support.h"
#include "core/app/collector.h"
#include "platform/collector_host.h"
#include "platform/disk_buffer_reader.h"

namespace velk {
namespace {

constexpr uint32_t kCapacity = 20000;
constexpr uint32_t kSize = 120;

std::filesystem::path FullQueue(const std::filesystem::path& dir) {
    std::vector<uint8_t> bytes(QueueHeader::kSize + uint64_t{kSize} * kCapacity, 0xFF);
    QueueHeader{kCapacity - 1, 0, kSize, kCapacity}.Serialize(bytes.data());
    std::mt19937 rng(1);
    for (uint32_t i = 0; i < kCapacity; ++i) {
        uint8_t* r = bytes.data() + QueueHeader::kSize + uint64_t{i} * kSize;
        r[2] = static_cast<uint8_t>(i), r[3] = static_cast<uint8_t>(i >> 8);
        r[5] = static_cast<uint8_t>(rng() % 14);
        const uint8_t stamp[8] = {20, 26, 12, 8, 10, 20, 30, 0};
        std::copy(stamp, stamp + 8, r + 18);
        std::copy(stamp, stamp + 8, r + 26);
        for (int d = 0; d < 4; ++d)
            r[11 + d] = static_cast<uint8_t>(0x10 * (rng() % 10) + rng() % 10);
    }
    const auto queue = dir / QueueFileName(0);
    std::ofstream(queue, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::ofstream(QueueLockPath(queue)).flush();
    return queue;
}

void BM_TakeFromAFullQueue(benchmark::State& state) {
    size_t taken = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        const auto queue = FullQueue(dir.path().toStdString());
        AppSettings settings;
        uint64_t bytes = 0;
        DiskBufferReader reader(
            settings, [&bytes, &settings](uint32_t, const std::vector<BillingRecord>& records) {
                for (const BillingRecord& r : records) {
                    const std::vector<uint8_t> frame =
                        ConvertBillingRecord(r, settings.Hex_Type, settings.APP_LCRinMandatory);
                    bytes += ParseLengthDigits(&frame[1]);
                }
                return records.size();
            });
        PosixQueueFile file(queue);
        DiskQueueReader queueReader(file);
        state.ResumeTiming();
        taken += reader.TakeAll(queueReader);
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(taken), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TakeFromAFullQueue)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_TakeAndStoreFromAFullQueue(benchmark::State& state) {
    size_t taken = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir base;
        QTemporaryDir buffer;
        const auto queue = FullQueue(buffer.path().toStdString());
        AppSettings settings;
        settings.RawSave = 1;
        settings.RawSaveDaily = 1;
        settings.SaveToFile = 1;
        bench::StoreEveryColumn(settings);
        const std::filesystem::path dir = base.path().toStdString();
        MakeSaveDir(OutputDirectories::Under(dir));
        bench::QuietPrompt prompt;
        LastCallsRing ring;
        CollectorHost host(settings, dir, prompt, ring);
        DiskBufferReader reader(
            settings, [&host](uint32_t firstSlot, const std::vector<BillingRecord>& records) {
                return host.Get().DeliverFromDiskBuffer(firstSlot, records);
            });
        PosixQueueFile file(queue);
        DiskQueueReader queueReader(file);
        state.ResumeTiming();
        taken += reader.TakeAll(queueReader);
    }
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(taken), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TakeAndStoreFromAFullQueue)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace velk

VELK_QT_BENCHMARK_MAIN()
