// Decoding all 50 fields of a typical call record with a dozen optional fields.
#include <benchmark/benchmark.h>

#include "typical_record.h"

#include <cstdio>
#include <string>

#include "core/decode/field_decoder.h"

namespace velk {
namespace {

using bench::TypicalFrame;

void BM_DecodeRecord(benchmark::State& state) {
    AppSettings settings;
    FieldDecoder decoder(settings);
    const std::string frame = TypicalFrame();
    const auto* data = reinterpret_cast<const uint8_t*>(frame.data());
    const uint32_t length = static_cast<uint32_t>(frame.size() - 4);
    DecodedRecord record;
    for (auto _ : state) {
        const BillingMessage message(data, length);  // a new message: its optional part is walked
        decoder.DecodeRecord(message, 1, record);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    if (record.fields[48] != "001:02:03:04")
        state.SkipWithError("unexpected decoding");
}
BENCHMARK(BM_DecodeRecord);

}  // namespace
}  // namespace velk

BENCHMARK_MAIN();
