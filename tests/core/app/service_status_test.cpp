// The status line a service manager shows for the headless collector.
#include "core/app/service_status.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/link/link_fakes.h"

namespace velk {
namespace {

class Manager : public ServiceManager {
public:
    void Ready() override {}
    void Status(const std::string& text) override { sent.push_back(text); }
    void Stopping() override {}
    std::vector<std::string> sent;
};

class ServiceStatusTest : public ::testing::Test {
protected:
    void At(int day, int hour, int minute, int second) {
        clock_.now = {2026, 12, day, hour, minute, second};
    }

    test::FakeClock clock_;
    Manager manager_;
    ServiceStatus status_{clock_, manager_};
};

TEST_F(ServiceStatusTest, LinkRecordsAndAlarmsMakeOneLineSentWhenItChanges) {
    status_.Link("waiting for a connection to 10.0.0.5:6013 (CS1000 Main Billing Server)");
    status_.Link("waiting for a connection to 10.0.0.5:6013 (CS1000 Main Billing Server)");
    status_.Link("connected to 10.0.0.5:6013 (CS1000 Main Billing Server)");
    At(8, 14, 3, 7);
    status_.RecordStored();
    At(8, 14, 3, 9);
    status_.RecordStored();
    // The log's padding and a line break become single spaces.
    status_.Alarm("Sequence gap       expected 0004, received 0006, 2 missing\n");
    status_.Refresh();  // nothing changed: nothing sent
    EXPECT_EQ(manager_.sent,
              (std::vector<std::string>{
                  "waiting for a connection to 10.0.0.5:6013 (CS1000 Main Billing Server); no call "
                  "record stored today",
                  "connected to 10.0.0.5:6013 (CS1000 Main Billing Server); no call record stored "
                  "today",
                  "connected to 10.0.0.5:6013 (CS1000 Main Billing Server); 1 call record stored "
                  "today, the last at 14:03:07",
                  "connected to 10.0.0.5:6013 (CS1000 Main Billing Server); 2 call records stored "
                  "today, the last at 14:03:09",
                  "connected to 10.0.0.5:6013 (CS1000 Main Billing Server); 2 call records stored "
                  "today, the last at 14:03:09; alarm at 14:03:09: Sequence gap expected 0004, "
                  "received 0006, 2 missing",
              }));
}

TEST_F(ServiceStatusTest, TheDatabaseStateFollowsTheRecords) {
    status_.Link("connected");
    status_.Alarm("Sequence gap       expected 0004, received 0006, 2 missing");
    status_.Database("Database unreachable since 2026-12-08 14:00:00, 3 records waiting");
    EXPECT_EQ(manager_.sent.back(),
              "connected; no call record stored today; Database unreachable since 2026-12-08 "
              "14:00:00, 3 records waiting; alarm at 14:30:00: Sequence gap expected 0004, "
              "received 0006, 2 missing");
}

TEST_F(ServiceStatusTest, TheCountStartsAgainAtMidnight) {
    status_.Link("connected");
    At(8, 23, 59, 59);
    status_.RecordStored();
    status_.RecordStored();
    At(9, 0, 0, 30);
    status_.Refresh();
    EXPECT_EQ(status_.Text(), "connected; no call record stored today");
    At(9, 0, 1, 0);
    status_.RecordStored();
    EXPECT_EQ(status_.Text(), "connected; 1 call record stored today, the last at 00:01:00");
    // A record is what starts a new day too, without a look at the clock in between.
    At(10, 8, 0, 0);
    status_.RecordStored();
    EXPECT_EQ(status_.Text(), "connected; 1 call record stored today, the last at 08:00:00");
}

TEST_F(ServiceStatusTest, TheDayCountGoesOnFromTodaysFilesAndANoteStays) {
    status_.Link("connected");
    At(8, 9, 0, 0);
    status_.StoredBefore(257);
    EXPECT_EQ(status_.Text(), "connected; 257 call records stored today");
    status_.Note("no record files are written:\nRawSave and SaveToFile are off");
    At(8, 9, 0, 5);
    status_.RecordStored();
    status_.Alarm("Sequence gap expected 0004, received 0006, 2 missing");
    EXPECT_EQ(status_.Text(),
              "connected; 258 call records stored today, the last at 09:00:05; no record files "
              "are written: RawSave and SaveToFile are off; alarm at 09:00:05: Sequence gap "
              "expected 0004, received 0006, 2 missing");
    At(9, 0, 0, 1);
    status_.Refresh();
    EXPECT_EQ(status_.Text().rfind("connected; no call record stored today; no record files", 0),
              0u);
    status_.Note("");
    status_.StoredBefore(1);
    EXPECT_EQ(status_.Text().rfind("connected; 1 call record stored today; alarm", 0), 0u);
}

TEST_F(ServiceStatusTest, ASilenceAlarmEndsWithTheNextRecordOtherAlarmsStay) {
    status_.Link("connected");
    At(8, 9, 0, 0);
    status_.SilenceAlarm("No records: none for 15 minutes");
    EXPECT_EQ(status_.Text(),
              "connected; no call record stored today; alarm at 09:00:00: No records: none for 15 "
              "minutes");
    At(8, 9, 1, 0);
    status_.RecordStored();
    EXPECT_EQ(status_.Text(), "connected; 1 call record stored today, the last at 09:01:00");
    status_.Alarm("Not written: Bill/20261208.raw");
    status_.RecordStored();
    EXPECT_EQ(status_.Text(),
              "connected; 2 call records stored today, the last at 09:01:00; alarm at 09:01:00: "
              "Not written: Bill/20261208.raw");
    // A silence alarm replaced by another alarm: that one stays after the next record.
    status_.SilenceAlarm("No records: none for 15 minutes");
    status_.Alarm("Sequence repeat expected 0003, received 0002");
    status_.RecordStored();
    EXPECT_NE(status_.Text().find("Sequence repeat"), std::string::npos);
}

}  // namespace
}  // namespace velk
