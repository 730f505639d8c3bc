#include "core/decode/statistic_rows.h"

#include "core/decode/field_names.h"

namespace velk {

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
