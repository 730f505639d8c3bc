// velk-settings [--dir DIR | DIR] [KEY=VALUE ...]: writes VELK.INI in the base directory (the
// current one unless given; created when missing) with every key, starting from the file's
// current values (or the built-in defaults) and setting the keys given. Keys are those of the
// settings file, spelt exactly ("IP address", "AutoConnection", "f1", "SaveInd0", "T11", ...);
// the device files of the COM names are "Serial Ports/COM1" .. "Serial Ports/COM4"; the extra key
// "columns=all" writes every decoded field in its own column; the database server the records
// are also sent to is "Database/Connection" (a libpq connection string or URI, never with a
// password), the site's name there "Database/Site" and the seconds it may take to answer
// "Database/Timeout"; how alarms reach a person is "Alerts/Command", "Alerts/MailTo",
// "Alerts/MailFrom", "Alerts/Sendmail", "Alerts/Webhook" and the numbers "Alerts/HoldBackMinutes",
// "Alerts/LinkDownMinutes", "Alerts/DatabaseAwayMinutes" and "Alerts/Timeout".
//
// Nothing is written when an argument is wrong (an unknown key, a number that is not one, a
// Hex_Type other than 1 or 0) or when the existing file, or one of its values, cannot be read and
// the arguments do not set it: the program then says why and ends with code 2 (1 when the file
// cannot be written).
//
// The file is written as the programs write it (flushed to the disk before it replaces the old
// one), and it keeps the old one's owner, group and mode; a new file takes those of the
// directory (without the execute bits). Run as root on a service's directory, the service's user
// can still write it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/foundation/base_directory.h"
#include "core/foundation/command_line.h"
#include "core/foundation/database_settings.h"
#include "core/foundation/settings_store.h"
#include "platform/posix_file_store.h"
#include "platform/pq_connection_reader.h"

