#include "core/foundation/settings_store.h"

#include <optional>
#include <string>

#include "core/foundation/ini_file.h"

namespace velk {
namespace {

constexpr const char* kSettings = "Settings";
constexpr const char* kColumns = "List1ColWidth";
constexpr const char* kSaver = "Saver";
constexpr const char* kFilter = "Saver Filter";
constexpr const char* kApplication = "Application";

// Reads keys one by one and remembers whether any key that counts was missing or unreadable.
class KeyReader {
public:
    explicit KeyReader(const IniDocument& doc) : doc_(doc) {}

    void Int(const char* section, const std::string& key, int32_t& field) {
        const auto text = doc_.Get(section, key);
        const auto value = text ? DecodeStructInt(*text) : std::nullopt;
        if (value) {
            field = *value;
        } else {
            ok_ = false;
        }
    }

    // A text value cut to the key's read buffer (buffer size less the terminating zero).
    std::optional<std::string> Text(const char* section, const char* key, size_t buffer) const {
        auto text = doc_.Get(section, key);
        if (text && text->size() > buffer - 1)
            text->resize(buffer - 1);
        return text;
    }

    // A text key with a default that fails only when it is present with an empty value; the field
    // then stays empty.
    void TextWithDefault(const char* section, const char* key, size_t buffer, const char* fallback,
                         std::string& field) {
        const auto text = Text(section, key, buffer);
        if (!text) {
            field = fallback;
        } else {
            field = *text;
            if (text->empty())
                ok_ = false;
        }
    }

