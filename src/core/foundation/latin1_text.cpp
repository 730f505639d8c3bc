#include "core/foundation/latin1_text.h"

#include <cstdint>

namespace velk {
namespace {

// The length of the well-formed UTF-8 character at `at` (its code point in `cp`); 0 when the
// bytes there begin none.
size_t Utf8CharacterAt(std::string_view t, size_t at, uint32_t& cp) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(t[i]); };
    const unsigned char lead = b(at);
    size_t n = 0;
    uint32_t low = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        cp = lead & 0x1Fu;
        low = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        cp = lead & 0x0Fu;
        low = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        cp = lead & 0x07u;
        low = 0x10000;
    } else {
        return 0;
    }
    if (at + n > t.size())
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((b(at + i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(at + i) & 0x3Fu);
    }
    // Overlong forms, surrogates and what lies beyond Unicode are no characters.
    if (cp < low || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return 0;
    return n;
}

}  // namespace

std::string Latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Utf8ToLatin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        uint32_t cp = 0;
        const size_t n = Utf8CharacterAt(text, at, cp);
        if (n == 0) {
            out += text[at++];
            continue;
        }
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
        at += n;
    }
    return out;
}

bool IsUtf8(std::string_view text) {
    uint32_t cp = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t n = Utf8CharacterAt(text, at, cp);
        if (n == 0)
            return false;
        at += n;
    }
    return true;
}

size_t Utf8Characters(std::string_view text) {
    size_t count = 0;
    uint32_t cp = 0;
    for (size_t at = 0; at < text.size(); ++count) {
        const size_t n = Utf8CharacterAt(text, at, cp);
        at += n == 0 ? 1 : n;
    }
    return count;
}

}  // namespace velk
