// The collector's published state: what its events make of it, and when the file is written.
#include "core/app/state_publisher.h"

#include <gtest/gtest.h>

#include "core/link/link_fakes.h"
#include "core/record/fake_file_store.h"

namespace velk {
namespace {

class StatePublisherTest : public ::testing::Test {
protected:
    CollectorState Published() {
        const StateReading reading = ReadCollectorState(files_, "/base");
        EXPECT_EQ(reading.status, StateReading::Status::Read);
        return reading.state;
    }
    void Later(int64_t seconds) { clock_.seconds += seconds; }

    test::FakeClock clock_;
    test::FakeFileStore files_;
    StatePublisher publisher_{clock_, files_, "/base"};
};

TEST_F(StatePublisherTest, TheFileIsWrittenWhenChangedAtMostOnceASecond) {
    clock_.now = {2026, 12, 9, 14, 0, 0};
    EXPECT_TRUE(publisher_.Publish());
    EXPECT_EQ(files_.replaces, 1);
    EXPECT_FALSE(publisher_.Publish());  // nothing changed
    publisher_.Link("connected", true, "10.0.0.5:6013 (CS1000 Main Billing Server)");
    EXPECT_FALSE(publisher_.Publish());  // changed, but within the same second
    EXPECT_EQ(files_.replaces, 1);
    Later(1);
    EXPECT_TRUE(publisher_.Publish());
    EXPECT_EQ(Published().link, "connected");
    EXPECT_EQ(Published().written, clock_.seconds);
    // Unchanged: written again only after a minute, its time telling readers the collector runs.
    Later(StatePublisher::kHeartbeatSeconds - 1);
    EXPECT_FALSE(publisher_.Publish());
    Later(1);
    EXPECT_TRUE(publisher_.Publish());
    EXPECT_EQ(Published().written, clock_.seconds);
    EXPECT_EQ(files_.replaces, 3);
}

TEST_F(StatePublisherTest, AFailedWriteIsTriedAgainAtTheNextLook) {
    files_.failReplace = true;
    EXPECT_FALSE(publisher_.Publish());
    files_.failReplace = false;
    EXPECT_TRUE(publisher_.Publish());  // the same second: nothing was written in it
    EXPECT_TRUE(Published().running);
}

TEST_F(StatePublisherTest, RecordsAreCountedByKindAndTodayFromMidnight) {
    clock_.now = {2026, 12, 9, 23, 59, 58};
    publisher_.CallStored();
    publisher_.TrafficStored();
    clock_.now = {2026, 12, 9, 23, 59, 59};
    Later(1);
    publisher_.CallStored();
    ASSERT_TRUE(publisher_.Publish());
    CollectorState s = Published();
    EXPECT_EQ(s.day, 20261209);
    EXPECT_EQ(s.callsToday, 2u);
    EXPECT_EQ(s.callsStored, 2u);
    EXPECT_EQ(s.trafficStored, 1u);
    EXPECT_EQ(s.lastCall, clock_.seconds);
    EXPECT_EQ(s.lastCallLocal, "2026-12-09 23:59:59");
    // After midnight the day's count starts again, with no record needed to notice it.
    clock_.now = {2026, 12, 10, 0, 0, 1};
    Later(2);
    ASSERT_TRUE(publisher_.Publish());
    s = Published();
    EXPECT_EQ(s.day, 20261210);
    EXPECT_EQ(s.callsToday, 0u);
    EXPECT_EQ(s.callsStored, 2u);
    EXPECT_EQ(s.lastCallLocal, "2026-12-09 23:59:59");
}

TEST_F(StatePublisherTest, AlarmsLastUntilTheyAreOver) {
    clock_.seconds = 100;
    publisher_.Alarm("Sequence gap: expected 0004, received 0006, 2 missing");
    clock_.seconds = 200;
    publisher_.Alarm("Not written: /base/Bill/20261209.raw");  // replaces the one before
    publisher_.DatabaseAlarm("Database: another collector sends as site A");
    publisher_.DiskBufferAlarm("HD Buffer: no records");
    ASSERT_EQ(publisher_.State().alarms,
              (std::vector<CollectorState::Alarm>{
                  {200, "Not written: /base/Bill/20261209.raw"},
                  {200, "Database: another collector sends as site A"},
                  {200, "HD Buffer: no records"}}));
    publisher_.DatabaseAlarm("");
    publisher_.DiskBufferAlarm("");
    publisher_.CallStored();  // an ordinary problem stays
    ASSERT_EQ(publisher_.State().alarms.size(), 1u);
    // A silent PBX is over with the next call record.
    publisher_.SilenceAlarm("No records: none for 10 minutes");
    EXPECT_EQ(publisher_.State().alarms.back().text, "No records: none for 10 minutes");
    publisher_.CallStored();
    EXPECT_TRUE(publisher_.State().alarms.empty());
    ASSERT_TRUE(publisher_.Publish());
    EXPECT_TRUE(Published().alarms.empty());
}

TEST_F(StatePublisherTest, DatabaseDiskAndIndexAreTakenAsMeasured) {
    ShipStatus ship;
    ship.line = "Database: server away since 14:00:00, 12 records waiting";
    ship.waiting = 12;
    ship.troubleSince = 900;
    publisher_.Database(ship);
    publisher_.Measured(5'000'000'000, 4096, 3);
    ASSERT_TRUE(publisher_.Publish());
    CollectorState s = Published();
    EXPECT_TRUE(s.database);
    EXPECT_EQ(s.databaseLine, ship.line);
    EXPECT_EQ(s.databaseWaiting, 12);
    EXPECT_EQ(s.databaseAwaySince, 900);
    EXPECT_EQ(s.freeBytes, 5'000'000'000);
    EXPECT_EQ(s.indexLagBytes, 4096);
    EXPECT_EQ(s.indexWaiting, 3);
    // No server set up: nothing of one is published.
    publisher_.Database(ShipStatus{});
    EXPECT_FALSE(publisher_.State().database);
    EXPECT_EQ(publisher_.State().databaseWaiting, -1);
}

TEST_F(StatePublisherTest, AStopInOrderIsWrittenAtOnce) {
    publisher_.Link("connected", true, "pbx");
    ASSERT_TRUE(publisher_.Publish());
    ASSERT_TRUE(publisher_.Stopped());  // the same second
    const CollectorState s = Published();
    EXPECT_FALSE(s.running);
    EXPECT_FALSE(s.linkUp);
    EXPECT_EQ(s.link, "stopped");
}

}  // namespace
}  // namespace velk
