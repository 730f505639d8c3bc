// velk-settings DIR [KEY=VALUE ...]: writes DIR/VELK.INI with every key, starting from the file's
// current values (or the built-in defaults) and setting the keys given. Keys are those of the
// settings file ("IP address", "AutoConnection", "f1", "SaveInd0", "T11", ...); the extra key
// "columns=all" writes every decoded field in its own column.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "core/foundation/settings_store.h"

namespace {

using velk::AppSettings;

bool SetKey(AppSettings& s, const std::string& key, const std::string& value) {
    const std::map<std::string, std::string AppSettings::*> texts = {
        {"IP address", &AppSettings::APP_IPAddr},
        {"Site Name", &AppSettings::Site_Name},
        {"APP_HD_Buffer_Directory", &AppSettings::APP_HD_Buffer_Directory},
        {"File Extension", &AppSettings::File_Extension},
        {"Distributor ASCII Code", &AppSettings::Distributor_ASCII_Code},
        {"SCCallingSequence", &AppSettings::SCCallingSequence},
        {"SCCalledSequence", &AppSettings::SCCalledSequence},
    };
    const std::map<std::string, int32_t AppSettings::*> ints = {
        {"Server Port index", &AppSettings::Server_Port_index},
        {"COM Port number index", &AppSettings::COM_Port_number_index},
        {"COM Port baud rate index", &AppSettings::COM_Port_baud_rate_index},
        {"IP_Used", &AppSettings::IP_Used},
        {"HD_Used", &AppSettings::HD_Used},
        {"AutoConnection", &AppSettings::AutoConnection},
        {"AutoReConnection", &AppSettings::AutoReConnection},
        {"RawSave", &AppSettings::RawSave},
        {"RawSaveDaily", &AppSettings::RawSaveDaily},
        {"Hex_Type", &AppSettings::Hex_Type},
        {"SaveToFile", &AppSettings::SaveToFile},
        {"MakeHeader", &AppSettings::MakeHeader},
        {"SCFilterTRK_AND", &AppSettings::SCFilterTRK_AND},
        {"SCFilter_USE", &AppSettings::SCFilter_USE},
        {"LaunchMin", &AppSettings::LaunchMin},
        {"DoBufferPacked", &AppSettings::DoBufferPacked},
        {"DoBufferDecoded", &AppSettings::DoBufferDecoded},
        {"BufferUpdateMaxTimer", &AppSettings::BufferUpdateMaxTimer},
        {"RequestDelayAfterNormalData", &AppSettings::RequestDelayAfterNormalData},
        {"APP_STX", &AppSettings::APP_STX},
        {"APP_ETX", &AppSettings::APP_ETX},
        {"APP_EOT", &AppSettings::APP_EOT},
        {"APP_CR", &AppSettings::APP_CR},
        {"APP_LF", &AppSettings::APP_LF},
        {"APP_LCRinMandatory", &AppSettings::APP_LCRinMandatory},
        {"APP_HDFormat", &AppSettings::APP_HDFormat},
        {"APP_360Format", &AppSettings::APP_360Format},
        {"APP_Raw_Profile_Number", &AppSettings::APP_Raw_Profile_Number},
        {"DoBufferPackedToOut", &AppSettings::DoBufferPackedToOut},
        {"DoBufferDecodedToOut", &AppSettings::DoBufferDecodedToOut},
    };
    if (key == "columns" && value == "all") {
        for (size_t k = 0; k < 50; ++k) {
            s.f[k] = 1;
            s.SaveInd[k] = static_cast<int32_t>(k);
        }
        return true;
    }
    if (const auto t = texts.find(key); t != texts.end()) {
        s.*(t->second) = value;
        return true;
    }
    const int32_t number = static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
    if (const auto i = ints.find(key); i != ints.end()) {
        s.*(i->second) = number;
        return true;
    }
    const auto indexed = [&](const char* prefix, auto& array, int first) {
        const std::string p = prefix;
        if (key.rfind(p, 0) != 0 || key.size() == p.size())
            return false;
        const int index = std::atoi(key.c_str() + p.size()) - first;
        if (index < 0 || index >= static_cast<int>(array.size()))
            return false;
        array[static_cast<size_t>(index)] = number;
        return true;
    };
    return indexed("SaveInd", s.SaveInd, 0) || indexed("Col", s.Col, 0) || indexed("f", s.f, 1) ||
           indexed("T", s.T, 0);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: velk-settings DIR [KEY=VALUE ...]\n");
        return 2;
    }
    velk::SettingsStore store(argv[1]);
    AppSettings settings;
    store.ReadIniFile(settings);
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        if (eq == std::string::npos || !SetKey(settings, arg.substr(0, eq), arg.substr(eq + 1))) {
            std::fprintf(stderr, "velk-settings: unknown setting '%s'\n", argv[i]);
            return 2;
        }
    }
    if (store.WriteIniFile(settings) != 1) {
        std::fprintf(stderr, "velk-settings: cannot write %s\n", store.IniPath().c_str());
        return 1;
    }
    return 0;
}
