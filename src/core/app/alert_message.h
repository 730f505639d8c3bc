#pragma once

#include <string>
#include <vector>

#include "core/app/alert_rules.h"

namespace velk {

// Where an alert comes from, for a person with several collectors: the site's name (may be
// empty), the machine's name and the base directory.
struct AlertOrigin {
    std::string site;
    std::string host;
    std::string directory;
};

// The forms an alert takes on its way to a person. Every text is UTF-8 (a text that is not, such
// as a record's bytes, is read as Latin-1) and holds no control character but the line breaks the
// form itself puts in.

// "VELK alarm at SITE: TEXT", "VELK alarm again at ...", "VELK alarm over at ..." ("at SITE" left
// out without a site name).
std::string AlertTitle(const Alert& alert, const AlertOrigin& origin);
// The title and a few lines: the kind, since when, when it ended, how many were held back, the
// machine and the directory.
std::string AlertText(const Alert& alert, const AlertOrigin& origin);
// The webhook's body: one JSON object with kind, state, text, title, since, time, held_back, site,
// host and directory.
std::string AlertJson(const Alert& alert, const AlertOrigin& origin);
// The message handed to "sendmail -t": To, From (when given), Subject (encoded where it is not
// ASCII), a UTF-8 plain-text body. Recipients and sender are taken as one line each.
std::string AlertMail(const Alert& alert, const AlertOrigin& origin, const std::string& to,
                      const std::string& from);
// The command's arguments after its name: kind, state, text.
std::vector<std::string> AlertArguments(const Alert& alert);
// What the command finds in its environment as well: VELK_ALARM_KIND, VELK_ALARM_STATE,
// VELK_ALARM_TEXT, VELK_ALARM_TITLE, VELK_ALARM_SINCE, VELK_ALARM_TIME, VELK_ALARM_HELD_BACK,
// VELK_SITE, VELK_HOST, VELK_DIR ("NAME=value" each).
std::vector<std::string> AlertEnvironment(const Alert& alert, const AlertOrigin& origin);

// A text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

}  // namespace velk
