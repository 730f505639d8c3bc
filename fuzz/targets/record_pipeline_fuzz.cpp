// The field decoder and the record pipeline: messages of any length and content, each in a block
// of exactly its size. Decoding all 50 fields at once must equal decoding them one by one in
// every number base; every message then goes through the pipeline into the recorders, and every
// decoded and traffic file must stay a sequence of whole lines, one per record or report.
#include <string>
#include <vector>

#include "core/decode/field_decoder.h"
#include "core/decode/last_calls_ring.h"
#include "core/decode/record_pipeline.h"
#include "core/foundation/base_directory.h"
#include "core/link/link_fakes.h"
#include "core/record/call_recorder.h"
#include "core/record/fake_file_store.h"
#include "core/record/traffic_recorder.h"
#include "fuzz_input.h"

namespace velk::fuzz {
namespace {

class QuietObserver : public PipelineObserver {
public:
    void ShowRawMessage(const std::string&) override {}
    void ShowRecordDetail(const LastCallsRing::Record&) override {}
    void RefreshLastCalls() override {}
    void StatisticsRowChanged(int) override {}
    void CallRecordStored(const LastCallsRing::Record&) override { ++stored; }
    int stored = 0, reports = 0;
};

// Whole lines ended by CR LF, without another CR or LF inside; the number of lines.
size_t WholeLines(const std::string& content) {
    size_t lines = 0, start = 0;
    while (start < content.size()) {
        const size_t end = content.find("\r\n", start);
        FUZZ_CHECK(end != std::string::npos);
        FUZZ_CHECK(content.find_first_of("\r\n", start) == end);
        start = end + 2;
        ++lines;
    }
    return lines;
}

bool EndsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

void DecodeAllWays(const AppSettings& settings, const BillingMessage& message) {
    for (int32_t hexType : {0, 1, 2}) {
        FieldDecoder whole(settings);
        DecodedRecord record;
        whole.DecodeRecord(message, hexType, record);
        FieldDecoder single(settings);
        for (int i = 0; i < 50; ++i) {
            const bool present = single.DecodeField(i, message, hexType);
            const std::string& text = record.fields[static_cast<size_t>(i)];
            if (i != 32)  // the duration is made from the texts of the start and end fields
                FUZZ_CHECK(text == (present ? single.FieldText() : std::string()));
        }
        FUZZ_CHECK(whole.CurrentCallType() == single.CurrentCallType());
    }
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    AppSettings settings;
    const uint8_t mode = in.Byte();
    settings.Hex_Type = mode % 3;
    settings.SaveToFile = 1;
    settings.RawSave = 1;
    settings.RawSaveDaily = (mode >> 2) & 1;
    settings.MakeHeader = (mode >> 3) & 1;
    settings.DoBufferPacked = (mode >> 4) & 1;
    settings.DoBufferDecoded = (mode >> 5) & 1;
    for (int i = 0; i < 50; ++i) {
        settings.f[static_cast<size_t>(i)] = 1;
        settings.SaveInd[static_cast<size_t>(i)] = i;
    }

    test::FakeFileStore files;
    const OutputDirectories dirs = OutputDirectories::Under("/velk");
    FieldDecoder decoder(settings);
    LastCallsRing ring;
    StatisticCounters counters;
    test::FakeClock clock;
    QuietObserver observer;
    RecordPipeline pipeline(settings, decoder, ring, counters, clock, observer);
    CallRecorder calls(settings, files, dirs);
    TrafficRecorder traffic(files, dirs.trf);
    pipeline.SetSaver(&calls);
    pipeline.SetTrafficSink(&traffic);
    traffic.SetStoredCallback([&observer](const std::string&) { ++observer.reports; });

    while (!in.Empty()) {
        // A message as the protocol hands it over: STX, three length digits, the text and the
        // check, L + 3 bytes for a length L.
        const std::string frame = in.Take(in.Word() % 1100u);
        if (frame.size() < 3)
            continue;
        ExactBuffer exact(frame);
        const auto length = static_cast<uint32_t>(exact.Size() - 3);
        DecodeAllWays(settings, BillingMessage(exact.Data(), length));

        const int storedBefore = observer.stored, reportsBefore = observer.reports;
        pipeline.ProcessMessage(exact.Data(), length);
        const int records = observer.stored - storedBefore;
        FUZZ_CHECK(records >= 0 && records <= 1);
        FUZZ_CHECK(observer.reports - reportsBefore <= 1);
    }

    // Every decoded file holds one line per stored record (and its header); every traffic file
    // one line per report. The raw files keep the bytes as received.
    size_t reportLines = 0;
    for (const auto& [path, content] : files.files) {
        if (EndsWith(path, ".raw"))
            continue;
        const size_t lines = WholeLines(content);
        if (EndsWith(path, ".trf"))
            reportLines += lines;
        else if (path.find("Bill/") != std::string::npos)
            FUZZ_CHECK(lines <= static_cast<size_t>(observer.stored) + 1);
    }
    FUZZ_CHECK(reportLines == static_cast<size_t>(observer.reports));
    return 0;
}