namespace {

using velk::AppSettings;

const velk::ProgramHelp kHelp = {
    "velk-settings", "[--dir DIR | DIR] [KEY=VALUE]...",
    "Writes VELK.INI, the settings of velk and velk-collector, in the base directory: every\n"
    "key, from the file's current values (or the built-in defaults) with the keys given set.\n"
    "Keys are spelt exactly as in the file (\"IP address\", AutoConnection, f1, SaveInd0, T11);\n"
    "the device files of the COM names are \"Serial Ports/COM1\" to \"Serial Ports/COM4\"; the\n"
    "extra key columns=all writes every decoded field in its own column. Nothing is written\n"
    "when an argument is wrong (an unknown key, a number that is not one, a Hex_Type other\n"
    "than 1 or 0) or when a value of the existing file cannot be read and the arguments do not\n"
    "set it: it then says why and ends with code 2 (1 when the file cannot be written). The\n"
    "file keeps the owner, group and mode of the file it replaces (a new one its directory's).",
    ""};
using Field =
    std::variant<std::string AppSettings::*, int32_t AppSettings::*, int32_t*, std::string*>;

// Every key of the settings file the tool sets, by its exact name, with the section it is in.
struct Key {
    std::string section;
    Field field;
};

std::map<std::string, Key> Keys(AppSettings& s) {
    std::map<std::string, Key> keys = {
        {"IP address", {"Settings", &AppSettings::APP_IPAddr}},
        {"Site Name", {"Settings", &AppSettings::Site_Name}},
        {"APP_HD_Buffer_Directory", {"Settings", &AppSettings::APP_HD_Buffer_Directory}},
        {"File Extension", {"Saver", &AppSettings::File_Extension}},
        {"Distributor ASCII Code", {"Saver", &AppSettings::Distributor_ASCII_Code}},
        {"SCCallingSequence", {"Saver Filter", &AppSettings::SCCallingSequence}},
        {"SCCalledSequence", {"Saver Filter", &AppSettings::SCCalledSequence}},
        {"Server Port index", {"Settings", &AppSettings::Server_Port_index}},
        {"COM Port number index", {"Settings", &AppSettings::COM_Port_number_index}},
        {"COM Port baud rate index", {"Settings", &AppSettings::COM_Port_baud_rate_index}},
        {"IP_Used", {"Settings", &AppSettings::IP_Used}},
        {"HD_Used", {"Settings", &AppSettings::HD_Used}},
        {"AutoConnection", {"Settings", &AppSettings::AutoConnection}},
        {"AutoReConnection", {"Settings", &AppSettings::AutoReConnection}},
        {"RawSave", {"Settings", &AppSettings::RawSave}},
        {"RawSaveDaily", {"Settings", &AppSettings::RawSaveDaily}},
        {"Hex_Type", {"Settings", &AppSettings::Hex_Type}},
        {"SaveToFile", {"Saver", &AppSettings::SaveToFile}},
        {"MakeHeader", {"Saver", &AppSettings::MakeHeader}},
        {"SCFilterTRK_AND", {"Saver Filter", &AppSettings::SCFilterTRK_AND}},
        {"SCFilter_USE", {"Saver Filter", &AppSettings::SCFilter_USE}},
        {"LaunchMin", {"Application", &AppSettings::LaunchMin}},
        {"DoBufferPacked", {"Settings", &AppSettings::DoBufferPacked}},
        {"DoBufferDecoded", {"Settings", &AppSettings::DoBufferDecoded}},
        {"BufferUpdateMaxTimer", {"Settings", &AppSettings::BufferUpdateMaxTimer}},
        {"RequestDelayAfterNormalData", {"Settings", &AppSettings::RequestDelayAfterNormalData}},
        {"APP_STX", {"Settings", &AppSettings::APP_STX}},
        {"APP_ETX", {"Settings", &AppSettings::APP_ETX}},
        {"APP_EOT", {"Settings", &AppSettings::APP_EOT}},
        {"APP_CR", {"Settings", &AppSettings::APP_CR}},
        {"APP_LF", {"Settings", &AppSettings::APP_LF}},
        {"APP_LCRinMandatory", {"Settings", &AppSettings::APP_LCRinMandatory}},
        {"APP_HDFormat", {"Settings", &AppSettings::APP_HDFormat}},
        {"APP_360Format", {"Settings", &AppSettings::APP_360Format}},
        {"NoRecordsAlarmMinutes", {"Settings", &AppSettings::NoRecordsAlarmMinutes}},
        {"APP_Raw_Profile_Number", {"Settings", &AppSettings::APP_Raw_Profile_Number}},
        {"DoBufferPackedToOut", {"Settings", &AppSettings::DoBufferPackedToOut}},
        {"DoBufferDecodedToOut", {"Settings", &AppSettings::DoBufferDecodedToOut}},
    };
    const auto indexed = [&keys](const char* section, const char* prefix, auto& array, int first) {
        for (size_t i = 0; i < array.size(); ++i) {
            keys[prefix + std::to_string(static_cast<int>(i) + first)] = {section, &array[i]};
        }
    };
    indexed("List1ColWidth", "Col", s.Col, 0);
    indexed("Saver", "f", s.f, 1);
    indexed("Saver", "SaveInd", s.SaveInd, 0);
    indexed("Saver Filter", "T", s.T, 0);
    // The device files of the COM names, given as "Serial Ports/COM1=/dev/ttyUSB0".
    for (int i = 0; i < 4; ++i) {
        keys[std::string("Serial Ports/") + velk::ComPortName(i)] = {
            "Serial Ports", &s.Serial_Ports[static_cast<size_t>(i)]};
    }
    keys["Database/Connection"] = {"Database", &AppSettings::Database_Connection};
    keys["Database/Site"] = {"Database", &AppSettings::Database_Site};
    keys["Database/Timeout"] = {"Database", &AppSettings::Database_Timeout};
    keys["Alerts/Command"] = {"Alerts", &AppSettings::Alerts_Command};
    keys["Alerts/MailTo"] = {"Alerts", &AppSettings::Alerts_MailTo};
    keys["Alerts/MailFrom"] = {"Alerts", &AppSettings::Alerts_MailFrom};
    keys["Alerts/Sendmail"] = {"Alerts", &AppSettings::Alerts_Sendmail};
    keys["Alerts/Webhook"] = {"Alerts", &AppSettings::Alerts_Webhook};
    keys["Alerts/HoldBackMinutes"] = {"Alerts", &AppSettings::Alerts_HoldBackMinutes};
    keys["Alerts/LinkDownMinutes"] = {"Alerts", &AppSettings::Alerts_LinkDownMinutes};
    keys["Alerts/DatabaseAwayMinutes"] = {"Alerts", &AppSettings::Alerts_DatabaseAwayMinutes};
    keys["Alerts/Timeout"] = {"Alerts", &AppSettings::Alerts_Timeout};
    return keys;
}

// A whole decimal number within the 32-bit range, with an optional minus sign.
std::optional<int32_t> Number(const std::string& text) {
    if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos ||
        text.find('-', 1) != std::string::npos || text == "-") {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < std::numeric_limits<int32_t>::min() ||
        v > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(v);
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "velk-settings: %s\n", text.c_str());
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    const velk::CommandLine line = velk::ParseCommandLine(argc, argv);
    if (const auto code = velk::AnswerCommonOptions(line, kHelp, std::cout, std::cerr))
        return *code;
    std::optional<std::string> dir = line.dir;
    std::vector<std::string> args;
    bool options = true;
    for (const std::string& a : line.arguments) {
        if (options && a == "--")
            options = false;
        else if (options && a.rfind("--", 0) == 0 && a.find('=') == std::string::npos)
            return velk::UsageError(kHelp, "unknown option '" + a + "'", std::cerr);
        else
            args.push_back(a);
    }
    // Without --dir, a first argument that is no KEY=VALUE names the directory.
    if (!dir && !args.empty() && args.front().find('=') == std::string::npos) {
        dir = args.front();
        args.erase(args.begin());
    }
    if (!dir && args.empty())
        return velk::UsageError(kHelp, "give a directory or a KEY=VALUE", std::cerr);
    std::filesystem::path base;
    std::string noBase;
    if (!velk::ChosenBaseDirectory(dir, std::getenv("HOME"), base, noBase)) {
        std::fprintf(stderr, "velk-settings: %s\n", noBase.c_str());
        return 1;
    }
    velk::PosixDiskFlush flush;
    velk::PosixFileOwnership ownership;
    velk::SettingsStore store(base, &flush, &ownership);
    AppSettings settings;
    // A column width the file does not have yet is written as the window computes it: a width
    // of 0 would hide the column.
    settings.Col.fill(velk::kComputedColumnWidth);
    velk::SettingsReadReport report;
    store.ReadIniFile(settings, &report);
    if (report.fileUnreadable)
        return Fail(store.IniPath().string() + " exists but cannot be read; it is left as it is");

