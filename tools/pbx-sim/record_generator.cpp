#include "record_generator.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace velk::sim {
namespace {

std::string Hex(unsigned value, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", width, value);
    return buf;
}

// A date-time as seven hex pairs: century, year, month, day, hour, minute, second.
std::string DateTime(int64_t secondsFromStart) {
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 2026, month = 12, day = 8;
    int64_t s = secondsFromStart + 8 * 3600;
    int64_t days = s / 86400;
    s %= 86400;
    while (days-- > 0) {
        const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        const int dim = kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
        if (++day > dim) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    return Hex(static_cast<unsigned>(year / 100), 2) + Hex(static_cast<unsigned>(year % 100), 2) +
           Hex(static_cast<unsigned>(month), 2) + Hex(static_cast<unsigned>(day), 2) +
           Hex(static_cast<unsigned>(s / 3600), 2) + Hex(static_cast<unsigned>(s / 60 % 60), 2) +
           Hex(static_cast<unsigned>(s % 60), 2);
}

std::string DateTimeOf(const std::tm& t) {
    const int year = t.tm_year + 1900;
    return Hex(static_cast<unsigned>(year / 100), 2) + Hex(static_cast<unsigned>(year % 100), 2) +
           Hex(static_cast<unsigned>(t.tm_mon + 1), 2) + Hex(static_cast<unsigned>(t.tm_mday), 2) +
           Hex(static_cast<unsigned>(t.tm_hour), 2) + Hex(static_cast<unsigned>(t.tm_min), 2) +
           Hex(static_cast<unsigned>(t.tm_sec), 2);
}

std::string Optional(unsigned id, const std::string& data) {
    return Hex(id, 2) + Hex(static_cast<unsigned>(data.size()), 2) + data;
}

}  // namespace

std::string Frame(const std::string& text, bool corruptBcc) {
    std::string f = "\x02" + Hex(static_cast<unsigned>(text.size() + 3), 3) + text;
    unsigned bcc = 0;
    for (size_t i = 1; i < f.size(); ++i)
        bcc ^= static_cast<unsigned char>(f[i]);
    if (corruptBcc)
        bcc ^= 0x5A;
    return f + Hex(bcc, 2) + "\x03";
}

RecordGenerator::RecordGenerator(uint32_t seed) : rng_(seed) {}

std::string RecordGenerator::Time(int64_t offset, int64_t beforeNow) {
    if (!now_)
        return DateTime(offset);
    const std::time_t at = now_() - static_cast<std::time_t>(beforeNow);
    std::tm local{};
    localtime_r(&at, &local);
    return DateTimeOf(local);
}

std::string RecordGenerator::Digits(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>('0' + rng_() % 10);
    return s;
}

std::string RecordGenerator::NextCallRecord() {
    ++sequence_;
    if (skipEvery_ != 0 && sequence_ % skipEvery_ == 0)
        ++sequence_;
    clock_ += 20 + static_cast<int64_t>(rng_() % 600);
    static const unsigned kCallTypes[] = {1, 2, 3, 4, 11, 11, 3, 2, 12, 1, 8, 13};
    const unsigned callType = kCallTypes[rng_() % (sizeof kCallTypes / sizeof kCallTypes[0])];
    const bool outgoing = callType >= 2 && callType <= 10;
    const bool incoming = callType == 11 || callType == 12;
    const int64_t duration = callType == 1 ? 5 + rng_() % 120 : 10 + rng_() % 1800;

    std::string t = "5203";
    t += Hex(sequence_ & 0xFFFF, 4);                                     // 8: sequence number
    t += outgoing || callType == 12 ? Hex(1 + rng_() % 40, 4) : "FFFF";  // 12: OG trunk
    t += Hex(rng_() % 0x20, 2);                                          // 16: charge information
    t += (Digits(4) + "FFFF");                                           // 18: calling phone
    t += Time(clock_, duration) + "00";                                  // 26: start time
    t += Time(clock_ + duration, 0) + "00";                              // 42: end time
    std::string dialled = outgoing ? "0" + Digits(3 + static_cast<int>(rng_() % 9)) : Digits(4);
    dialled.resize(24, 'F');
    t += dialled;  // 58: dialled phone number

    t += Optional(1, Hex(1 + rng_() % 9, 2));       // System ID
    t += Optional(2, outgoing ? "01" : "00");       // Charge Type
    t += Optional(3, Hex(callType, 2));             // Call Type
    t += Optional(4, Hex(rng_() % 2 ? 1 : 30, 2));  // Calling Category
    t += Optional(5, Hex(1, 2));                    // Calling Tenant Group
    if (incoming)
        t += Optional(6, Hex(1 + rng_() % 40, 4));  // IC Trunk Serial Number
    if (outgoing)
        t += Optional(7, Hex(rng_() % 2 ? 7 : 6, 2));  // OG Trunk Category
    t += Optional(13, "00");                           // Call Integrity
    if (outgoing)
        t += Optional(20, Hex(rng_() % 200, 8));  // Metering Pulses
    if (rng_() % 4 == 0)
        t += Optional(23, Digits(6));  // Verified Account code
    t += "FF";
    return t;
}

std::vector<std::string> RecordGenerator::NextTrafficReport() {
    clock_ += 60;
    const std::string stamp = Time(clock_, 0).substr(2);  // year, month, day, hour, min, sec
    std::string bitmap;
    for (int j = 0; j < 124; ++j)
        bitmap += Hex(rng_() % 5 == 0 ? rng_() % 256 : 0, 2);
    const std::string payload = bitmap + Hex(rng_() % 0x400, 4);  // 252 characters
    std::vector<std::string> parts;
    for (unsigned part = 0; part < 4; ++part) {
        const size_t length = part == 3 ? 30 : 74;
        std::string t =
            "35" + std::string(6, '0') + stamp + Hex(part, 2) + payload.substr(part * 74, length);
        // The last part is short; it is filled up to the shortest accepted frame.
        while (t.size() + 3 < 79)
            t += '0';
        parts.push_back(t);
    }
    return parts;
}

std::vector<std::string> ReadRawFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> texts;
    size_t i = 0;
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    while (i + 3 <= data.size()) {
        if (hex(data[i]) < 0 || hex(data[i + 1]) < 0 || hex(data[i + 2]) < 0) {
            ++i;
            continue;
        }
        const size_t L =
            static_cast<size_t>(hex(data[i]) * 256 + hex(data[i + 1]) * 16 + hex(data[i + 2]));
        if (L < 3 || i + L + 2 > data.size())
            break;
        texts.push_back(data.substr(i + 3, L - 3));  // the text without length and BCC
        i += L + 2;
    }
    return texts;
}

}  // namespace velk::sim
