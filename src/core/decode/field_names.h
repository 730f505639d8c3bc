#pragma once

#include <array>
#include <string_view>

namespace velk {

// Names of the 50 call-record fields, then entry 50 "Empty" (no field; an empty column choice).
inline constexpr int kEmptyFieldIndex = 50;
extern const std::array<std::string_view, 51> kFieldNames;

// Names of the 14 call types (the code of field 9), also the statistics rows 12..25.
extern const std::array<std::string_view, 14> kCallTypeNames;

}  // namespace velk
