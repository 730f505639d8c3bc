// The missing-record alarms as the collector raises them: sequence gaps of the live stream across
// a reconnection, an import checked on its own, a statistics Clear, and the silence of a
// connected PBX; each in the connection log's format and on the view. Then the collector's buffer
// hand-off timer.
#include <gtest/gtest.h>

#include "core/app/alarm_view.h"
#include "core/app/collector.h"
#include "core/decode/record_builder.h"
#include "core/link/link_fakes.h"
#include "core/record/fake_file_store.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using test::AlarmView;

class CollectorAlarmsTest : public ::testing::Test {
protected:
    CollectorAlarmsTest()
        : collector_(settings_, dir_.Path(), prompt_, clock_, timers_, ring_, files_) {
        settings_.IP_Used = 1;
        collector_.SetChannels(&channel_, &channel_);
        collector_.SetView(&view_);
    }
    void Record(unsigned sequence) {
        test::RecordBuilder r;
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04X", sequence);
        r.sequence = digits;
        const std::string f = r.Frame();
        collector_.Pipeline().ProcessMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                             static_cast<uint32_t>(f.size() - 4));
    }
    void Connect() {
        ASSERT_TRUE(collector_.Connection().Connect());
        collector_.Protocol().OnChannelReady();
        ASSERT_EQ(collector_.Connection().MenuState(), LinkMenuState::Connected);
    }
    // The log's entries of another kind than connection events, without their time stamps.
    std::vector<std::string> Notes() const {
        std::vector<std::string> notes;
        const std::string log = test::ReadFile(dir_ / "VELK.LOG");
        for (size_t at = 0; at < log.size();) {
            const size_t end = log.find("\r\n", at);
            const std::string line = log.substr(at, end - at);
            if (line.find("Sequence") != std::string::npos ||
                line.find("No records") != std::string::npos ||
                line.find("HD Buffer") != std::string::npos)
                notes.push_back(line.substr(20));
            at = end == std::string::npos ? log.size() : end + 2;
        }
        return notes;
    }

    test::TempDir dir_;
    AppSettings settings_;
    test::ScriptedPrompt prompt_;
    test::FakeClock clock_;
    test::FakeTimers timers_;
    LastCallsRing ring_;
    test::FakeFileStore files_;
    test::FakeChannel channel_;
    AlarmView view_;
    Collector collector_;
};

TEST_F(CollectorAlarmsTest, GapAcrossAReconnectionThenAnImportOnItsOwn) {
    collector_.Start();
    Connect();
    Record(1);
    Record(2);
    Record(3);
    EXPECT_TRUE(view_.lines.empty());

    // The connection drops and comes back; records 4 and 5 were lost meanwhile.
    collector_.OnPeerClosed();
    Connect();
    Record(6);
    Record(6);  // sent again with other bytes: a repeat
    ASSERT_EQ(view_.lines.size(), 2u);
    EXPECT_EQ(view_.lines[0], "Sequence gap: expected 0004, received 0006, 2 missing");
    EXPECT_EQ(view_.lines[1], "Sequence repeat: expected 0007, received 0006");
    EXPECT_EQ(view_.missing, 2u);
    EXPECT_EQ(Notes(), (std::vector<std::string>{
                           "Sequence gap       expected 0004, received 0006, 2 missing",
                           "Sequence repeat    expected 0007, received 0006"}));

    // An import has a baseline of its own: its first record is no gap against the live stream.
    collector_.Protocol().SMDA_Disconnect();
    collector_.BeginImport();
    Record(500);
    Record(501);
    Record(503);
    collector_.EndImport();
    ASSERT_EQ(view_.lines.size(), 3u);
    EXPECT_EQ(view_.lines[2],
              "Sequence gap: expected 0502, received 0503, 1 missing in the import");
    EXPECT_EQ(view_.missing, 2u);  // the live count
    EXPECT_EQ(collector_.Sequence().Missing(), 2u);

    // The live stream goes on where it was.
    Connect();
    Record(7);
    EXPECT_EQ(view_.lines.size(), 3u);

    // After a statistics Clear the next record is a new baseline.
    collector_.ResetSequence();
    Record(40);
    EXPECT_EQ(view_.lines.size(), 3u);
    EXPECT_EQ(collector_.Sequence().Missing(), 0u);
}

// What the hard-disk buffer's reader says goes into the log and to the console; an alarm stays on
// the window until it is over.
TEST_F(CollectorAlarmsTest, DiskBufferNoticesAreLoggedAndAlarmsShown) {
    collector_.DiskBufferNotice(QueueNotice::Note, "a note");
    collector_.DiskBufferNotice(QueueNotice::Alarm, "no records");
    collector_.DiskBufferNotice(QueueNotice::AlarmOver, "records again");
    EXPECT_EQ(Notes(), (std::vector<std::string>{"HD Buffer          a note",
                                                 "HD Buffer          no records",
                                                 "HD Buffer          records again"}));
    EXPECT_EQ(view_.problems,
              (std::vector<std::string>{"HD Buffer: a note", "HD Buffer: no records",
                                        "HD Buffer: records again"}));
    EXPECT_EQ(view_.lines, (std::vector<std::string>{"[HD Buffer: no records]", "[]"}));
}

