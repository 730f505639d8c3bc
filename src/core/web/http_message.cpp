#include "core/web/http_message.h"

#include <cctype>

namespace velk {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Trimmed(const std::string& t) {
    const size_t a = t.find_first_not_of(" \t");
    if (a == std::string::npos)
        return {};
    return t.substr(a, t.find_last_not_of(" \t") - a + 1);
}

}  // namespace

std::string WebRequest::Field(const std::string& name) const {
    const auto it = query.find(name);
    return it == query.end() ? std::string() : it->second;
}

std::string WebResponse::HeaderValue(const std::string& name) const {
    for (const auto& [n, v] : headers) {
        if (n == name)
            return v;
    }
    return {};
}

std::string UrlDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string UrlEncode(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

void ReadFormFields(const std::string& text, std::multimap<std::string, std::string>& fields) {
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('&', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string pair = text.substr(at, end - at);
        if (!pair.empty()) {
            const size_t eq = pair.find('=');
            if (eq == std::string::npos)
                fields.emplace(UrlDecode(pair), std::string());
            else
                fields.emplace(UrlDecode(pair.substr(0, eq)), UrlDecode(pair.substr(eq + 1)));
        }
        at = end + 1;
    }
}

std::map<std::string, std::string> ReadCookies(const std::string& header) {
    std::map<std::string, std::string> cookies;
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        const std::string pair = Trimmed(header.substr(at, end - at));
        const size_t eq = pair.find('=');
        if (eq != std::string::npos && eq > 0)
            cookies.emplace(Trimmed(pair.substr(0, eq)), Trimmed(pair.substr(eq + 1)));
        at = end + 1;
    }
    return cookies;
}

}  // namespace velk
