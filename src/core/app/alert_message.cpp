#include "core/app/alert_message.h"

#include <cstdio>

#include "core/foundation/latin1_text.h"

namespace velk {
namespace {

// UTF-8 on one line: whatever is not UTF-8 is read as Latin-1.
std::string Clean(const std::string& text) {
    const std::string line = AlarmLine(text, 4 * AlarmBoard::kMostTextBytes);
    return IsUtf8(line) ? line : Latin1ToUtf8(line);
}

std::string TimeText(const LocalTime& t, char between) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", t.year, t.month, t.day,
                  between, t.hour, t.minute, t.second);
    return text;
}

bool Ascii(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i]) << 16) |
                           static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i]) << 16);
        if (i + 1 < bytes.size())
            v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// A header's text as encoded words of at most 45 bytes each (never splitting a character), on
// folded lines.
std::string EncodedWords(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = std::min(text.size(), at + 45);
        while (end < text.size() && end > at + 1 &&
               (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (!out.empty())
            out += "\n ";
        out += "=?UTF-8?B?" + Base64(text.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}

}  // namespace

std::string AlertTitle(const Alert& alert, const AlertOrigin& origin) {
    std::string title = "VELK alarm";
    if (alert.state == Alert::State::Repeat)
        title += " again";
    if (alert.state == Alert::State::Over)
        title += " over";
    const std::string site = Clean(origin.site);
    if (!site.empty())
        title += " at " + site;
    return title + ": " + Clean(alert.text);
}

std::string AlertText(const Alert& alert, const AlertOrigin& origin) {
    std::string text = AlertTitle(alert, origin) + "\n\n";
    text += "Kind: " + alert.kind + "\n";
    text += "Since: " + TimeText(alert.since, ' ') + "\n";
    if (alert.state == Alert::State::Over)
        text += "Over at: " + TimeText(alert.at, ' ') + "\n";
    else
        text += "Still in force at: " + TimeText(alert.at, ' ') + "\n";
    if (alert.heldBack > 0) {
        text += "Held back before this alert: " + std::to_string(alert.heldBack) +
                (alert.heldBack == 1 ? " alert\n" : " alerts\n");
    }
    if (!origin.host.empty())
        text += "Host: " + Clean(origin.host) + "\n";
    if (!origin.directory.empty())
        text += "Directory: " + Clean(origin.directory) + "\n";
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                // Control characters, and what a page showing the text could take for markup.
                if (byte < 0x20 || byte == 0x7f || c == '<' || c == '>' || c == '&') {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string AlertJson(const Alert& alert, const AlertOrigin& origin) {
    std::string json = "{";
    json += "\"kind\":" + JsonString(Clean(alert.kind));
    json += ",\"state\":" + JsonString(AlertStateName(alert.state));
    json += ",\"text\":" + JsonString(Clean(alert.text));
    json += ",\"title\":" + JsonString(AlertTitle(alert, origin));
    json += ",\"since\":" + JsonString(TimeText(alert.since, 'T'));
    json += ",\"time\":" + JsonString(TimeText(alert.at, 'T'));
    json += ",\"held_back\":" + std::to_string(alert.heldBack);
    json += ",\"site\":" + JsonString(Clean(origin.site));
    json += ",\"host\":" + JsonString(Clean(origin.host));
    json += ",\"directory\":" + JsonString(Clean(origin.directory));
    return json + "}";
}

std::string AlertMail(const Alert& alert, const AlertOrigin& origin, const std::string& to,
                      const std::string& from) {
    const std::string title = AlertTitle(alert, origin);
    std::string mail = "To: " + Clean(to) + "\n";
    if (!Clean(from).empty())
        mail += "From: " + Clean(from) + "\n";
    mail += "Subject: " + (Ascii(title) ? title : EncodedWords(title)) + "\n";
    mail += "MIME-Version: 1.0\n";
    mail += "Content-Type: text/plain; charset=UTF-8\n";
    mail += "Content-Transfer-Encoding: 8bit\n";
    mail += "Auto-Submitted: auto-generated\n";
    mail += "\n";
    return mail + AlertText(alert, origin);
}

std::vector<std::string> AlertArguments(const Alert& alert) {
    return {Clean(alert.kind), AlertStateName(alert.state), Clean(alert.text)};
}

std::vector<std::string> AlertEnvironment(const Alert& alert, const AlertOrigin& origin) {
    return {
        "VELK_ALARM_KIND=" + Clean(alert.kind),
        std::string("VELK_ALARM_STATE=") + AlertStateName(alert.state),
        "VELK_ALARM_TEXT=" + Clean(alert.text),
        "VELK_ALARM_TITLE=" + AlertTitle(alert, origin),
        "VELK_ALARM_SINCE=" + TimeText(alert.since, ' '),
        "VELK_ALARM_TIME=" + TimeText(alert.at, ' '),
        "VELK_ALARM_HELD_BACK=" + std::to_string(alert.heldBack),
        "VELK_SITE=" + Clean(origin.site),
        "VELK_HOST=" + Clean(origin.host),
        "VELK_DIR=" + Clean(origin.directory),
    };
}

}  // namespace velk
