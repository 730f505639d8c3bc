#include "core/foundation/settings_store.h"

#include <optional>
#include <string>
#include <tuple>

#include "core/foundation/ini_file.h"

namespace velk {
namespace {

constexpr const char* kSettings = "Settings";
constexpr const char* kColumns = "List1ColWidth";
constexpr const char* kSaver = "Saver";
constexpr const char* kFilter = "Saver Filter";
constexpr const char* kApplication = "Application";
constexpr const char* kSerialPorts = "Serial Ports";
constexpr const char* kDatabase = "Database";
constexpr const char* kAlerts = "Alerts";

// A text value as the reader sees it: cut to the key's read buffer (buffer size less the
// terminating zero); buffer 0 for keys that are only written.
std::optional<std::string> ReadText(const IniDocument& doc, const char* section,
                                    const std::string& key, size_t buffer) {
    auto text = doc.Get(section, key);
    if (text && buffer > 0 && text->size() > buffer - 1)
        text->resize(buffer - 1);
    return text;
}

// Reads keys one by one and remembers whether any key that counts was missing or unreadable.
class KeyReader {
public:
    KeyReader(const IniDocument& doc, SettingsReadReport* report) : doc_(doc), report_(report) {}

    void Int(const char* section, const std::string& key, int32_t& field) {
        const auto text = doc_.Get(section, key);
        const auto value = text ? DecodeStructInt(*text) : std::nullopt;
        if (value) {
            field = *value;
        } else {
            Fail(section, key, text.has_value());
        }
    }

    std::optional<std::string> Text(const char* section, const char* key, size_t buffer) const {
        return ReadText(doc_, section, key, buffer);
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
                Fail(section, key, true);
        }
    }

    bool Ok() const { return ok_; }

private:
    void Fail(const char* section, const std::string& key, bool present) {
        ok_ = false;
        if (report_ != nullptr)
            (present ? report_->unreadable : report_->missing)
                .push_back(std::string(section) + "/" + key);
    }

    const IniDocument& doc_;
    SettingsReadReport* report_;
    bool ok_ = true;
};

// A text value written so that it reads back as it is: blanks at either end, or one pair of
// enclosing quotes, would be taken away by the reader, so such a value goes in double quotes.
std::string TextValue(const std::string& v) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const bool quoted =
        v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
    if (!v.empty() && (blank(v.front()) || blank(v.back()) || quoted))
        return '"' + v + '"';
    return v;
}

std::string Indexed(const char* prefix, int i) {
    return prefix + std::to_string(i);
}

}  // namespace

SettingsStore::SettingsStore(std::filesystem::path baseDirectory, DiskFlush* flush,
                             FileOwnership* ownership)
    : base_(std::move(baseDirectory)),
      iniPath_(base_ / "VELK.INI"),
      flush_(flush),
      ownership_(ownership) {}

int SettingsStore::ReadIniFile(AppSettings& s, SettingsReadReport* report) const {
    IniDocument doc;
    // A missing or unreadable file reads as a file without keys.
    const IniDocument::LoadResult loaded = doc.Load(iniPath_);
    if (report != nullptr) {
        report->fileMissing = loaded == IniDocument::LoadResult::Missing;
        report->fileUnreadable = loaded == IniDocument::LoadResult::Unreadable;
    }
    KeyReader r(doc, report);

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

    // The silence alarm is optional: files written before it existed are complete without it.
    if (const auto text = r.Text(kSettings, "NoRecordsAlarmMinutes", 0)) {
        const auto minutes = DecodeStructInt(*text);
        s.NoRecordsAlarmMinutes = minutes ? *minutes : 0;
    }

    // The device files of the COM names never count as a failure: a missing one keeps its
    // default.
    for (int i = 0; i < 4; ++i) {
        const auto device = r.Text(kSerialPorts, ComPortName(i), 260);
        if (device && !device->empty())
            s.Serial_Ports[static_cast<size_t>(i)] = *device;
    }

    // The database keys are optional: a site without a database has none of them.
    s.Database_Connection = r.Text(kDatabase, "Connection", 0).value_or("");
    s.Database_Site = r.Text(kDatabase, "Site", 0).value_or("");
    if (const auto text = r.Text(kDatabase, "Timeout", 0)) {
        // Anything but a time of at least a second keeps the default.
        if (const auto seconds = DecodeStructInt(*text); seconds && *seconds > 0)
            s.Database_Timeout = *seconds;
    }

    // The alerts' keys are optional too; a number that cannot be read keeps its default.
    for (const auto& [key, value] :
         {std::pair{"Command", &s.Alerts_Command}, std::pair{"MailTo", &s.Alerts_MailTo},
          std::pair{"MailFrom", &s.Alerts_MailFrom}, std::pair{"Sendmail", &s.Alerts_Sendmail},
          std::pair{"Webhook", &s.Alerts_Webhook}}) {
        if (const auto text = r.Text(kAlerts, key, 0))
            *value = *text;
    }
    for (const auto& [key, value] : {std::pair{"HoldBackMinutes", &s.Alerts_HoldBackMinutes},
                                     std::pair{"LinkDownMinutes", &s.Alerts_LinkDownMinutes},
                                     std::pair{"DatabaseAwayMinutes", &s.Alerts_DatabaseAwayMinutes},
                                     std::pair{"Timeout", &s.Alerts_Timeout}}) {
        if (const auto text = r.Text(kAlerts, key, 0)) {
            if (const auto number = DecodeStructInt(*text); number && *number >= 0)
                *value = *number;
        }
    }

    return r.Ok() ? 1 : 0;
}

