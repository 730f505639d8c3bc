// The whole save path of one call record on this machine's disk: raw and decoded files in Bill
// and Bill_Backup and both buffer in-files, each opened, appended and closed per record.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "typical_record.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/record/call_recorder.h"
#include "platform/posix_file_store.h"

namespace velk {
namespace {

using bench::TypicalFrame;

void BM_SaveCallAll(benchmark::State& state) {
    char pattern[] = "/tmp/velk-bench-XXXXXX";
    const std::filesystem::path base = mkdtemp(pattern);
    const OutputDirectories dirs = OutputDirectories::Under(base);
    MakeSaveDir(dirs);
    AppSettings settings;
    settings.RawSave = 1;
    settings.RawSaveDaily = 1;
    settings.SaveToFile = 1;
    settings.MakeHeader = 1;
    settings.DoBufferPacked = 1;
    settings.DoBufferDecoded = 1;
    bench::StoreEveryColumn(settings);
    PosixFileStore files;
    CallRecorder recorder(settings, files, dirs);
    const std::string frame = TypicalFrame();
    const BillingMessage message(reinterpret_cast<const uint8_t*>(frame.data()),
                                 static_cast<uint32_t>(frame.size() - 4));
    for (auto _ : state)
        recorder.SaveCall_All(message);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    std::filesystem::remove_all(base);
}
BENCHMARK(BM_SaveCallAll)->UseRealTime();

}  // namespace
}  // namespace velk

BENCHMARK_MAIN();
