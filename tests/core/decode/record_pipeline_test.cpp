#include "core/decode/record_pipeline.h"

#include <gtest/gtest.h>

#include <random>

#include "core/link/link_fakes.h"
#include "record_builder.h"

namespace velk {
namespace {

using test::RecordBuilder;

class RecordingView : public PipelineObserver {
public:
    void ShowRawMessage(const std::string& text) override { raw.push_back(text); }
    void ShowRecordDetail(const LastCallsRing::Record& fields) override { detail = fields; }
    void RefreshLastCalls() override { ++refreshes; }
    void StatisticsRowChanged(int column) override { rows.push_back(column); }
    std::vector<std::string> raw;
    LastCallsRing::Record detail;
    int refreshes = 0;
    std::vector<int> rows;
};

class CountingSink : public TrafficSink, public RecordFilter, public RecordSaver {
public:
    bool OnTrafficMessage(const BillingMessage&) override { return ++traffic, true; }
    bool Keep(const BillingMessage&) override { return ++asked, keep; }
    bool SaveCall_All(const BillingMessage& m) override {
        saved.emplace_back(reinterpret_cast<const char*>(m.Data()), m.End());
        return true;
    }
    int traffic = 0, asked = 0;
    bool keep = true;
    std::vector<std::string> saved;
};

class RecordPipelineTest : public ::testing::Test {
protected:
    RecordPipelineTest() : pipeline_(settings_, decoder_, ring_, counters_, clock_, view_) {
        pipeline_.SetTrafficSink(&sink_);
        pipeline_.SetFilter(&sink_);
        pipeline_.SetSaver(&sink_);
    }
    bool Process(const std::string& frame) {
        std::vector<uint8_t> storage(frame.begin(), frame.end());
        return pipeline_.ProcessMessage(storage.data(), static_cast<uint32_t>(frame.size() - 4));
    }
    static std::string Call(int sequence, const std::string& callType = "01") {
        RecordBuilder r;
        char seq[8];
        std::snprintf(seq, sizeof seq, "%04X", sequence);
        r.sequence = seq;
        r.optional = RecordBuilder::Opt("03", callType) + "FF";
        return r.Frame();
    }

