#include "core/web/web_state.h"

#include <gtest/gtest.h>

#include "core/app/alarm_board.h"
#include "core/app/metrics_text.h"
#include "core/app/state_publisher.h"
#include "core/link/link_fakes.h"
#include "core/record/fake_file_store.h"

namespace velk {
namespace {

StateReading Running(int64_t written) {
    StateReading r;
    r.status = StateReading::Status::Read;
    r.state.running = true;
    r.state.written = written;
    r.state.link = "connected";
    r.state.linkUp = true;
    r.state.peer = "127.0.0.1:6013";
    r.state.callsToday = 152;
    r.state.lastCallLocal = "2026-12-09 14:03:07";
    r.state.alarms = {{100, "Sequence gap"}};
    r.state.database = true;
    r.state.databaseLine = "Database: sending";
    r.state.databaseWaiting = 7;
    r.state.freeBytes = 5;
    return r;
}

TEST(WebState, TheLinkIsUpOnlyWhileTheCollectorRunsAndSpeaks) {
    const int64_t now = 1000000;
    WebStatus s = WebStatusOf(Running(now - 2), now);
    EXPECT_TRUE(s.known);
    EXPECT_TRUE(s.linkUp);
    EXPECT_EQ(s.link, "connected");
    EXPECT_EQ(s.ageSeconds, 2);
    EXPECT_EQ(s.recordsToday, 152);
    EXPECT_EQ(s.lastRecord, "2026-12-09 14:03:07");
    EXPECT_EQ(s.alarms, std::vector<std::string>{"Sequence gap"});
    EXPECT_EQ(s.database, "Database: sending (7 records waiting)");
    EXPECT_EQ(s.freeDiskBytes, 5);

    s = WebStatusOf(Running(now - kStateStaleSeconds + 1), now);
    EXPECT_TRUE(s.linkUp);
    s = WebStatusOf(Running(now - kStateStaleSeconds), now);
    EXPECT_FALSE(s.linkUp);
    EXPECT_EQ(s.link, "connected (no word from the collector for 180 s)");

    StateReading stopped = Running(now);
    stopped.state.running = false;
    s = WebStatusOf(stopped, now);
    EXPECT_FALSE(s.linkUp);
    EXPECT_EQ(s.link, "stopped");

    StateReading none;
    s = WebStatusOf(none, now);
    EXPECT_FALSE(s.known);
    EXPECT_FALSE(s.linkUp);
    EXPECT_NE(s.why, "");
    none.status = StateReading::Status::Unreadable;
    EXPECT_EQ(WebStatusOf(none, now).why, "The collector's state file cannot be read.");

    StateReading alone = Running(now);
    alone.state.database = false;
    EXPECT_EQ(WebStatusOf(alone, now).database, "not set up");
}

// The collector's alarm board is what the state file lists: a link down and a database server
// away for long reach the Status page and /metrics, and leave them when they are over.
TEST(WebState, TheCollectorsAlarmsReachTheStatusAndTheMetrics) {
    test::FakeClock clock;
    clock.seconds = 1000000;
    test::FakeFileStore files;
    AlarmBoard board(clock);
    StatePublisher publisher(clock, files, "/base");
    publisher.SetAlarmBoard(&board);
    board.Raise(alarm_kind::kLinkDown, "Link down: no connection to the PBX for 5 minutes");
    clock.seconds += 60;
    board.Raise(alarm_kind::kDatabaseAway,
                "Database away: the database server has taken no records for 10 minutes");
    // Something told to the publisher alone is no alarm of the board's.
    publisher.Alarm("Sequence gap: expected 0004, received 0006");
    ASSERT_TRUE(publisher.Publish());
    StateReading reading = ReadCollectorState(files, "/base");
    ASSERT_EQ(reading.status, StateReading::Status::Read);
    EXPECT_EQ(reading.state.alarms,
              (std::vector<CollectorState::Alarm>{
                  {1000000, "Link down: no connection to the PBX for 5 minutes"},
                  {1000060,
                   "Database away: the database server has taken no records for 10 minutes"}}));
    const WebStatus status = WebStatusOf(reading, clock.seconds);
    EXPECT_EQ(status.alarms,
              (std::vector<std::string>{
                  "Link down: no connection to the PBX for 5 minutes",
                  "Database away: the database server has taken no records for 10 minutes"}));
    EXPECT_NE(MetricsText(reading, clock.seconds).find("\nvelk_alarms_active 2\n"),
              std::string::npos)
        << MetricsText(reading, clock.seconds);

    board.Clear(alarm_kind::kLinkDown);
    clock.seconds += 1;
    ASSERT_TRUE(publisher.Publish());
    reading = ReadCollectorState(files, "/base");
    ASSERT_EQ(reading.state.alarms.size(), 1u);
    EXPECT_EQ(reading.state.alarms[0].text,
              "Database away: the database server has taken no records for 10 minutes");
    EXPECT_NE(MetricsText(reading, clock.seconds).find("\nvelk_alarms_active 1\n"),
              std::string::npos);
}

}  // namespace
}  // namespace velk
