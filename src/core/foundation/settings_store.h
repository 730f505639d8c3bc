#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "core/foundation/app_settings.h"
#include "core/foundation/disk_flush.h"
#include "core/foundation/file_ownership.h"

namespace velk {

// What ReadIniFile met besides the values: "Section/Key" names.
struct SettingsReadReport {
    bool fileMissing = false;
    bool fileUnreadable = false;          // the file exists but cannot be read
    std::vector<std::string> missing;     // keys that count and are absent
    std::vector<std::string> unreadable;  // keys present with a value that cannot be read
};

// Reads and writes VELK.INI in the base directory. A file that exists but cannot be read is never
// replaced; what the operator wrote stays as written wherever the value is unchanged.
class SettingsStore {
public:
    // flush makes a written file durable before it replaces the old one (none: no flush);
    // ownership keeps the old one's owner and group (none: the file is this user's).
    explicit SettingsStore(std::filesystem::path baseDirectory, DiskFlush* flush = nullptr,
                           FileOwnership* ownership = nullptr);

    const std::filesystem::path& BaseDirectory() const { return base_; }
    const std::filesystem::path& IniPath() const { return iniPath_; }

    // Fills the settings from the file. 1 when every key that counts was present and readable,
    // else 0; a missing or unreadable key leaves its field as it was (the built-in default).
    int ReadIniFile(AppSettings& settings, SettingsReadReport* report = nullptr) const;

    // Writes every key. 1 when the file was written, else 0 (the settings are not touched).
    int WriteIniFile(const AppSettings& settings) const;

    // Reads Col0..Col50 of [List1ColWidth]; 1 only when all 51 were readable.
    int ReadColumnWidths(std::array<int32_t, kColumnCount>& widths) const;

private:
    std::filesystem::path base_;
    std::filesystem::path iniPath_;
    DiskFlush* flush_ = nullptr;
    FileOwnership* ownership_ = nullptr;
};

}  // namespace velk
