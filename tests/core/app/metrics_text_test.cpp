// The collector's metrics as a Prometheus server scrapes them.
#include "core/app/metrics_text.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

StateReading Running() {
    StateReading r;
    r.status = StateReading::Status::Read;
    CollectorState& s = r.state;
    s.running = true;
    s.written = 10'000;
    s.started = 1'000;
    s.link = "connected";
    s.linkUp = true;
    s.peer = "10.0.0.5:6013 (CS1000 Main Billing Server)";
    s.callsToday = 152;
    s.callsStored = 9'000'000'000ULL;
    s.trafficStored = 3;
    s.lastCall = 9'990;
    s.alarms = {{9'000, "Sequence gap"}};
    s.database = true;
    s.databaseWaiting = 12;
    s.databaseAwaySince = 9'700;
    s.freeBytes = 123'456'789'012;
    s.indexLagBytes = 4096;
    s.indexWaiting = 3;
    return r;
}

// The lines that are samples, not comments.
std::vector<std::string> Samples(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
        const size_t end = text.find('\n', from);
        const std::string line = text.substr(from, end - from);
        if (line.rfind("#", 0) != 0)
            lines.push_back(line);
        from = end + 1;
    }
    return lines;
}

TEST(MetricsTextTest, EveryValueOfARunningCollector) {
    const std::string text = MetricsText(Running(), 10'005);
    EXPECT_EQ(Samples(text),
              (std::vector<std::string>{
                  "velk_state_readable 1",
                  "velk_collector_up 1",
                  "velk_collector_start_time_seconds 1000",
                  "velk_link_up 1",
                  "velk_link_info{state=\"connected\",peer=\"10.0.0.5:6013 (CS1000 Main Billing "
                  "Server)\"} 1",
                  "velk_records_stored_total{kind=\"call\"} 9000000000",
                  "velk_records_stored_total{kind=\"traffic\"} 3",
                  "velk_records_today{kind=\"call\"} 152",
                  "velk_last_record_timestamp_seconds 9990",
                  "velk_last_record_age_seconds 15",
                  "velk_alarms_active 1",
                  "velk_database_up 0",
                  "velk_database_waiting_records 12",
                  "velk_database_away_seconds 305",
                  "velk_index_lag_bytes 4096",
                  "velk_index_waiting_records 3",
                  "velk_disk_free_bytes 123456789012",
                  "velk_state_age_seconds 5",
              }));
    // Each metric has its type once, before its samples; the text ends with a line break.
    EXPECT_NE(text.find("# TYPE velk_records_stored_total counter\n"
                        "velk_records_stored_total{kind=\"call\"}"),
              std::string::npos);
    EXPECT_NE(text.find("# HELP velk_link_up "), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(MetricsTextTest, WhatIsNotKnownIsLeftOut) {
    StateReading r = Running();
    r.state.lastCall = 0;
    r.state.database = false;
    r.state.freeBytes = -1;
    r.state.indexLagBytes = -1;
    const std::string text = MetricsText(r, 10'005);
    for (const char* name : {"velk_last_record_age_seconds ", "velk_database_up ",
                             "velk_disk_free_bytes ", "velk_index_lag_bytes "}) {
        EXPECT_EQ(text.find(std::string("\n") + name), std::string::npos) << name;
    }
    EXPECT_NE(text.find("\nvelk_index_waiting_records 3\n"), std::string::npos);
}

TEST(MetricsTextTest, ACollectorThatStoppedOrFellSilentIsDown) {
    StateReading r = Running();
    EXPECT_NE(MetricsText(r, 10'000 + kStateStaleSeconds).find("\nvelk_collector_up 1\n"),
              std::string::npos);
    EXPECT_NE(MetricsText(r, 10'001 + kStateStaleSeconds).find("\nvelk_collector_up 0\n"),
              std::string::npos);
    r.state.running = false;
    EXPECT_NE(MetricsText(r, 10'000).find("\nvelk_collector_up 0\n"), std::string::npos);
    for (const auto status : {StateReading::Status::Missing, StateReading::Status::Unreadable}) {
        StateReading none = Running();
        none.status = status;
        EXPECT_EQ(Samples(MetricsText(none, 10'000)),
                  (std::vector<std::string>{"velk_state_readable 0", "velk_collector_up 0"}));
    }
}

TEST(MetricsTextTest, LabelValuesAreEscaped) {
    EXPECT_EQ(MetricLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    StateReading r = Running();
    r.state.peer = "x\"} 1\nvelk_fake 2";
    const std::string text = MetricsText(r, 10'005);
    EXPECT_NE(text.find("velk_link_info{state=\"connected\",peer=\"x\\\"} 1\\nvelk_fake 2\"} 1\n"),
              std::string::npos);
    EXPECT_EQ(text.find("\nvelk_fake"), std::string::npos);
}

}  // namespace
}  // namespace velk
