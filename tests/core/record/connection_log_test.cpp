#include "core/record/connection_log.h"

#include <gtest/gtest.h>

#include "core/link/link_fakes.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

TEST(ConnectionLog, NotesHaveAnEighteenCharacterEventName) {
    test::TempDir dir;
    AppSettings settings;
    test::FakeClock clock;
    clock.now = {2026, 3, 4, 5, 6, 7};
    StatisticCounters counters;
    ConnectionLog log(dir / "VELK.LOG", settings, clock, counters);
    log.Note("Buffer hand-off", "in -> out: works again");
    log.Note("An event name longer than eighteen", "x");
    EXPECT_EQ(test::ReadFile(dir / "VELK.LOG"),
              "2026-03-04 05:06:07 Buffer hand-off    in -> out: works again\r\n"
              "2026-03-04 05:06:07 An event name long x\r\n");
}

TEST(ConnectionLog, TcpEntriesWithTheStatisticsDumpAfterDisconnected) {
    test::TempDir dir;
    AppSettings settings;
    settings.IP_Used = 1;
    settings.IP_Used = 1;
    settings.APP_IPAddr = "10.0.0.5";
    settings.Server_Port_index = 3;
    test::FakeClock clock;
    clock.now = {2026, 3, 4, 5, 6, 7};
    StatisticCounters counters;
    counters.Count(0, 1);
    counters.Count(0, 1);
    counters.Count(0, 1);
    counters.Count(0, 23);
    ConnectionLog log(dir / "VELK.LOG", settings, clock, counters);
    log.Log(LOG_REQUEST_CONNECTION);
    log.Log(LOG_CONNECTED);
    log.Log(LOG_DISCONNECTED);
    log.Log(9);

    const std::string text = test::ReadFile(dir / "VELK.LOG");
    std::string expected =
        "2026-03-04 05:06:07 Request Connection 10.0.0.5 iPECS-MG Billing Server\r\n"
        "2026-03-04 05:06:07 Connected          10.0.0.5 iPECS-MG Billing Server\r\n"
        "2026-03-04 05:06:07 Disconnected       10.0.0.5 iPECS-MG Billing Server\r\n"
        "VELK Statistic:\r\n"
        "Sent  :   ENQ,Total:4 ,00:0,01:3";
    for (int h = 2; h < 23; ++h)
        expected += "," + std::string(h < 10 ? "0" : "") + std::to_string(h) + ":0";
    expected += ",23:1\r\n";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    // 26 counter rows, an empty line, then the next entry.
    const auto dumpStart = text.find("VELK Statistic:\r\n");
    const auto next = text.find("2026-03-04 05:06:07 Unknown Event      10.0.0.5");
    ASSERT_NE(next, std::string::npos);
    const std::string dump = text.substr(dumpStart, next - dumpStart);
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 28);
    EXPECT_EQ(dump.substr(dump.size() - 4), "\r\n\r\n");
    EXPECT_NE(dump.find("\r\nCall Type : Feature Service,Total:0 ,00:0"), std::string::npos);
    EXPECT_NE(dump.find("\r\nTime  :   EOT Wait Timer Expired ,Total:0 ,"), std::string::npos);
}

TEST(ConnectionLog, SerialChannelTextAndStatisticsEntry) {
    test::TempDir dir;
    AppSettings settings;
    settings.IP_Used = 0;
    settings.COM_Port_number_index = 1;
    settings.COM_Port_baud_rate_index = 3;
    test::FakeClock clock;
    StatisticCounters counters;
    ConnectionLog log(dir / "VELK.LOG", settings, clock, counters);
    EXPECT_EQ(log.Entry(LOG_CONNECTION_FAULT),
              "2026-12-08 14:30:00 Connection Fault   COM2 9600\r\n");
    EXPECT_EQ(log.Entry(LOG_STATISTICS).substr(0, 37), "2026-12-08 14:30:00 VELK Statistic:\r\n");
}

TEST(ConnectionLog, AFaultCarriesTheSystemsReasonOnItsLine) {
    test::TempDir dir;
    AppSettings settings;
    settings.IP_Used = 1;
    settings.APP_IPAddr = "10.0.0.5";
    test::FakeClock clock;
    StatisticCounters counters;
    ConnectionLog log(dir / "VELK.LOG", settings, clock, counters);
    log.LogFault("Connection refused");
    log.LogFault("");
    log.LogFault("two\nlines");
    EXPECT_EQ(test::ReadFile(dir / "VELK.LOG"),
              "2026-12-08 14:30:00 Connection Fault   10.0.0.5 CS1000 Main Billing Server: "
              "Connection refused\r\n"
              "2026-12-08 14:30:00 Connection Fault   10.0.0.5 CS1000 Main Billing Server\r\n"
              "2026-12-08 14:30:00 Connection Fault   10.0.0.5 CS1000 Main Billing Server: two "
              "lines\r\n");
}

TEST(ConnectionLog, UnopenableLogIsSkipped) {
    test::TempDir dir;
    AppSettings settings;
    test::FakeClock clock;
    StatisticCounters counters;
    std::filesystem::create_directory(dir / "VELK.LOG");
    ConnectionLog log(dir / "VELK.LOG", settings, clock, counters);
    log.Log(LOG_CONNECTED);  // nothing to see, nothing thrown
    EXPECT_TRUE(std::filesystem::is_directory(dir / "VELK.LOG"));
}

}  // namespace
}  // namespace velk
