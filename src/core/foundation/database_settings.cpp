#include "core/foundation/database_settings.h"

#include <cctype>

namespace velk {
namespace {

// %XX sequences of a URI part decoded (libpq decodes keys and values alike).
std::string Decoded(const std::string& part) {
    std::string out;
    for (size_t i = 0; i < part.size(); ++i) {
        if (part[i] == '%' && i + 2 < part.size() &&
            std::isxdigit(static_cast<unsigned char>(part[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(part[i + 2]))) {
            out += static_cast<char>(std::stoi(part.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += part[i];
        }
    }
    return out;
}

bool UriHoldsPassword(const std::string& uri) {
    const size_t scheme = uri.find("://");
    const size_t authority = scheme + 3;
    const size_t end = uri.find_first_of("/?", authority);
    const std::string hosts = uri.substr(authority, end == std::string::npos ? end : end - authority);
    // user:password@host
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
        if (Decoded(pair.substr(0, pair.find('='))) == "password")
            return true;
        from = amp + 1;
    }
    return false;
}

// key = value pairs; a value may be in single quotes with \' and \\ inside.
bool PairsHoldPassword(const std::string& text) {
    size_t i = 0;
    const auto blanks = [&] {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
    };
    while (true) {
        blanks();
        if (i >= text.size())
            return false;
        std::string key;
        while (i < text.size() && text[i] != '=' && !std::isspace(static_cast<unsigned char>(text[i])))
            key += text[i++];
        blanks();
        if (i >= text.size() || text[i] != '=')
            return false;  // libpq refuses such a text anyway
        ++i;
        blanks();
        if (key == "password")
            return true;
        if (i < text.size() && text[i] == '\'') {
            for (++i; i < text.size() && text[i] != '\''; ++i) {
                if (text[i] == '\\')
                    ++i;
            }
            ++i;
        } else {
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
                if (text[i] == '\\')
                    ++i;
                ++i;
            }
        }
    }
}

}  // namespace

std::string DatabaseSiteName(const AppSettings& settings) {
    return settings.Database_Site.empty() ? settings.Site_Name : settings.Database_Site;
}

bool ConnectionHoldsPassword(const std::string& connection) {
    if (connection.rfind("postgresql://", 0) == 0 || connection.rfind("postgres://", 0) == 0)
        return UriHoldsPassword(connection);
    return PairsHoldPassword(connection);
}

}  // namespace velk

namespace velk {

std::string DatabaseSettingsRefusal(const AppSettings& settings) {
    if (settings.Database_Connection.empty())
        return {};
    if (ConnectionHoldsPassword(settings.Database_Connection))
        return "the connection of [Database] in VELK.INI holds a password: nothing is sent until "
               "it is taken out (the password belongs in a file only the service can read, named "
               "by passfile= in the connection, or in ~/.pgpass)";
    if (DatabaseSiteName(settings).empty())
        return "no site name (Site of [Database], or Site Name): nothing is sent, as the records "
               "of sites without names could not be told apart";
    return {};
}

}  // namespace velk