    bool Ok() const { return ok_; }

private:
    const IniDocument& doc_;
    bool ok_ = true;
};

std::string Indexed(const char* prefix, int i) {
    return prefix + std::to_string(i);
}

}  // namespace

SettingsStore::SettingsStore(std::filesystem::path baseDirectory)
    : base_(std::move(baseDirectory)), iniPath_(base_ / "VELK.INI") {}

int SettingsStore::ReadIniFile(AppSettings& s) const {
    IniDocument doc;
    doc.Load(iniPath_);  // a missing file reads as a file without keys
    KeyReader r(doc);

    const auto ip = r.Text(kSettings, "IP address", 20);
    s.APP_IPAddr = ip && !ip->empty() ? *ip : "127.0.0.1";
    s.Site_Name = r.Text(kSettings, "Site Name", 37).value_or("");
    s.APP_HD_Buffer_Directory = r.Text(kSettings, "APP_HD_Buffer_Directory", 260).value_or("");

    r.Int(kSettings, "Server Port index", s.Server_Port_index);
    r.Int(kSettings, "COM Port number index", s.COM_Port_number_index);
    r.Int(kSettings, "COM Port baud rate index", s.COM_Port_baud_rate_index);
    r.Int(kSettings, "IP_Used", s.IP_Used);
    r.Int(kSettings, "AutoConnection", s.AutoConnection);
    r.Int(kSettings, "AutoReConnection", s.AutoReConnection);
    r.Int(kSettings, "RawSave", s.RawSave);
    r.Int(kSettings, "RawSaveDaily", s.RawSaveDaily);
    r.Int(kSettings, "Hex_Type", s.Hex_Type);
    for (int i = 0; i < kColumnCount; ++i)
        r.Int(kColumns, Indexed("Col", i), s.Col[i]);
    for (int k = 1; k <= kSavedColumnCount; ++k)
        r.Int(kSaver, Indexed("f", k), s.f[k - 1]);
    r.Int(kSaver, "SaveToFile", s.SaveToFile);
    r.Int(kSaver, "MakeHeader", s.MakeHeader);
    for (int i = 0; i < kSavedColumnCount; ++i)
        r.Int(kSaver, Indexed("SaveInd", i), s.SaveInd[i]);

    r.TextWithDefault(kSaver, "File Extension", 4, "csv", s.File_Extension);
    r.TextWithDefault(kSaver, "Distributor ASCII Code", 3, "3B", s.Distributor_ASCII_Code);

    s.T.fill(1);
    s.SCFilterTRK_AND = 0;
    s.SCFilter_USE = 0;
    for (int t = 0; t < kCallTypeCount; ++t)
        r.Int(kFilter, Indexed("T", t), s.T[t]);
    r.Int(kFilter, "SCFilterTRK_AND", s.SCFilterTRK_AND);
    r.Int(kFilter, "SCFilter_USE", s.SCFilter_USE);

    r.TextWithDefault(kFilter, "SCCallingSequence", 70, "1-1024", s.SCCallingSequence);
    r.TextWithDefault(kFilter, "SCCalledSequence", 70, "1-1024", s.SCCalledSequence);

    r.Int(kApplication, "LaunchMin", s.LaunchMin);
    r.Int(kSettings, "DoBufferPacked", s.DoBufferPacked);
    r.Int(kSettings, "DoBufferDecoded", s.DoBufferDecoded);
    r.Int(kSettings, "BufferUpdateMaxTimer", s.BufferUpdateMaxTimer);
    r.Int(kSettings, "RequestDelayAfterNormalData", s.RequestDelayAfterNormalData);
    r.Int(kSettings, "APP_STX", s.APP_STX);
    r.Int(kSettings, "APP_ETX", s.APP_ETX);
    r.Int(kSettings, "APP_EOT", s.APP_EOT);
    r.Int(kSettings, "APP_CR", s.APP_CR);
    r.Int(kSettings, "APP_LF", s.APP_LF);
    r.Int(kSettings, "APP_Raw_Profile_Number", s.APP_Raw_Profile_Number);
    r.Int(kSettings, "DoBufferPackedToOut", s.DoBufferPackedToOut);
    r.Int(kSettings, "DoBufferDecodedToOut", s.DoBufferDecodedToOut);
    r.Int(kSettings, "HD_Used", s.HD_Used);
    r.Int(kSettings, "APP_LCRinMandatory", s.APP_LCRinMandatory);
    r.Int(kSettings, "APP_HDFormat", s.APP_HDFormat);
    r.Int(kSettings, "APP_360Format", s.APP_360Format);

    return r.Ok() ? 1 : 0;
}

int SettingsStore::WriteIniFile(const AppSettings& s) const {
    IniDocument doc;
    doc.Load(iniPath_);  // keep the existing file's order, comments and unknown keys

    const auto text = [&doc](const char* section, const std::string& key, const std::string& v) {
        doc.Set(section, key, v);
    };
    const auto num = [&doc](const char* section, const std::string& key, int32_t v) {
        doc.Set(section, key, EncodeStructInt(v));
    };

    text(kSettings, "IP address", s.APP_IPAddr);
    text(kSettings, "Site Name", s.Site_Name);
    text(kSettings, "APP_HD_Buffer_Directory", s.APP_HD_Buffer_Directory);
    num(kSettings, "Server Port index", s.Server_Port_index);
    text(kSettings, "Server Port name", s.Server_Port_name);
    num(kSettings, "COM Port number index", s.COM_Port_number_index);
    text(kSettings, "COM Port number", s.COM_Port_number);
    num(kSettings, "COM Port baud rate index", s.COM_Port_baud_rate_index);
    text(kSettings, "COM Port baud rate", s.COM_Port_baud_rate);
    num(kSettings, "IP_Used", s.IP_Used);
    num(kSettings, "HD_Used", s.HD_Used);
    num(kSettings, "AutoConnection", s.AutoConnection);
    num(kSettings, "AutoReConnection", s.AutoReConnection);
    num(kSettings, "RawSave", s.RawSave);
    num(kSettings, "RawSaveDaily", s.RawSaveDaily);
    num(kSettings, "Hex_Type", s.Hex_Type);
    for (int i = 0; i < kColumnCount; ++i)
        num(kColumns, Indexed("Col", i), s.Col[i]);
    for (int k = 1; k <= kSavedColumnCount; ++k)
        num(kSaver, Indexed("f", k), s.f[k - 1]);
    num(kSaver, "SaveToFile", s.SaveToFile);
    num(kSaver, "MakeHeader", s.MakeHeader);
    for (int i = 0; i < kSavedColumnCount; ++i)
        num(kSaver, Indexed("SaveInd", i), s.SaveInd[i]);
    text(kSaver, "File Extension", s.File_Extension.substr(0, 3));
    text(kSaver, "Distributor ASCII Code", s.Distributor_ASCII_Code.substr(0, 2));
    for (int t = 0; t < kCallTypeCount; ++t)
        num(kFilter, Indexed("T", t), s.T[t]);
    num(kFilter, "SCFilterTRK_AND", s.SCFilterTRK_AND);
    num(kFilter, "SCFilter_USE", s.SCFilter_USE);
    text(kFilter, "SCCallingSequence", s.SCCallingSequence);
    text(kFilter, "SCCalledSequence", s.SCCalledSequence);
    num(kApplication, "LaunchMin", s.LaunchMin);
    num(kSettings, "DoBufferPacked", s.DoBufferPacked);
    num(kSettings, "DoBufferDecoded", s.DoBufferDecoded);
    num(kSettings, "BufferUpdateMaxTimer", s.BufferUpdateMaxTimer);
    num(kSettings, "RequestDelayAfterNormalData", s.RequestDelayAfterNormalData);
    num(kSettings, "APP_STX", s.APP_STX);
    num(kSettings, "APP_ETX", s.APP_ETX);
    num(kSettings, "APP_EOT", s.APP_EOT);
    num(kSettings, "APP_CR", s.APP_CR);
    num(kSettings, "APP_LF", s.APP_LF);
    num(kSettings, "APP_LCRinMandatory", s.APP_LCRinMandatory);
    num(kSettings, "APP_HDFormat", s.APP_HDFormat);
    num(kSettings, "APP_360Format", s.APP_360Format);
    num(kSettings, "APP_Raw_Profile_Number", s.APP_Raw_Profile_Number);
    num(kSettings, "DoBufferPackedToOut", s.DoBufferPackedToOut);
    num(kSettings, "DoBufferDecodedToOut", s.DoBufferDecodedToOut);

    return doc.Save(iniPath_) ? 1 : 0;
}

int SettingsStore::ReadColumnWidths(std::array<int32_t, kColumnCount>& widths) const {
    IniDocument doc;
    doc.Load(iniPath_);
    KeyReader r(doc);
    std::array<int32_t, kColumnCount> read{};
    for (int i = 0; i < kColumnCount; ++i)
        r.Int(kColumns, Indexed("Col", i), read[i]);
    if (!r.Ok())
        return 0;
    widths = read;
    return 1;
}

}  // namespace velk