TEST_F(CollectorAlarmsTest, FilteredRecordsAreCountedToo) {
    settings_.SCFilter_USE = 1;
    settings_.T.fill(0);  // the saving filter keeps nothing
    collector_.Start();
    Record(1);
    Record(3);
    ASSERT_EQ(view_.lines.size(), 1u);
    EXPECT_EQ(view_.lines[0], "Sequence gap: expected 0002, received 0003, 1 missing");
}

TEST_F(CollectorAlarmsTest, SilentPbxWhileConnected) {
    settings_.NoRecordsAlarmMinutes = 2;
    collector_.Start();
    ASSERT_TRUE(timers_.Running(Collector::kSilenceTimer));
    EXPECT_EQ(timers_.Period(Collector::kSilenceTimer), 10000);

    // Not connected: no alarm however long.
    clock_.seconds += 600;
    collector_.OnTimer(Collector::kSilenceTimer);
    EXPECT_TRUE(view_.lines.empty());

    Connect();
    collector_.OnTimer(Collector::kSilenceTimer);  // the count starts
    clock_.seconds += 119;
    collector_.OnTimer(Collector::kSilenceTimer);
    EXPECT_TRUE(view_.lines.empty());
    clock_.seconds += 1;
    collector_.OnTimer(Collector::kSilenceTimer);
    ASSERT_EQ(view_.lines.size(), 1u);
    EXPECT_EQ(view_.lines[0], "No records: no call record for 2 minutes while connected");
    clock_.seconds += 600;
    collector_.OnTimer(Collector::kSilenceTimer);
    EXPECT_EQ(view_.lines.size(), 1u);  // once

    Record(1);  // records came back: the alarm is armed again
    clock_.seconds += 120;
    collector_.OnTimer(Collector::kSilenceTimer);
    EXPECT_EQ(view_.lines.size(), 2u);
    EXPECT_EQ(Notes(), (std::vector<std::string>{
                           "No records         no call record for 2 minutes while connected",
                           "No records         no call record for 2 minutes while connected"}));
}

TEST_F(CollectorAlarmsTest, NoSilenceLookWithoutTheSetting) {
    collector_.Start();
    EXPECT_FALSE(timers_.Running(Collector::kSilenceTimer));
}

// The buffer hand-off timer runs BufferUpdateMaxTimer minutes. After a record it starts its full
// period again only when the last hand-off tried (the decoded one, when both pairs are buffered)
// took place; its own expiry hands off and leaves it running as it is.
using CollectorTimersTest = CollectorAlarmsTest;

TEST_F(CollectorTimersTest, BufferTimerRestartsWhenTheLastHandOffOfARecordTookPlace) {
    settings_.DoBufferPacked = 1;
    settings_.DoBufferDecoded = 1;
    const auto buffer = [this](const char* name) { return (dir_ / "Buffers" / name).string(); };
    const struct {
        const char* waiting;  // the out-file the pick-up program has not taken yet
        bool restarted;
    } cases[] = {{"buffer_out.raw", true}, {"buffer_out.csv", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waiting);
        files_.files.clear();
        settings_.BufferUpdateMaxTimer = 2;
        collector_.Start();
        ASSERT_EQ(timers_.Period(Collector::kBufferTimer), 120000);
        settings_.BufferUpdateMaxTimer = 5;  // in force from the next start of the timer

        files_.files[buffer("buffer_in.raw")] = "r";
        files_.files[buffer("buffer_in.csv")] = "c";
        collector_.OnTimer(Collector::kBufferTimer);
        EXPECT_EQ(files_.Content(buffer("buffer_out.raw")), "r");
        EXPECT_EQ(files_.Content(buffer("buffer_out.csv")), "c");
        EXPECT_EQ(timers_.Period(Collector::kBufferTimer), 120000);

        files_.files.clear();
        files_.files[buffer(c.waiting)];
        BillingRecord record{};
        const uint8_t start[] = {0x14, 0x1A, 0x0C, 0x08, 0x0C, 0x1E, 0x2D};  // 2026-12-08
        std::copy(start, start + sizeof start, record.begin() + 18);
        std::copy(start, start + sizeof start, record.begin() + 26);
        EXPECT_EQ(collector_.DeliverFromDiskBuffer(0, {record}), 1u);
        EXPECT_EQ(timers_.Period(Collector::kBufferTimer), c.restarted ? 300000 : 120000);
    }
}

}  // namespace
}  // namespace velk