    std::map<std::string, Key> keys = Keys(settings);
    std::set<std::string> given;  // "Section/Key" of every key the arguments set
    for (const std::string& arg : args) {
        const auto eq = arg.find('=');
        if (eq == std::string::npos)
            return Fail("'" + arg + "' is not KEY=VALUE");
        const std::string name = arg.substr(0, eq);
        const std::string value = arg.substr(eq + 1);
        for (unsigned char c : value) {
            if (c < 0x20)
                return Fail("'" + velk::MaskPasswords(arg) +
                            "': a value cannot hold control characters");
        }
        if (name == "columns" && value == "all") {
            for (size_t k = 0; k < velk::kSavedColumnCount; ++k) {
                settings.f[k] = 1;
                settings.SaveInd[k] = static_cast<int32_t>(k);
                given.insert("Saver/f" + std::to_string(k + 1));
                given.insert("Saver/SaveInd" + std::to_string(k));
            }
            continue;
        }
        const auto key = keys.find(name);
        if (key == keys.end())
            return Fail("unknown setting '" + name + "' (keys are spelt as in VELK.INI)");
        given.insert(name.rfind('/') == std::string::npos ? key->second.section + "/" + name
                                                          : name);
        if (name == "Alerts/Webhook" && !value.empty() && value.rfind("http://", 0) != 0 &&
            value.rfind("https://", 0) != 0) {
            return Fail("Alerts/Webhook is an http:// or https:// URL");
        }
        if (const auto* text = std::get_if<std::string AppSettings::*>(&key->second.field)) {
            settings.*(*text) = value;
            continue;
        }
        if (const auto* device = std::get_if<std::string*>(&key->second.field)) {
            **device = value;
            continue;
        }
        const std::optional<int32_t> number = Number(value);
        if (!number)
            return Fail("'" + arg + "': '" + value + "' is not a whole number");
        // Any other value would make records decode in a mixture of bases.
        if (name == "Hex_Type" && *number != 0 && *number != 1)
            return Fail("'" + arg + "': Hex_Type is 1 (Hex) or 0 (Decimal)");
        if (name.rfind("Alerts/", 0) == 0 && *number < (name == "Alerts/Timeout" ? 1 : 0)) {
            return Fail("'" + arg + "': " + name.substr(7) +
                        (name == "Alerts/Timeout" ? " is 1 or more" : " is 0 or more"));
        }
        if (const auto* member = std::get_if<int32_t AppSettings::*>(&key->second.field)) {
            settings.*(*member) = *number;
        } else {
            *std::get<int32_t*>(key->second.field) = *number;
        }
    }
    // A value the file holds but that cannot be read would silently become its default.
    for (const std::string& bad : report.unreadable) {
        if (!given.count(bad)) {
            return Fail(store.IniPath().string() + ": the value of " + bad +
                        " cannot be read; give it on the command line to replace it");
        }
    }

    const std::string refusal =
        velk::ConnectionRefusal(settings.Database_Connection, velk::PqConnectionReader());
    if (!refusal.empty())
        return Fail("Database/Connection " + refusal);
    // The name goes into the server's keys, which hold only so much.
    if (!settings.Database_Connection.empty() || given.count("Database/Site") != 0) {
        const std::string tooLong = velk::SiteNameRefusal(velk::DatabaseSiteName(settings));
        if (!tooLong.empty())
            return Fail(tooLong + " (Database/Site, or Site Name)");
    }

    // The informational copies of the choices, as the communication dialog writes them.
    settings.Server_Port_name = velk::SystemTypeName(settings.Server_Port_index);
    settings.COM_Port_number = velk::ComPortName(settings.COM_Port_number_index);
    settings.COM_Port_baud_rate = velk::BaudRateText(settings.COM_Port_baud_rate_index);

    if (store.WriteIniFile(settings) != 1) {
        std::fprintf(stderr, "velk-settings: cannot write %s\n", store.IniPath().c_str());
        return 1;
    }
    return 0;
}
