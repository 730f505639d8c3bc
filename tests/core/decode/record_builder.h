#pragma once

#include <cstdio>
#include <string>

namespace velk::test {

// Builds call-record frames field by field. Numbers are written as given (the test chooses the
// base by what it writes).
struct RecordBuilder {
    std::string sequence = "0001";
    std::string ogTrunk = "FFFF";
    std::string charge = "09";
    std::string calling = "2041FFFF";
    std::string start = "141A0C080C1E2D";  // 2026-12-08 12:30:45
    std::string end = "141A0C080C202D";    // 2026-12-08 12:32:45
    std::string dialled = std::string(24, 'F');
    std::string optional = "FF";

    static std::string Opt(const std::string& id, const std::string& data,
                           int lengthOverride = -1) {
        char len[8];
        std::snprintf(len, sizeof len, "%02X",
                      lengthOverride >= 0 ? lengthOverride : static_cast<int>(data.size()));
        return id + len + data;
    }
    static std::string OptDec(const std::string& id, const std::string& data) {
        char len[8];
        std::snprintf(len, sizeof len, "%02d", static_cast<int>(data.size()));
        return id + len + data;
    }

    std::string Text(const std::string& type = "52") const {
        return type + "03" + sequence + ogTrunk + charge + calling + start + "00" + end + "00" +
               dialled + optional;
    }
    // The whole frame with STX, length digits, BCC and ETX.
    std::string Frame(const std::string& type = "52") const {
        const std::string text = Text(type);
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03X", static_cast<unsigned>(text.size() + 3));
        std::string f = std::string(1, '\x02') + digits + text;
        unsigned bcc = 0;
        for (size_t i = 1; i < f.size(); ++i)
            bcc ^= static_cast<unsigned char>(f[i]);
        std::snprintf(digits, sizeof digits, "%02X", bcc);
        return f + digits + "\x03";
    }
};

}  // namespace velk::test
