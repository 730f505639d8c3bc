#pragma once

#include <string>

#include "core/foundation/statistic_counters.h"

namespace velk {

// The row texts of the statistics list and of the statistics dump, column by column: the link
// events, then "Call Type : " and the call type's name.
std::string StatisticRowLabel(int column);

}  // namespace velk
