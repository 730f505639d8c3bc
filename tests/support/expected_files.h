#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace velk::test {

// What the recorders should have written for the messages the simulator reports as delivered,
// computed here without the program's code: raw records with STX and CR LF, decoded lines with
// the sequence number, the calling and the dialled digits, and the joined traffic reports.
struct ExpectedFiles {
    std::string raw;
    std::string decoded;                         // without header
    std::map<std::string, std::string> traffic;  // file name -> content
    int calls = 0;
    int duplicates = 0;

    static std::string Body(const std::string& text) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03X", static_cast<unsigned>(text.size() + 3));
        std::string f = digits + text;
        unsigned bcc = 0;
        for (char c : f)
            bcc ^= static_cast<unsigned char>(c);
        std::snprintf(digits, sizeof digits, "%02X", bcc);
        return f + digits;
    }
    static std::string Dial(const std::string& s) {
        std::string out;
        for (char c : s) {
            if (c >= '0' && c <= '9')
                out += c;
            else if (c == 'A')
                out += '0';
            else if (c == 'B')
                out += '*';
            else if (c == 'C')
                out += '#';
            else if (c == 'D' || c == 'E')
                out += c;
            else
                break;
        }
        return out;
    }
    static unsigned Pair(const std::string& t, size_t p) {
        return static_cast<unsigned>(std::stoul(t.substr(p, 2), nullptr, 16));
    }

    // Takes the simulator's standard output.
    void FromSimulator(const std::string& output) {
        std::string report;
        size_t start = 0;
        while (start < output.size()) {
            size_t end = output.find('\n', start);
            if (end == std::string::npos)
                end = output.size();
            const std::string line = output.substr(start, end - start);
            start = end + 1;
            if (line.rfind("delivered ", 0) != 0)
                continue;
            const size_t textAt = line.find(' ', 10) + 1;
            std::string text = line.substr(textAt);
            if (text.rfind("duplicate ", 0) == 0) {
                ++duplicates;  // the collector drops the second copy
                continue;
            }
            if (text.rfind("52", 0) == 0) {
                ++calls;
                raw += "\x02" + Body(text) + "\r\n";
                char seq[16];
                std::snprintf(seq, sizeof seq, "%04lu", std::stoul(text.substr(4, 4), nullptr, 16));
                decoded += std::string(seq) + ";" + Dial(text.substr(14, 8)) + ";" +
                           Dial(text.substr(54, 24)) + "\r\n";
            } else if (text.rfind("35", 0) == 0) {
                const unsigned part = Pair(text, 20);
                if (part == 0) {
                    char stamp[32];
                    std::snprintf(stamp, sizeof stamp, "20%02u-%02u-%02u %02u:%02u:%02u;",
                                  Pair(text, 8), Pair(text, 10), Pair(text, 12), Pair(text, 14),
                                  Pair(text, 16), Pair(text, 18));
                    report = stamp;
                }
                report += text.substr(22, part == 3 ? 30 : 74);
                if (part == 3) {
                    traffic["20" + report.substr(2, 2) + report.substr(5, 2) + report.substr(8, 2) +
                            ".trf"] += report + "\r\n";
                }
            }
        }
    }
};

}  // namespace velk::test
