#pragma once

#include <array>
#include <cstdint>

namespace velk {

inline constexpr int kStatisticColumns = 26;  // 12 link events, then 14 call types
inline constexpr int kFirstCallTypeColumn = 12;

// Counts per event: row 0 the totals, row 1 + h the counts of local hour h.
class StatisticCounters {
public:
    // Adds one to the total and to hour h of column k; false (nothing counted) for a column or an
    // hour out of range.
    bool Count(int column, int hour);
    int32_t Total(int column) const { return counts_[0][column]; }
    int32_t Hour(int hour, int column) const { return counts_[1 + hour][column]; }
    void Clear() { counts_ = {}; }

private:
    std::array<std::array<int32_t, kStatisticColumns>, 25> counts_{};
};

}  // namespace velk
