#include "core/foundation/setting_meanings.h"

#include <charconv>
#include <cstdint>
#include <optional>

#include "core/foundation/app_settings.h"

namespace velk {
namespace {

enum class Kind { Flag, Range, Ipv4, Text, Extension, HexByte, Path, Any };

struct Rule {
    Kind kind = Kind::Any;
    int32_t low = 0, high = 0;  // a range; the longest text
    const char* values = "";    // what the problem says the values are
};

std::optional<int32_t> WholeNumber(const std::string& text) {
    int32_t v = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, v);
    if (text.empty() || error != std::errc() || at != end)
        return std::nullopt;
    return v;
}

bool IsIpv4(const std::string& text) {
    int parts = 0;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t dot = text.find('.', at);
        const std::string part = text.substr(at, dot == std::string::npos ? std::string::npos
                                                                          : dot - at);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") !=
                                                   std::string::npos)
            return false;
        if (std::stoi(part) > 255)
            return false;
        ++parts;
        if (dot == std::string::npos)
            break;
        at = dot + 1;
    }
    return parts == 4;
}

// The family a numbered key belongs to ("f12" -> "f", 12); false for any other key.
bool Numbered(const std::string& key, const std::string& prefix, int first, int last) {
    if (key.rfind(prefix, 0) != 0 || key.size() == prefix.size())
        return false;
    const std::string digits = key.substr(prefix.size());
    if (digits.size() > 1 && digits[0] == '0')
        return false;
    const auto n = WholeNumber(digits);
    return n && digits.find_first_not_of("0123456789") == std::string::npos && *n >= first &&
           *n <= last;
}

std::optional<Rule> RuleOf(const std::string& key) {
    static const char* const kFlags[] = {
        "IP_Used",        "HD_Used",          "AutoConnection",      "AutoReConnection",
        "RawSave",        "RawSaveDaily",     "SaveToFile",          "MakeHeader",
        "SCFilterTRK_AND", "SCFilter_USE",    "LaunchMin",           "DoBufferPacked",
        "DoBufferDecoded", "APP_STX",         "APP_ETX",             "APP_EOT",
        "APP_CR",         "APP_LF",           "APP_LCRinMandatory",  "APP_HDFormat",
        "APP_360Format",  "DoBufferPackedToOut", "DoBufferDecodedToOut"};
    for (const char* flag : kFlags) {
        if (key == flag)
            return Rule{Kind::Flag, 0, 1, "1 (yes) or 0 (no)"};
    }
    if (Numbered(key, "f", 1, kSavedColumnCount) || Numbered(key, "T", 0, kCallTypeCount - 1))
        return Rule{Kind::Flag, 0, 1, "1 (yes) or 0 (no)"};
    if (Numbered(key, "SaveInd", 0, kSavedColumnCount - 1))
        return Rule{Kind::Range, -1, 50, "a field number from 0 to 49, or 50 for an empty column"};
    if (Numbered(key, "Col", 0, kColumnCount - 1))
        return Rule{Kind::Range, 0, 10000, "a width in pixels from 0 to 10000"};
    if (key.rfind("Serial Ports/", 0) == 0)
        return Rule{Kind::Path, 1, 259, "a device file such as /dev/ttyUSB0"};
    if (key == "IP address")
        return Rule{Kind::Ipv4, 0, 19, "an IPv4 address such as 10.0.0.5"};
    if (key == "Server Port index")
        return Rule{Kind::Range, 0, 3,
                    "0 (CS1000 Main Billing Server), 1 (CS1000 Billing Server and PMS), 2 (CS1000 "
                    "Doubled Billing Server) or 3 (iPECS-MG Billing Server)"};
    if (key == "COM Port number index")
        return Rule{Kind::Range, 0, 3, "0 (COM1), 1 (COM2), 2 (COM3) or 3 (COM4)"};
    if (key == "COM Port baud rate index")
        return Rule{Kind::Range, 0, 7,
                    "0 (1200), 1 (2400), 2 (4800), 3 (9600), 4 (19200), 5 (38400), 6 (57600) or "
                    "7 (115200)"};
    if (key == "Hex_Type")
        return Rule{Kind::Range, 0, 1, "1 (Hex) or 0 (Decimal)"};
    if (key == "BufferUpdateMaxTimer")
        return Rule{Kind::Range, 1, 9, "a number of minutes from 1 to 9"};
    if (key == "RequestDelayAfterNormalData")
        return Rule{Kind::Range, 0, 1000, "a number of milliseconds from 0 to 1000"};
    if (key == "NoRecordsAlarmMinutes")
        return Rule{Kind::Range, 0, 10080, "a number of minutes from 0 (no alarm) to 10080"};
    if (key == "Database/Timeout")
        return Rule{Kind::Range, 1, 3600, "a number of seconds from 1 to 3600"};
    if (key == "APP_HD_Buffer_Directory")
        return Rule{Kind::Path, 0, 259, "a directory's absolute path (or empty)"};
    if (key == "File Extension")
        return Rule{Kind::Extension, 1, 3, "one to three letters or digits"};
    if (key == "Distributor ASCII Code")
        return Rule{Kind::HexByte, 0, 0,
                    "two hexadecimal digits, the code of the separator byte (3B: ';')"};
    if (key == "SCCallingSequence" || key == "SCCalledSequence")
        return Rule{Kind::Text, 0, 69, "a trunk list of at most 69 characters, such as 1-1024"};
    return std::nullopt;
}

