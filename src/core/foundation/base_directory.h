#pragma once

#include <filesystem>
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

// The notification-area tip: the base directory, a separator and "VELK"; over 62 characters it
// is "..." followed by its last 60.
std::string TrayTipText(const std::filesystem::path& baseDirectory);

}  // namespace velk
