#pragma once

#include <cstdio>
#include <string>

#include "record_generator.h"

namespace velk::bench {

// A typical call-record frame: the fixed part and a dozen optional fields.
inline std::string TypicalFrame() {
    const auto opt = [](const char* id, const std::string& data) {
        char len[8];
        std::snprintf(len, sizeof len, "%02X", static_cast<int>(data.size()));
        return std::string(id) + len + data;
    };
    std::string text =
        "5203"
        "1A2B"
        "0012"
        "09"
        "2041FFFF"
        "141A0C080C1E2D"
        "00"
        "141A0C080C202D"
        "00"
        "0123456789FFFFFFFFFFFFFF";
    text += opt("01", "03") + opt("02", "01") + opt("03", "03") + opt("04", "01") +
            opt("05", "01") + opt("07", "07") + opt("0D", "00") + opt("10", "123") +
            opt("14", "000000A6") + opt("16", "0123456789") + opt("17", "123456") +
            opt("40", "001020304") + "FF";
    return sim::Frame(text);
}

}  // namespace velk::bench
