#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "record_generator.h"

namespace velk::bench {

// A busy site's year of call records, one after the other: `count` calls from 1000 extensions,
// spread evenly over 2027, each up to a quarter of an hour long. The same count gives the same
// calls every time.
class YearOfCalls {
public:
    explicit YearOfCalls(uint64_t count)
        : step_(std::max<int64_t>(365 * 86400 / static_cast<int64_t>(std::max<uint64_t>(count, 1)),
                                  1)) {}

    // The frame of the next call.
    std::string NextFrame() {
        std::string text = gen_.NextCallRecord();
        const int64_t start = static_cast<int64_t>(i_++) * step_ + static_cast<int64_t>(rng_() % 3);
        text.replace(14, 4, std::to_string(2000 + rng_() % 1000));
        text.replace(22, 14, DateTime(start));
        text.replace(38, 14, DateTime(start + 10 + rng_() % 900));
        return sim::Frame(text);
    }

private:
    static std::string Pair(int v) {
        char t[4];
        std::snprintf(t, sizeof t, "%02X", v);
        return t;
    }
    // Base-16 date-time pairs of a moment counted in seconds from 2027-01-01 00:00:00.
    static std::string DateTime(int64_t s) {
        static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        int64_t day = s / 86400;
        int month = 0;
        while (month < 11 && day >= days[month])
            day -= days[month++];
        return "141B" + Pair(month + 1) + Pair(static_cast<int>(day) + 1) +
               Pair(static_cast<int>(s / 3600 % 24)) + Pair(static_cast<int>(s / 60 % 60)) +
               Pair(static_cast<int>(s % 60));
    }

    sim::RecordGenerator gen_{7};
    std::mt19937 rng_{11};
    int64_t step_;
    uint64_t i_ = 0;
};

}  // namespace velk::bench
