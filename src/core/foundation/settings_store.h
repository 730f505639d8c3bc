#pragma once

#include <array>
#include <filesystem>

#include "core/foundation/app_settings.h"

namespace velk {

// Reads and writes VELK.INI in the base directory.
class SettingsStore {
public:
    explicit SettingsStore(std::filesystem::path baseDirectory);

    const std::filesystem::path& BaseDirectory() const { return base_; }
    const std::filesystem::path& IniPath() const { return iniPath_; }

    // Fills the settings from the file. 1 when every key that counts was present and readable,
    // else 0; a missing or unreadable key leaves its field as it was (the built-in default).
    int ReadIniFile(AppSettings& settings) const;

    // Writes every key. 1 when the file was written, else 0 (the settings are not touched).
    int WriteIniFile(const AppSettings& settings) const;

    // Reads Col0..Col50 of [List1ColWidth]; 1 only when all 51 were readable.
    int ReadColumnWidths(std::array<int32_t, kColumnCount>& widths) const;

private:
    std::filesystem::path base_;
    std::filesystem::path iniPath_;
};

}  // namespace velk
