// The system-load view's traffic-file reading: any content, in a block of exactly its size and in
// pieces (of a size the first byte chooses) that must count the same. The reports counted must be
// the lines of exactly 272 characters ended by CR LF whose hour is below 24; no port can be busy in
// more reports than the hour had, and every load stays between 0 and 1 (the total between 0 and the
// number of ports) with a text for every positive value.
#include <array>
#include <string>
#include <string_view>

#include "core/analysis/system_load.h"
#include "core/foundation/hex_digits.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    const std::string content(reinterpret_cast<const char*>(data), size);
    ExactBuffer exact(content);
    TrafficDay day;
    day.busy[5][5] = 7;  // what an earlier day left
    day.Parse(std::string_view(reinterpret_cast<const char*>(exact.Data()), exact.Size()));

    // The lines read plainly.
    std::array<uint32_t, kHours> reports{};
    for (size_t start = 0, end; (end = content.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        if (end - start != 272)
            continue;
        const auto digit = [&](size_t i) {
            return DigitValue(static_cast<uint8_t>(content[start + i]));
        };
        const uint32_t hour = digit(11) * 10 + digit(12);
        if (hour < 24)
            ++reports[hour];
    }
    FUZZ_CHECK(day.reports == reports);

    TrafficDay pieces;
    TrafficCounter counter(pieces);
    const size_t piece = size > 0 ? 1 + data[0] % 300 : 1;
    for (size_t at = 0; at < content.size(); at += piece)
        counter.Feed(std::string_view(content).substr(at, piece));
    counter.Finish();
    FUZZ_CHECK(pieces.reports == day.reports && pieces.seizures == day.seizures &&
               pieces.busy == day.busy);

    for (int h = 0; h < kHours; ++h) {
        const auto hour = static_cast<size_t>(h);
        FUZZ_CHECK((day.seizures[hour] > 0) == !CountText(day.seizures[hour]).empty());
        if (day.reports[hour] == 0) {
            FUZZ_CHECK(day.seizures[hour] == 0);
            continue;  // nothing was read for the hour: every load is 0
        }
        for (int p = 0; p < kPortCount; ++p) {
            FUZZ_CHECK(day.busy[static_cast<size_t>(p)][hour] <= day.reports[hour]);
            const float load = day.PortLoad(p, h);
            FUZZ_CHECK(load >= 0.0f && load <= 1.0f);
            FUZZ_CHECK((load > 0.0f) == !LoadText(load).empty());
        }
        for (int s = 0; s < kSlotCount; ++s) {
            const float load = day.SlotLoad(s, h);
            FUZZ_CHECK(load >= 0.0f && load <= 1.0f);
            FUZZ_CHECK(CellBand(LoadText(load)) >= 0 && CellBand(LoadText(load)) < kLoadBands);
        }
        const float erlang = day.Erlang(h);
        FUZZ_CHECK(erlang >= 0.0f && erlang <= static_cast<float>(kPortCount) + 0.01f);
        FUZZ_CHECK((erlang > 0.0f) == !ErlangText(erlang).empty());
    }
    return 0;
}
