// The saving filter's trunk lists as typed in its dialog or found in the settings file, and its
// call-type choices, applied to call records of any content. A cleaned list holds only digits
// and single separators; the trunks a list selects must equal a plain reading of it.
#include <string>
#include <vector>

#include "core/decode/billing_message.h"
#include "core/record/saving_filter.h"
#include "fuzz_input.h"
#include "support/scripted_prompt.h"

namespace velk::fuzz {
namespace {

// Items separated by ',', each a trunk or a range "low-high" of trunks 1..1024. False when any
// item is not one.
bool ReadList(const std::string& text, TrunkTable& table) {
    if (text.size() > 70)
        return false;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const size_t dash = item.find('-');
        const std::string low = item.substr(0, dash);
        const std::string high = dash == std::string::npos ? low : item.substr(dash + 1);
        const auto number = [](const std::string& digits, long& value) {
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
                return false;
            value = 0;
            for (char c : digits)
                value = std::min(value * 10 + (c - '0'), 100000L);
            return true;
        };
        long a = 0, b = 0;
        if (!number(low, a) || !number(high, b) || a < 1 || b > 1024 || a > b)
            return false;
        for (long t = a; t <= b; ++t)
            table.set(static_cast<size_t>(t));
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

void CheckClean(const std::string& typed) {
    const std::string clean = CleanTrunkList(typed);
    FUZZ_CHECK(!clean.empty());
    FUZZ_CHECK(clean.size() <= 70);
    FUZZ_CHECK(clean.find_first_not_of("0123456789-,") == std::string::npos);
    FUZZ_CHECK(clean.find("--") == std::string::npos && clean.find(",,") == std::string::npos &&
               clean.find("-,") == std::string::npos && clean.find(",-") == std::string::npos);
    TrunkTable parsed, read;
    const bool ok = ParseTrunkList(clean, &parsed);
    FUZZ_CHECK(ok == ReadList(clean, read));
    if (ok)
        FUZZ_CHECK(parsed == read);
    // Without cleaning, as a hand-edited settings file may hold it.
    TrunkTable raw, rawRead;
    const bool rawOk = ParseTrunkList(typed, &raw);
    FUZZ_CHECK(rawOk == ReadList(typed, rawRead));
    if (rawOk)
        FUZZ_CHECK(raw == rawRead);
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    SavingFilter::DialogValues values;
    values.calling = in.Take(in.Byte() % 90u);
    values.called = in.Take(in.Byte() % 90u);
    CheckClean(values.calling);
    CheckClean(values.called);
    const uint16_t types = in.Word();
    for (int t = 0; t < kCallTypeCount; ++t)
        values.types[static_cast<size_t>(t)] = (types >> t) & 1;
    const uint8_t mode = in.Byte();
    values.trunkAnd = mode & 1;
    values.use = (mode >> 1) & 1;

    AppSettings settings;
    settings.SCCallingSequence = values.calling;  // as a hand-edited file may hold them
    settings.SCCalledSequence = values.called;
    int passed = 0;
    SavingFilter filter(settings, [&passed] { ++passed; });
    test::ScriptedPrompt prompt;
    filter.LoadAtStartup(prompt);
    const bool applied = filter.ApplyDialog(values, prompt, [] { return true; });
    TrunkTable calling, called;
    const bool callingOk = ReadList(CleanTrunkList(values.calling), calling);
    const bool calledOk = ReadList(CleanTrunkList(values.called), called);
    FUZZ_CHECK(applied == (callingOk && calledOk));
    if (applied) {
        FUZZ_CHECK(filter.Calling() == calling && filter.Called() == called);
        FUZZ_CHECK(settings.T == values.types);
        FUZZ_CHECK(prompt.shown.size() <= 2);  // only the start-up's messages
    }

    int kept = 0;
    while (!in.Empty()) {
        const std::string frame = in.Take(in.Word() % 1100u);
        if (frame.size() < 3)
            continue;
        ExactBuffer exact(frame);
        kept += filter.Keep(BillingMessage(exact.Data(), static_cast<uint32_t>(exact.Size() - 3)))
                    ? 1
                    : 0;
    }
    // Passing records are counted only while the filter is in use.
    FUZZ_CHECK(passed == (settings.SCFilter_USE == 1 ? kept : 0));
    return 0;
}