bool Fits(const Rule& rule, const std::string& value) {
    switch (rule.kind) {
        case Kind::Flag:
        case Kind::Range: {
            const auto n = WholeNumber(value);
            return n && *n >= rule.low && *n <= rule.high;
        }
        case Kind::Ipv4:
            return IsIpv4(value);
        case Kind::Text:
            return static_cast<int32_t>(value.size()) <= rule.high;
        case Kind::Extension:
            if (value.empty() || value.size() > 3)
                return false;
            for (const char c : value) {
                const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                                   (c >= 'A' && c <= 'Z');
                if (!alnum)
                    return false;
            }
            return true;
        case Kind::HexByte:
            return value.size() == 2 &&
                   value.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos &&
                   value != "00";
        case Kind::Path:
            if (value.empty())
                return rule.low == 0;
            return value[0] == '/' && static_cast<int32_t>(value.size()) <= rule.high;
        case Kind::Any:
            return true;
    }
    return true;
}

}  // namespace

const std::vector<SettingMeaning>& SettingMeanings() {
    static const std::vector<SettingMeaning> kMeanings = {
        {"IP address", "the PBX's billing server for the TCP link: an IPv4 address (10.0.0.5)"},
        {"Site Name", "the site's name in the window's title and the system load"},
        {"APP_HD_Buffer_Directory", "the directory of the billing server's queue file PC_pmstx.dq"},
        {"Server Port index",
         "the system type and its TCP port: 0 CS1000 Main Billing Server (6013), 1 CS1000 "
         "Billing Server and PMS (6012), 2 CS1000 Doubled Billing Server (6014), 3 iPECS-MG "
         "Billing Server (6016)"},
        {"COM Port number index", "the serial port: 0 COM1, 1 COM2, 2 COM3, 3 COM4"},
        {"COM Port baud rate index",
         "the serial line's speed: 0 1200, 1 2400, 2 4800, 3 9600, 4 19200, 5 38400, 6 57600, "
         "7 115200"},
        {"IP_Used", "1: the link is TCP (else serial, or the hard-disk buffer)"},
        {"HD_Used", "1: the records come from the hard-disk buffer"},
        {"AutoConnection", "1: the window program connects at start"},
        {"AutoReConnection", "1: a TCP link that fails is connected again every minute"},
        {"RawSave", "1: raw record files in Bill and Bill_Backup"},
        {"RawSaveDaily", "1: one raw file per day (else one running file cs1000.raw)"},
        {"Hex_Type", "the numbers of the records: 1 hexadecimal, 0 decimal"},
        {"Col0 .. Col50", "the widths of the last-calls list's columns, in pixels"},
        {"f1 .. f50", "1: column k of the decoded record files is written"},
        {"SaveToFile", "1: decoded record files in Bill and Bill_Backup"},
        {"MakeHeader", "1: a new decoded file starts with a header line"},
        {"SaveInd0 .. SaveInd49",
         "the field column k+1 of the decoded files holds: 0 to 49, 50 empty"},
        {"File Extension", "the decoded files' extension, up to three characters (csv)"},
        {"Distributor ASCII Code",
         "the decoded files' separator as two hexadecimal digits (3B: ';')"},
        {"T0 .. T13", "1: call type k passes the saving filter"},
        {"SCFilterTRK_AND", "1: a transit call must match both trunk lists"},
        {"SCFilter_USE", "1: the saving filter is in force"},
        {"SCCallingSequence", "the calling trunks that pass the filter (1-1024)"},
        {"SCCalledSequence", "the called trunks that pass the filter (1-1024)"},
        {"LaunchMin", "1: the window is minimised shortly after start"},
        {"DoBufferPacked", "1: raw records are collected in Buffers/buffer_in.raw"},
        {"DoBufferDecoded", "1: decoded records are collected in Buffers/buffer_in.csv"},
        {"BufferUpdateMaxTimer", "minutes between buffer hand-offs, 1 to 9"},
        {"RequestDelayAfterNormalData",
         "milliseconds between a data message and the next poll, up to 1000 (the dialog: 50 to 1000)"},
        {"APP_STX", "1: stored raw records keep their STX byte"},
        {"APP_ETX", "1: stored raw records keep their ETX byte"},
        {"APP_EOT", "1: stored raw records end with an EOT byte"},
        {"APP_CR", "1: stored raw records end with a carriage return"},
        {"APP_LF", "1: stored raw records end with a line feed"},
        {"APP_LCRinMandatory", "1: CS1000 LCR digits in the mandatory fields"},
        {"APP_HDFormat", "1: the records come in the HD format"},
        {"APP_360Format", "1: the records come in the CS1000 360 format"},
        {"APP_Raw_Profile_Number", "kept as it is; nothing uses it"},
        {"DoBufferPackedToOut", "1: the raw buffer is handed over to Buffers/Raw/buffer_out.raw"},
        {"DoBufferDecodedToOut",
         "1: the decoded buffer is handed over to Buffers/CSV/buffer_out.csv"},
        {"NoRecordsAlarmMinutes",
         "minutes without a call record while connected before an alarm; 0: none"},
        {"Serial Ports/COM1 .. Serial Ports/COM4", "the device file behind each COM name"},
        {"Database/Connection",
         "the PostgreSQL server the records are also sent to: a libpq connection string or URI, "
         "without a password"},
        {"Database/Site", "the site's name on that server (else Site Name)"},
        {"Database/Timeout", "seconds the server may take to answer, 1 to 3600"},
        {"columns=all", "(not a key) every decoded field in a column of its own"},
    };
    return kMeanings;
}

std::string SettingValueProblem(const std::string& key, const std::string& value) {
    const auto rule = RuleOf(key);
    if (!rule || Fits(*rule, value))
        return {};
    return key + " is " + rule->values;
}

std::string SettingValueNote(const std::string& key, const std::string& value) {
    const auto rule = RuleOf(key);
    const auto n = WholeNumber(value);
    if (!rule || !n || !Fits(*rule, value))
        return {};
    if (rule->kind == Kind::Flag)
        return *n == 1 ? "yes" : "no";
    if (key == "Server Port index")
        return SystemTypeName(*n);
    if (key == "COM Port number index")
        return ComPortName(*n);
    if (key == "COM Port baud rate index")
        return std::string(BaudRateText(*n)) + " baud";
    if (key == "Hex_Type")
        return *n == 1 ? "Hex" : "Decimal";
    return {};
}

}  // namespace velk
