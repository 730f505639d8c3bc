#include "core/web/web_address.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace velk {
namespace {

// "a.b.c.d" with each part 0..255 in decimal (no leading zeros but "0").
bool ReadIpv4(const std::string& text, uint8_t* out) {
    int part = 0;
    size_t at = 0;
    while (part < 4) {
        const size_t end = part < 3 ? text.find('.', at) : text.size();
        if (end == std::string::npos)
            return false;
        const std::string digits = text.substr(at, end - at);
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string::npos ||
            (digits.size() > 1 && digits[0] == '0') || std::stoi(digits) > 255)
            return false;
        out[part++] = static_cast<uint8_t>(std::stoi(digits));
        at = end + 1;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Groups of up to four hexadecimal digits separated by ':', one "::" for a run of zero groups,
// the last 32 bits perhaps as an IPv4 address.
bool ReadIpv6(const std::string& text, std::array<uint8_t, 16>& out) {
    std::vector<uint8_t> head, tail;
    std::vector<uint8_t>* into = &head;
    const size_t gap = text.find("::");
    if (gap != std::string::npos && text.find("::", gap + 1) != std::string::npos)
        return false;
    const auto readPart = [&](const std::string& part, std::vector<uint8_t>& bytes) {
        if (part.empty())
            return true;
        size_t at = 0;
        while (at <= part.size()) {
            size_t end = part.find(':', at);
            if (end == std::string::npos)
                end = part.size();
            const std::string group = part.substr(at, end - at);
            if (end == part.size() && group.find('.') != std::string::npos) {
                uint8_t v4[4];
                if (!ReadIpv4(group, v4))
                    return false;
                bytes.insert(bytes.end(), v4, v4 + 4);
                return true;
            }
            if (group.empty() || group.size() > 4)
                return false;
            int value = 0;
            for (char c : group) {
                if (HexDigit(c) < 0)
                    return false;
                value = value * 16 + HexDigit(c);
            }
            bytes.push_back(static_cast<uint8_t>(value >> 8));
            bytes.push_back(static_cast<uint8_t>(value & 0xff));
            at = end + 1;
        }
        return true;
    };
    if (gap == std::string::npos) {
        if (!readPart(text, head) || head.size() != 16)
            return false;
    } else {
        into = &tail;
        if (!readPart(text.substr(0, gap), head) || !readPart(text.substr(gap + 2), *into) ||
            head.size() + tail.size() > 14)
            return false;
    }
    out.fill(0);
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(tail.begin(), tail.end(), out.end() - static_cast<std::ptrdiff_t>(tail.size()));
    return true;
}

}  // namespace

std::optional<std::array<uint8_t, 16>> ReadAddress(const std::string& text) {
    std::array<uint8_t, 16> bytes{};
    if (text.find(':') == std::string::npos) {
        bytes[10] = 0xff;
        bytes[11] = 0xff;
        if (!ReadIpv4(text, &bytes[12]))
            return std::nullopt;
        return bytes;
    }
    if (!ReadIpv6(text, bytes))
        return std::nullopt;
    return bytes;
}

bool ReadAddressRanges(const std::string& text, std::vector<AddressRange>& ranges,
                       std::string& why) {
    ranges.clear();
    size_t at = 0;
    while (at < text.size()) {
        const size_t begin = text.find_first_not_of(", \t", at);
        if (begin == std::string::npos)
            break;
        size_t end = text.find_first_of(", \t", begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string entry = text.substr(begin, end - begin);
        at = end;
        const size_t slash = entry.find('/');
        const std::string addressText = entry.substr(0, slash);
        const auto address = ReadAddress(addressText);
        if (!address) {
            why = "'" + entry + "' is no address";
            return false;
        }
        AddressRange range{*address, 128};
        const bool v4 = addressText.find(':') == std::string::npos;
        if (slash != std::string::npos) {
            const std::string bits = entry.substr(slash + 1);
            const int most = v4 ? 32 : 128;
            if (bits.empty() || bits.size() > 3 ||
                bits.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(bits) > most) {
                why = "'" + entry + "' has no prefix length of 0 to " + std::to_string(most);
                return false;
            }
            range.prefixBits = std::stoi(bits) + (v4 ? 96 : 0);
        }
        ranges.push_back(range);
    }
    return true;
}

bool AddressAllowed(const std::string& address, const std::vector<AddressRange>& ranges) {
    const auto bytes = ReadAddress(address);
    if (!bytes)
        return false;
    for (const AddressRange& r : ranges) {
        bool inside = true;
        for (int bit = 0; bit < r.prefixBits && inside; ++bit) {
            const int mask = 0x80 >> (bit % 8);
            inside = ((*bytes)[static_cast<size_t>(bit / 8)] & mask) ==
                     (r.address[static_cast<size_t>(bit / 8)] & mask);
        }
        if (inside)
            return true;
    }
    return false;
}

bool IsLoopbackAddress(const std::string& address) {
    std::vector<AddressRange> loopback;
    std::string why;
    ReadAddressRanges("127.0.0.0/8 ::1", loopback, why);
    return AddressAllowed(address, loopback);
}

bool ReadListenAddress(const std::string& text, std::string& host, uint16_t& port,
                       std::string& why) {
    size_t colon;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            why = "'" + text + "' is no [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos) {
            why = "'" + text + "' is no ADDRESS:PORT";
            return false;
        }
        host = text.substr(0, colon);
    }
    const std::string portText = text.substr(colon + 1);
    if (!ReadAddress(host)) {
        why = "'" + host + "' is no IP address";
        return false;
    }
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(portText) < 1 || std::stoi(portText) > 65535) {
        why = "'" + portText + "' is no port from 1 to 65535";
        return false;
    }
    port = static_cast<uint16_t>(std::stoi(portText));
    return true;
}

}  // namespace velk
