#include "core/analysis/statistics_display.h"

#include "core/decode/statistic_rows.h"

#include <algorithm>
#include <cstdio>

namespace velk {

ChartScale ScaleFor(int64_t highest) {
    const int64_t need = std::max<int64_t>(highest + 1, 4);
    ChartScale scale;
    for (int64_t decade = 1;; decade *= 10) {
        for (int64_t step : {decade, 2 * decade, 5 * decade}) {
            const int64_t steps = (need + step - 1) / step;
            if (steps <= 5) {
                scale.step = step;
                scale.maximum = steps * step;
                return scale;
            }
        }
    }
}

StatisticsDisplay::Peak StatisticsDisplay::PeakOf(int column) const {
    Peak p;
    for (int h = 0; h < 24; ++h) {
        if (counters_.Hour(h, column) > p.value)
            p = {counters_.Hour(h, column), h};
    }
    return p;
}

ChartContent StatisticsDisplay::Content(int column, const char* mode) const {
    ChartContent c;
    for (int h = 0; h < 24; ++h)
        c.hours[static_cast<size_t>(h)] = counters_.Hour(h, column);
    const Peak peak = PeakOf(column);
    char suffix[128];
    std::snprintf(suffix, sizeof suffix, " . Total  %d. Peak  %d at %d o'clock.",
                  counters_.Total(column), peak.value, peak.hour);
    c.caption = std::string("VELK Statistic Event : ") + mode + "  -  " +
                StatisticRowLabel(column) + suffix;
    return c;
}

bool StatisticsDisplay::PointSelection(int row, ChartContent& out) {
    if (row < 0 || row >= kStatisticColumns) {
        if (!selected_)
            return false;
        selected_ = false;
        autoRow_ = 0;
        out = ChartContent{};
        out.caption = "VELK Statistic Event : Auto  -  Statictic Event Not Selected";
        return true;
    }
    selected_ = true;
    out = Content(row, "Selected");
    return true;
}

bool StatisticsDisplay::AutoTick(ChartContent& out) {
    if (selected_) {
        tickCount_ = 0;
        return false;
    }
    if (++tickCount_ <= 5)
        return false;
    tickCount_ = 0;
    if (autoRow_ >= kStatisticColumns)
        autoRow_ = 0;
    out = Content(autoRow_, "Auto");
    ++autoRow_;
    return true;
}

std::string StatisticsDisplay::StartLine(const LocalTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "VELK Statistic Started at : %04d-%02d-%02d %02d:%02d:%02d",
                  t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

}  // namespace velk