    AppSettings settings_;
    FieldDecoder decoder_{settings_};
    LastCallsRing ring_;
    StatisticCounters counters_;
    test::FakeClock clock_;
    RecordingView view_;
    CountingSink sink_;
    RecordPipeline pipeline_;
};

TEST_F(RecordPipelineTest, DispatchByTypeCode) {
    RecordBuilder r;
    EXPECT_TRUE(Process(r.Frame("52")));
    EXPECT_TRUE(Process(r.Frame("35")));
    EXPECT_FALSE(Process(r.Frame("53")));
    EXPECT_FALSE(Process(r.Frame("82")));
    EXPECT_FALSE(Process(r.Frame("5a")));
    EXPECT_EQ(sink_.traffic, 1);
    EXPECT_EQ(sink_.saved.size(), 1u);
    ASSERT_EQ(view_.raw.size(), 5u);  // every message is shown
    const std::string f = r.Frame("53");
    EXPECT_EQ(view_.raw[2], f.substr(0, f.size() - 1));
}

TEST_F(RecordPipelineTest, CallRecordFillsDetailRingAndCounters) {
    clock_.now.hour = 3;
    ASSERT_TRUE(Process(Call(7, "0B")));
    EXPECT_EQ(view_.detail[0], "0007");
    EXPECT_EQ(view_.detail[9], "Incoming Call");
    EXPECT_EQ(ring_.Slot(0)[9], "Incoming Call");
    EXPECT_EQ(ring_.WritePosition(), 1u);
    EXPECT_EQ(counters_.Total(12 + 11), 1);
    EXPECT_EQ(counters_.Hour(12, 12 + 11), 1);  // the record's start hour, not the local hour
    EXPECT_EQ(view_.rows, std::vector<int>{23});
    EXPECT_EQ(view_.refreshes, 1);
}

TEST_F(RecordPipelineTest, RingAfter30And31Records) {
    for (int i = 1; i <= 30; ++i)
        Process(Call(i));
    EXPECT_TRUE(ring_.Wrapped());
    EXPECT_EQ(ring_.WritePosition(), 0u);
    EXPECT_EQ(ring_.Slot(ring_.SlotForRow(0))[0], "0001");
    EXPECT_EQ(ring_.Slot(ring_.SlotForRow(29))[0], "0030");
    Process(Call(31));
    EXPECT_EQ(ring_.Slot(ring_.SlotForRow(29))[0], "0031");
    EXPECT_EQ(ring_.Slot(ring_.SlotForRow(0))[0], "0002");
    EXPECT_EQ(ring_.Slot(ring_.SlotForRow(28))[0], "0030");
}

TEST_F(RecordPipelineTest, ListRefreshEvery200RecordsDuringAnImport) {
    for (int i = 0; i < 5; ++i)
        Process(Call(i));
    EXPECT_EQ(view_.refreshes, 5);
    EXPECT_EQ(ring_.RefreshCounter(), 5u);  // keeps growing without an import
    pipeline_.SetImportRunning(true);
    for (int i = 0; i < 194; ++i)
        Process(Call(i));
    EXPECT_EQ(view_.refreshes, 5);
    Process(Call(1));  // the 200th since the counter was last reset
    EXPECT_EQ(view_.refreshes, 6);
    EXPECT_EQ(ring_.RefreshCounter(), 0u);
    for (int i = 0; i < 199; ++i)
        Process(Call(i));
    EXPECT_EQ(view_.refreshes, 6);
}

TEST_F(RecordPipelineTest, DecimalCallTypeElevenIsCountedAsUnknown) {
    settings_.Hex_Type = 0;
    RecordBuilder r;
    r.start = "20261208093045";
    r.end = "20261208093145";
    r.optional = RecordBuilder::OptDec("03", "11") + "FF";
    Process(r.Frame());
    EXPECT_EQ(view_.detail[9], "Incoming Call");
    EXPECT_EQ(counters_.Total(12), 1);  // "11" read in base 16 is 17: out of range
    EXPECT_EQ(counters_.Total(23), 0);
    EXPECT_EQ(counters_.Hour(9, 12), 1);
}

// A record's hour counts when it is 0 to 23; any other is counted under the local hour.
TEST_F(RecordPipelineTest, UnusableHourIsCountedUnderTheLocalHour) {
    clock_.now.hour = 17;
    const std::pair<const char*, int> hours[] = {{"00", 0}, {"17", 23}, {"18", 17}, {"19", 17}};
    RecordBuilder r;
    r.optional = RecordBuilder::Opt("03", "02") + "FF";
    for (auto [pair, hour] : hours) {
        r.start = std::string("141A0C08") + pair + "0000";
        const int32_t before = counters_.Hour(hour, 14);
        Process(r.Frame());
        EXPECT_EQ(counters_.Hour(hour, 14), before + 1) << pair;
    }
    r.optional = "FF";  // no call type: column 12
    Process(r.Frame());
    EXPECT_EQ(counters_.Hour(17, 12), 1);
}

TEST_F(RecordPipelineTest, DroppedRecordIsStillShownAndCounted) {
    sink_.keep = false;
    Process(Call(5));
    EXPECT_EQ(sink_.asked, 1);
    EXPECT_TRUE(sink_.saved.empty());
    EXPECT_EQ(ring_.Slot(0)[0], "0005");
    EXPECT_EQ(counters_.Total(13), 1);
}

TEST_F(RecordPipelineTest, RandomAndTruncatedFramesStayInsideTheirStorage) {
    // Every accepted length, random characters (hex digits mostly, so that optional fields
    // are found and walked), the type code forced to "52" or "35". Each frame sits in storage of
    // exactly its own size: the sanitizer reports any read past it.
    std::mt19937 rng(12345);
    const char alphabet[] = "0123456789ABCDEFabcdefFFFF\x02\x03 xz";
    std::vector<uint32_t> lengths = {43};
    for (uint32_t L = 79; L <= 999; ++L)
        lengths.push_back(L);
    for (int hexType : {1, 0, 5}) {
        settings_.Hex_Type = hexType;
        for (uint32_t L : lengths) {
            std::vector<uint8_t> frame(L + 3);
            for (auto& c : frame)
                c = static_cast<uint8_t>(alphabet[rng() % (sizeof alphabet - 1)]);
            frame[0] = 0x02;
            frame[4] = rng() % 4 == 0 ? '3' : '5';
            frame[5] = frame[4] == '3' ? '5' : '2';
            pipeline_.ProcessMessage(frame.data(), L);
        }
    }
    EXPECT_GT(sink_.saved.size(), 1000u);
}

}  // namespace
}  // namespace velk
