#include "core/web/web_settings.h"

namespace velk {
namespace {

bool ReadMinutes(const std::string& text, int64_t low, int64_t high, int64_t& value) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoll(text);
    return value >= low && value <= high;
}

}  // namespace

bool ReadWebSettings(const IniDocument& ini, const std::filesystem::path& baseDirectory,
                     WebSettings& settings, std::string& why) {
    settings = WebSettings{};
    const auto get = [&](const char* key) { return ini.Get("Web", key).value_or(""); };
    if (!get("Listen").empty())
        settings.listen = get("Listen");
    const auto path = [&](const std::string& text) {
        const std::filesystem::path p(text);
        return p.is_absolute() ? p : baseDirectory / p;
    };
    if (!get("Certificate").empty())
        settings.certificate = path(get("Certificate"));
    if (!get("Key").empty())
        settings.key = path(get("Key"));
    if (settings.certificate.empty() != settings.key.empty()) {
        why = "[Web] needs both Certificate and Key for HTTPS";
        return false;
    }
    const std::string plain = get("PlainHttpOffLoopback");
    if (!plain.empty() && plain != "0" && plain != "1") {
        why = "[Web] PlainHttpOffLoopback takes 0 or 1";
        return false;
    }
    settings.plainHttpOffLoopback = plain == "1";
    const auto metrics = ini.Get("Web", "MetricsFrom");
    std::string problem;
    if (!ReadAddressRanges(metrics ? *metrics : "127.0.0.0/8 ::1", settings.metricsFrom,
                           problem)) {
        why = "[Web] MetricsFrom: " + problem;
        return false;
    }
    settings.accounts = path(get("Accounts").empty() ? kWebAccountsFile : get("Accounts"));
    if (!get("SessionMinutes").empty() &&
        !ReadMinutes(get("SessionMinutes"), 1, 720, settings.sessionMinutes)) {
        why = "[Web] SessionMinutes takes 1 to 720";
        return false;
    }
    if (!get("SearchSeconds").empty() &&
        !ReadMinutes(get("SearchSeconds"), 1, 600, settings.searchSeconds)) {
        why = "[Web] SearchSeconds takes 1 to 600";
        return false;
    }
    return true;
}

std::string ListenRefusal(const std::string& host, bool tls, bool plainHttpOffLoopback) {
    if (tls || plainHttpOffLoopback || IsLoopbackAddress(host))
        return {};
    return "plain HTTP is only served on loopback: give [Web] Certificate and Key for HTTPS, or "
           "set [Web] PlainHttpOffLoopback=1 behind a reverse proxy that gives TLS";
}

}  // namespace velk
