// The traffic recorder joining the four parts of traffic reports: parts in any order, lost,
// repeated, short or long, with any bytes. Each report whose part 3 follows its part 0 becomes
// exactly one line of a daily file directly in the traffic directory; nothing else is written.
#include <filesystem>
#include <string>

#include "core/decode/billing_message.h"
#include "core/foundation/hex_digits.h"
#include "core/record/fake_file_store.h"
#include "core/record/traffic_recorder.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    test::FakeFileStore files;
    const std::filesystem::path trf = "/velk/Trf";
    TrafficRecorder recorder(files, trf);
    int stored = 0;
    recorder.SetStoredCallback([&stored](const std::string& line) {
        FUZZ_CHECK(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0);
        FUZZ_CHECK(line.find_first_of("\r\n") == line.size() - 2);
        ++stored;
    });

    bool open = false;
    int expected = 0;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        std::string frame = in.Take(op < 128 ? op : in.Byte() + 100u);
        const uint8_t chosen = in.Byte();
        if (frame.size() >= 26 && chosen < 4) {  // a part number the recorder knows
            frame[24] = '0';
            frame[25] = static_cast<char>('0' + chosen);
        }
        if (frame.size() < 3)
            continue;
        ExactBuffer exact(frame);
        const BillingMessage message(exact.Data(), static_cast<uint32_t>(exact.Size() - 3));
        const uint32_t part = DigitValue(message.At(24)) * 16 + DigitValue(message.At(25));
        if (part == 0)
            open = true;
        if (part == 3 && open) {
            ++expected;
            open = false;
        }
        FUZZ_CHECK(recorder.OnTrafficMessage(message));
    }

    FUZZ_CHECK(stored == expected);
    size_t lines = 0;
    for (const auto& [path, content] : files.files) {
        const std::filesystem::path p(path);
        FUZZ_CHECK(p.parent_path() == trf);
        FUZZ_CHECK(p.filename().string().size() == 12 && p.extension() == ".trf");
        for (size_t at = content.find("\r\n"); at != std::string::npos;
             at = content.find("\r\n", at + 2))
            ++lines;
        FUZZ_CHECK(content.size() >= 2 && content.compare(content.size() - 2, 2, "\r\n") == 0);
    }
    FUZZ_CHECK(lines == static_cast<size_t>(expected));
    return 0;
}
