#include "core/analysis/statistics_display.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(StatisticsDisplay, PeakPrefersTheEarliestHourOnATie) {
    StatisticCounters c;
    StatisticsDisplay d(c);
    EXPECT_EQ(d.PeakOf(5).value, 0);
    EXPECT_EQ(d.PeakOf(5).hour, 0);
    for (int i = 0; i < 3; ++i)
        c.Count(5, 9);
    for (int i = 0; i < 3; ++i)
        c.Count(5, 14);
    c.Count(5, 2);
    EXPECT_EQ(d.PeakOf(5).value, 3);
    EXPECT_EQ(d.PeakOf(5).hour, 9);
}

TEST(StatisticsDisplay, AutoStepsEverySixSecondsThroughAllCounters) {
    StatisticCounters c;
    c.Count(0, 4);
    StatisticsDisplay d(c);
    ChartContent out;
    for (int s = 1; s <= 5; ++s)
        EXPECT_FALSE(d.AutoTick(out)) << s;
    ASSERT_TRUE(d.AutoTick(out));
    EXPECT_EQ(out.caption,
              "VELK Statistic Event : Auto  -  Sent  :   ENQ . Total  1. Peak  1 at 4 o'clock.");
    EXPECT_EQ(out.hours[4], 1);
    for (int step = 1; step < 26; ++step) {
        for (int s = 0; s < 6; ++s)
            d.AutoTick(out);
    }
    EXPECT_EQ(out.caption.substr(0, 59),
              "VELK Statistic Event : Auto  -  Call Type : Feature Service");
    for (int s = 0; s < 6; ++s)
        d.AutoTick(out);
    EXPECT_NE(out.caption.find("Sent  :   ENQ"), std::string::npos);  // round again
}

TEST(StatisticsDisplay, SelectedModeAndLeavingIt) {
    StatisticCounters c;
    c.Count(23, 10);
    StatisticsDisplay d(c);
    ChartContent out;
    EXPECT_FALSE(d.PointSelection(-1, out));  // already in Auto mode: nothing changes
    ASSERT_TRUE(d.PointSelection(23, out));
    EXPECT_EQ(out.caption,
              "VELK Statistic Event : Selected  -  Call Type : Incoming Call . "
              "Total  1. Peak  1 at 10 o'clock.");
    for (int s = 0; s < 12; ++s)
        EXPECT_FALSE(d.AutoTick(out));  // Auto waits
    ASSERT_TRUE(d.PointSelection(-1, out));
    EXPECT_EQ(out.caption, "VELK Statistic Event : Auto  -  Statictic Event Not Selected");
    EXPECT_EQ(out.hours[10], 0);
    EXPECT_FALSE(d.Selected());
    EXPECT_EQ(d.AutoRow(), 0);
}

TEST(StatisticsDisplay, StartLine) {
    EXPECT_EQ(StatisticsDisplay::StartLine({2026, 3, 4, 5, 6, 7}),
              "VELK Statistic Started at : 2026-03-04 05:06:07");
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

// Every tick of the value axis is a whole number: the axis runs to a multiple of its step.
TEST(ChartScale, WholeNumberTicksWithRoomAboveTheHighestBar) {
    const struct {
        int64_t highest, maximum, step;
    } cases[] = {{0, 4, 1},
                 {3, 4, 1},
                 {4, 5, 1},
                 {5, 6, 2},
                 {7, 8, 2},
                 {9, 10, 2},
                 {10, 15, 5},
                 {24, 25, 5},
                 {99, 100, 20},
                 {100, 150, 50},
                 {2147483647, 2500000000, 500000000}};
    for (const auto& c : cases) {
        const ChartScale s = ScaleFor(c.highest);
        EXPECT_EQ(s.maximum, c.maximum) << c.highest;
        EXPECT_EQ(s.step, c.step) << c.highest;
        EXPECT_GT(s.maximum, c.highest);
        EXPECT_EQ(s.maximum % s.step, 0);
        EXPECT_LE(s.Ticks(), 6);
        EXPECT_GE(s.Ticks(), 3);
    }
}

}  // namespace
}  // namespace velk
