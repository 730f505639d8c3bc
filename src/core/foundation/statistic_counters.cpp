#include "core/foundation/statistic_counters.h"

namespace velk {

bool StatisticCounters::Count(int column, int hour) {
    if (column < 0 || column >= kStatisticColumns || hour < 0 || hour > 23)
        return false;
    // The counters are 32-bit and never stored; a run long enough to overflow one wraps it.
    counts_[0][column] = static_cast<int32_t>(static_cast<uint32_t>(counts_[0][column]) + 1u);
    counts_[1 + hour][column] =
        static_cast<int32_t>(static_cast<uint32_t>(counts_[1 + hour][column]) + 1u);
    return true;
}

}  // namespace velk
