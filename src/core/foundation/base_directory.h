#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velk {

// The output directories beside the settings file, all under the base directory.
struct OutputDirectories {
    std::filesystem::path bill, billBackup, trf, buffers, buffersRaw, buffersCsv;
    static OutputDirectories Under(const std::filesystem::path& base);
};

// Creates the output directories in order; one that exists or cannot be created is not reported.
void MakeSaveDir(const OutputDirectories& dirs);

// The base directory from the current directory: a leading drive letter is upper-cased.
std::filesystem::path BaseDirectoryFrom(const std::filesystem::path& current);

// The base directory of this process; false, with the reason, when the current directory cannot
// be read (it was removed, or may not be searched).
bool CurrentBaseDirectory(std::filesystem::path& base, std::string& error);
inline constexpr const char* kNoWorkingDirectory = "VELK cannot use its working directory:\n";

// The base directory of this process: the one given with --dir, or else the current directory.
// A given one is taken relative to the current directory, with "~" or a leading "~/" meaning the
// home directory (a desktop entry, which no shell reads, says "~/VELK"), and is created when it
// does not exist yet (its parent must) unless `make` is false: a program that only reads must
// not leave an empty directory behind a mistyped name. False, with the reason, when it cannot
// be made or used.
bool ChosenBaseDirectory(const std::optional<std::string>& dir, const char* home,
                         std::filesystem::path& base, std::string& error, bool make = true);
inline constexpr const char* kNoBaseDirectory = "VELK cannot use its base directory ";

// The notification-area tip: the base directory, a separator and "VELK"; over 62 characters it
// is "..." followed by its last 60.
std::string TrayTipText(const std::filesystem::path& baseDirectory);

}  // namespace velk
