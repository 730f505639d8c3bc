// The simulator's calls for a demonstration: times from the clock, numbers going on from a
// previous run's.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "record_generator.h"

namespace velk::sim {
namespace {

// The seven date and time bytes a call record holds, in base 16, for a local time.
std::string Stamp(std::time_t at) {
    std::tm t{};
    localtime_r(&at, &t);
    char text[15];
    const int year = t.tm_year + 1900;
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X", year / 100, year % 100,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

// Offsets in a call record's text: the sequence number, and the start and end times.
constexpr size_t kSequence = 4, kStart = 22, kEnd = 38;

TEST(RecordGenerator, CallsEndAtTheClocksTimeWhenOneIsGiven) {
    std::time_t now = 1796810400;  // a moment on 2026-12-09
    RecordGenerator live(3), fixed(3);
    live.UseClock([&now] { return now; });
    for (int i = 0; i < 3; ++i) {
        now += 7;
        const std::string r = live.NextCallRecord();
        EXPECT_EQ(r.substr(kEnd, 14), Stamp(now)) << r;
        // Started before it ended, on the same clock.
        EXPECT_LT(r.substr(kStart, 14), r.substr(kEnd, 14)) << r;
        // Without a clock the same seed gives the fixed day's times, the rest alike.
        const std::string f = fixed.NextCallRecord();
        EXPECT_EQ(f.substr(kStart, 8), "141A0C08") << f;
        EXPECT_EQ(f.substr(0, kStart), r.substr(0, kStart));
    }
}

TEST(RecordGenerator, NumberingGoesOnAfterTheLastRunsNumber) {
    RecordGenerator g(1);
    g.ContinueAfter(0x2A3);
    EXPECT_EQ(g.NextCallRecord().substr(kSequence, 4), "02A4");
    EXPECT_EQ(g.NextCallRecord().substr(kSequence, 4), "02A5");
    EXPECT_EQ(g.Sequence(), 0x2A5u);
}

}  // namespace
}  // namespace velk::sim
