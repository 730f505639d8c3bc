#include "core/analysis/statistic_counters.h"

#include "core/decode/field_names.h"

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

std::string StatisticRowLabel(int column) {
    static const char* const kEvents[kFirstCallTypeColumn] = {
        "Sent  :   ENQ",
        "Sent  :   ACK",
        "Sent  :   NAK",
        "Rcv   :   NAK",
        "Rcv   :   EOT (VELK success)",
        "Rcv   :   Normal DATA",
        "Rcv   :   Bad Data BCC",
        "Rcv   :   Bad Data Length",
        "Time  :   DATA Wait Timer Expired",
        "Time  :   EOT Wait Timer Expired ",
        "Proc  :   Duplication recovering ",
        "Proc  :   Call passed via Filter",
    };
    if (column >= 0 && column < kFirstCallTypeColumn)
        return kEvents[column];
    if (column >= kFirstCallTypeColumn && column < kStatisticColumns) {
        return "Call Type : " + std::string(kCallTypeNames[column - kFirstCallTypeColumn]);
    }
    return {};
}

}  // namespace velk
