#include "core/foundation/database_settings.h"

#include <cctype>

#include "core/foundation/latin1_text.h"

namespace velk {
namespace {

constexpr const char* kMask = "****";

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A key as libpq takes it: %XX sequences decoded (in URIs), here also in lower case, as a
// password in any spelling is one to keep out of the file.
std::string KeyName(const std::string& part) {
    std::string out;
    for (size_t i = 0; i < part.size(); ++i) {
        if (part[i] == '%' && i + 2 < part.size() && HexValue(part[i + 1]) >= 0 &&
            HexValue(part[i + 2]) >= 0) {
            out += Lower(static_cast<char>(HexValue(part[i + 1]) * 16 + HexValue(part[i + 2])));
            i += 2;
        } else {
            out += Lower(part[i]);
        }
    }
    return out;
}

// Where a URI's scheme ends ("postgresql://" or "postgres://" in any case, after blanks); npos
// when the text is no URI.
size_t UriAuthority(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && Blank(text[i]))
        ++i;
    for (const std::string scheme : {"postgresql://", "postgres://"}) {
        if (text.size() - i >= scheme.size() && KeyName(text.substr(i, scheme.size())) == scheme)
            return i + scheme.size();
    }
    return std::string::npos;
}

bool UriHoldsPassword(const std::string& uri, size_t authority) {
    // libpq looks for the user's '@' up to the first '/' only: a '?' may be in the password.
    const size_t end = uri.find('/', authority);
    const std::string hosts =
        uri.substr(authority, end == std::string::npos ? end : end - authority);
    const size_t at = hosts.rfind('@');
    if (at != std::string::npos && hosts.substr(0, at).find(':') != std::string::npos)
        return true;
    const size_t query = uri.find('?', authority);
    if (query == std::string::npos)
        return false;
    size_t from = query + 1;
    while (from <= uri.size()) {
        size_t amp = uri.find('&', from);
        if (amp == std::string::npos)
            amp = uri.size();
        const std::string pair = uri.substr(from, amp - from);
        if (KeyName(pair.substr(0, pair.find('='))) == "password")
            return true;
        from = amp + 1;
    }
    return false;
}

// key = value pairs; a value may be in single quotes with \' and \\ inside.
bool PairsHoldPassword(const std::string& text) {
    size_t i = 0;
    const auto blanks = [&] {
        while (i < text.size() && Blank(text[i]))
            ++i;
    };
    while (true) {
        blanks();
        if (i >= text.size())
            return false;
        std::string key;
        while (i < text.size() && text[i] != '=' && !Blank(text[i]))
            key += text[i++];
        blanks();
        if (i >= text.size() || text[i] != '=')
            return false;  // libpq refuses such a text anyway
        ++i;
        blanks();
        if (KeyName(key) == "password")
            return true;
        if (i < text.size() && text[i] == '\'') {
            for (++i; i < text.size() && text[i] != '\''; ++i) {
                if (text[i] == '\\')
                    ++i;
            }
            ++i;
        } else {
            while (i < text.size() && !Blank(text[i])) {
                if (text[i] == '\\')
                    ++i;
                ++i;
            }
        }
    }
}

// The end of a value that starts at `from` (after its '='): a quoted one ends at its closing
// quote, any other at a blank, a separator of a URI's query, or a quote around the whole
// connection in a message.
size_t ValueEnd(const std::string& text, size_t from, bool& quoted) {
    quoted = from < text.size() && text[from] == '\'';
    size_t i = from + (quoted ? 1 : 0);
    for (; i < text.size(); ++i) {
        if (quoted && text[i] == '\\') {
            ++i;
            continue;
        }
        if (quoted ? text[i] == '\''
                   : (Blank(text[i]) || text[i] == '&' || text[i] == '"' || text[i] == '#' ||
                      text[i] == '\''))
            break;
    }
    return std::min(i, text.size());
}

}  // namespace

std::string DatabaseSiteName(const AppSettings& settings) {
    const std::string& name =
        settings.Database_Site.empty() ? settings.Site_Name : settings.Database_Site;
    return IsUtf8(name) ? name : Latin1ToUtf8(name);
}

