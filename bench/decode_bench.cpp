// Decoding all 50 fields of a typical call record with a dozen optional fields.
#include <benchmark/benchmark.h>

#include "record_generator.h"

#include <cstdio>
#include <string>

#include "core/decode/field_decoder.h"

namespace velk {
namespace {

std::string Opt(const char* id, const std::string& data) {
    char len[8];
    std::snprintf(len, sizeof len, "%02X", static_cast<int>(data.size()));
    return std::string(id) + len + data;
}

std::string TypicalFrame() {
    std::string text =
        "5203"
        "1A2B"
        "0012"
        "09"
        "2041FFFF"
        "141A0C080C1E2D"
        "00"
        "141A0C080C202D"
        "00"
        "0123456789FFFFFFFFFFFFFF";
    text += Opt("01", "03") + Opt("02", "01") + Opt("03", "03") + Opt("04", "01") +
            Opt("05", "01") + Opt("07", "07") + Opt("0D", "00") + Opt("10", "123") +
            Opt("14", "000000A6") + Opt("16", "0123456789") + Opt("17", "123456") +
            Opt("40", "001020304") + "FF";
    return sim::Frame(text);
}

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
