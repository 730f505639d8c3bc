#pragma once

#include <cstdint>

namespace velk {

// The value of a hexadecimal digit character: 0..15 for '0'..'9', 'A'..'F' and 'a'..'f'; any
// other character (and an absent one) counts 0.
constexpr uint32_t DigitValue(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10u;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10u;
    return 0;
}

}  // namespace velk
