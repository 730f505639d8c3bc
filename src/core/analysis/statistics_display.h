#pragma once

#include <array>
#include <string>

#include "core/foundation/clock.h"
#include "core/foundation/statistic_counters.h"

namespace velk {

// What the chart under the lists shows: one counter's 24 hourly values and a caption.
struct ChartContent {
    std::array<int32_t, 24> hours{};
    std::string caption;
};

// The chart's value axis: from 0 to maximum in whole-number steps (1, 2, 5, 10, 20, 50, ...), at
// most five of them, with room above the highest bar; at least 0..4.
struct ChartScale {
    int64_t maximum = 4;
    int64_t step = 1;
    int Ticks() const { return static_cast<int>(maximum / step) + 1; }
};
ChartScale ScaleFor(int64_t highest);

// The statistics chart's modes: Auto steps through all 26 counters every 6 seconds; Selected
// shows the counter whose row the mouse points at.
class StatisticsDisplay {
public:
    explicit StatisticsDisplay(const StatisticCounters& counters) : counters_(counters) {}

    // The peak of a counter: the highest hourly count and its hour, the earliest hour on a tie
    // (0 at hour 0 for an all-zero row).
    struct Peak {
        int32_t value = 0;
        int hour = 0;
    };
    Peak PeakOf(int column) const;

    // The mouse points at statistics row `row`, or at none (-1). Returns true when the chart
    // changes; `out` then holds what to show (zeros after leaving Selected mode).
    bool PointSelection(int row, ChartContent& out);
    // Called every second; true when the Auto mode took a step (shown in `out`).
    bool AutoTick(ChartContent& out);

    bool Selected() const { return selected_; }
    int AutoRow() const { return autoRow_; }

    static std::string StartLine(const LocalTime& now);

private:
    ChartContent Content(int column, const char* mode) const;

    const StatisticCounters& counters_;
    bool selected_ = false;
    int tickCount_ = 0;
    int autoRow_ = 0;
};

}  // namespace velk