int SettingsStore::WriteIniFile(const AppSettings& s) const {
    IniDocument doc;
    // The existing file's order, comments and unknown keys are kept; a file that exists but could
    // not be read is never replaced by one of defaults.
    if (doc.Load(iniPath_) == IniDocument::LoadResult::Unreadable)
        return 0;

    // A line whose value reads as the value to write stays as the operator wrote it.
    const auto textOf = [&doc](const char* section, const std::string& key, size_t buffer,
                               const std::string& v) {
        if (ReadText(doc, section, key, buffer) != v)
            doc.Set(section, key, TextValue(v));
    };
    const auto text = [&textOf](const char* section, const std::string& key, const std::string& v) {
        textOf(section, key, 0, v);
    };
    const auto num = [&doc](const char* section, const std::string& key, int32_t v) {
        const auto current = doc.Get(section, key);
        if (!current || DecodeStructInt(*current) != v)
            doc.Set(section, key, EncodeStructInt(v));
    };

    textOf(kSettings, "IP address", 20, s.APP_IPAddr);
    textOf(kSettings, "Site Name", 37, s.Site_Name);
    textOf(kSettings, "APP_HD_Buffer_Directory", 260, s.APP_HD_Buffer_Directory);
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
    textOf(kSaver, "File Extension", 4, s.File_Extension.substr(0, 3));
    textOf(kSaver, "Distributor ASCII Code", 3, s.Distributor_ASCII_Code.substr(0, 2));
    for (int t = 0; t < kCallTypeCount; ++t)
        num(kFilter, Indexed("T", t), s.T[t]);
    num(kFilter, "SCFilterTRK_AND", s.SCFilterTRK_AND);
    num(kFilter, "SCFilter_USE", s.SCFilter_USE);
    textOf(kFilter, "SCCallingSequence", 70, s.SCCallingSequence);
    textOf(kFilter, "SCCalledSequence", 70, s.SCCalledSequence);
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
    // The silence alarm's key is written once it is set (0 too: off, whatever a program's own
    // default): a file of a user who never set it keeps the original program's keys and nothing
    // else.
    if (s.NoRecordsAlarmMinutes != AppSettings::kUnsetMinutes ||
        doc.Get(kSettings, "NoRecordsAlarmMinutes"))
        num(kSettings, "NoRecordsAlarmMinutes", s.NoRecordsAlarmMinutes);
    for (int i = 0; i < 4; ++i)
        textOf(kSerialPorts, ComPortName(i), 260, s.Serial_Ports[static_cast<size_t>(i)]);
    // Like the silence alarm: a file gets the section once a database is used.
    for (const auto& [key, value] : {std::pair{"Connection", &s.Database_Connection},
                                     std::pair{"Site", &s.Database_Site}}) {
        if (!value->empty() || doc.Get(kDatabase, key))
            text(kDatabase, key, *value);
    }
    if (s.Database_Timeout != AppSettings::kDefaultDatabaseTimeout || doc.Get(kDatabase, "Timeout"))
        num(kDatabase, "Timeout", s.Database_Timeout);
    // The alerts' keys are written once set, or once in the file.
    for (const auto& [key, value, fallback] :
         {std::tuple{"Command", &s.Alerts_Command, ""}, std::tuple{"MailTo", &s.Alerts_MailTo, ""},
          std::tuple{"MailFrom", &s.Alerts_MailFrom, ""},
          std::tuple{"Sendmail", &s.Alerts_Sendmail, AppSettings::kDefaultSendmail},
          std::tuple{"Webhook", &s.Alerts_Webhook, ""}}) {
        if (*value != fallback || doc.Get(kAlerts, key))
            text(kAlerts, key, *value);
    }
    for (const auto& [key, value, fallback] :
         {std::tuple{"HoldBackMinutes", s.Alerts_HoldBackMinutes,
                     AppSettings::kDefaultHoldBackMinutes},
          std::tuple{"LinkDownMinutes", s.Alerts_LinkDownMinutes,
                     AppSettings::kDefaultLinkDownMinutes},
          std::tuple{"DatabaseAwayMinutes", s.Alerts_DatabaseAwayMinutes,
                     AppSettings::kDefaultDatabaseAwayMinutes},
          std::tuple{"Timeout", s.Alerts_Timeout, AppSettings::kDefaultAlertTimeout}}) {
        if (value != fallback || doc.Get(kAlerts, key))
            num(kAlerts, key, value);
    }

    return doc.Save(iniPath_, flush_, ownership_) ? 1 : 0;
}

int SettingsStore::ReadColumnWidths(std::array<int32_t, kColumnCount>& widths) const {
    IniDocument doc;
    doc.Load(iniPath_);
    KeyReader r(doc, nullptr);
    std::array<int32_t, kColumnCount> read{};
    for (int i = 0; i < kColumnCount; ++i)
        r.Int(kColumns, Indexed("Col", i), read[i]);
    if (!r.Ok())
        return 0;
    widths = read;
    return 1;
}

}  // namespace velk
