#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/foundation/ini_file.h"
#include "core/web/web_address.h"

namespace velk {

// The web console's own settings: the section [Web] of VELK.INI.
//   Listen=127.0.0.1:8080       where it listens (--listen overrides it)
//   Certificate=, Key=          PEM files: HTTPS with them
//   PlainHttpOffLoopback=0      1: plain HTTP on another address than loopback (behind a
//                               reverse proxy that gives TLS)
//   MetricsFrom=127.0.0.0/8 ::1 who may read /metrics
//   Accounts=velk-web.users     the accounts file (relative: to the base directory)
//   SessionMinutes=30           a session ends after this long without a request (and 12 h
//                               after the login)
//   SearchSeconds=10            a search or report stops after this long and says so
struct WebSettings {
    std::string listen = "127.0.0.1:8080";
    std::filesystem::path certificate, key;
    bool plainHttpOffLoopback = false;
    std::vector<AddressRange> metricsFrom;
    std::filesystem::path accounts;
    int64_t sessionMinutes = 30;
    int64_t searchSeconds = 10;
};

inline constexpr const char* kWebAccountsFile = "velk-web.users";

// Reads [Web] (what it lacks takes the defaults); false with the reason when a value cannot be
// used.
bool ReadWebSettings(const IniDocument& ini, const std::filesystem::path& baseDirectory,
                     WebSettings& settings, std::string& why);

// Why the console must not listen there: plain HTTP off loopback without the setting that allows
// it; empty when it may.
std::string ListenRefusal(const std::string& host, bool tls, bool plainHttpOffLoopback);

}  // namespace velk
