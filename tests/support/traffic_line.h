#pragma once

#include <cstdio>
#include <set>
#include <string>

namespace velk::test {

// One traffic line as the recorder writes it: the time stamp, 124 bytes of port bits as hex pairs
// (port 8j + k is bit k of byte j), the seizure count as four hex digits; 272 characters, then
// CR LF.
inline std::string TrafficLine(int day, int hour, const std::set<int>& busy,
                               unsigned seizures = 0) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "2026-12-%02d %02d:15:00;", day, hour);
    std::string line = stamp;
    for (int j = 0; j < 124; ++j) {
        unsigned byte = 0;
        for (int k = 0; k < 8; ++k)
            byte |= busy.count(8 * j + k) ? 1u << k : 0u;
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", byte);
        line += pair;
    }
    char count[8];
    std::snprintf(count, sizeof count, "%04X", seizures & 0xFFFF);
    return line + count + "\r\n";
}

}  // namespace velk::test