std::string SiteNameRefusal(const std::string& site) {
    const size_t characters = Utf8Characters(site);
    if (characters <= kMostSiteNameCharacters)
        return {};
    return "the site name is too long for the database server: " + std::to_string(characters) +
           " characters, at most " + std::to_string(kMostSiteNameCharacters);
}

bool ConnectionHoldsPassword(const std::string& connection) {
    const size_t authority = UriAuthority(connection);
    if (authority != std::string::npos)
        return UriHoldsPassword(connection, authority);
    return PairsHoldPassword(connection);
}

std::string ConnectionRefusal(const std::string& connection, const ConnectionReader& reader) {
    static const std::string kPassword =
        "holds a password; VELK.INI is no place for it: put it in a file only the service can "
        "read and name that file with passfile=, or in ~/.pgpass of the user the collector runs "
        "as";
    if (connection.empty())
        return {};
    if (ConnectionHoldsPassword(connection))
        return kPassword;
    std::map<std::string, std::string> options;
    std::string why;
    if (!reader.Read(connection, options, why)) {
        while (!why.empty() && Blank(why.back()))
            why.pop_back();
        return "cannot be read as a connection string or URI: " + MaskPasswords(why);
    }
    const auto password = options.find("password");
    if (password != options.end() && !password->second.empty())
        return kPassword;
    return {};
}

std::string MaskPasswords(const std::string& text) {
    std::string out = text;
    // A URI's user and password: what lies between the ':' after the user and the last '@' of
    // the URI (more than the password, perhaps, never less).
    for (size_t scheme = out.find("://"); scheme != std::string::npos;
         scheme = out.find("://", scheme + 3)) {
        const size_t from = scheme + 3;
        size_t end = from;
        while (end < out.size() && !Blank(out[end]) && out[end] != '"' && out[end] != '\'')
            ++end;
        const size_t at = out.rfind('@', end == 0 ? 0 : end - 1);
        if (at == std::string::npos || at < from)
            continue;
        const size_t colon = out.find(':', from);
        if (colon == std::string::npos || colon >= at)
            continue;
        out.replace(colon + 1, at - colon - 1, kMask);
    }
    // Every value of a key password, in key = value pairs and in URI queries alike.
    for (size_t equals = out.find('='); equals != std::string::npos;
         equals = out.find('=', equals + 1)) {
        size_t keyEnd = equals;
        while (keyEnd > 0 && Blank(out[keyEnd - 1]))
            --keyEnd;
        size_t keyStart = keyEnd;
        while (keyStart > 0 && (std::isalnum(static_cast<unsigned char>(out[keyStart - 1])) ||
                                out[keyStart - 1] == '_' || out[keyStart - 1] == '%'))
            --keyStart;
        if (KeyName(out.substr(keyStart, keyEnd - keyStart)) != "password")
            continue;
        size_t value = equals + 1;
        while (value < out.size() && Blank(out[value]))
            ++value;
        bool quoted = false;
        const size_t end = ValueEnd(out, value, quoted);
        const size_t first = value + (quoted ? 1 : 0);
        out.replace(first, end - first, kMask);
        equals = first;
    }
    return out;
}

std::string DatabaseSettingsRefusal(const AppSettings& settings, const ConnectionReader& reader) {
    if (settings.Database_Connection.empty())
        return {};
    const std::string connection = ConnectionRefusal(settings.Database_Connection, reader);
    if (!connection.empty())
        return "the connection of [Database] in VELK.INI " + connection +
               "; nothing is sent until it is mended";
    const std::string site = DatabaseSiteName(settings);
    if (site.empty())
        return "no site name (Site of [Database], or Site Name): nothing is sent, as the records "
               "of sites without names could not be told apart";
    const std::string tooLong = SiteNameRefusal(site);
    if (!tooLong.empty())
        return tooLong +
               " (Site of [Database], or Site Name); nothing is sent until it is "
               "shortened";
    return {};
}

}  // namespace velk
