#pragma once

#include <filesystem>
#include <string>

#include "core/app/app_settings.h"
#include "core/app/instance_lock.h"
#include "core/app/operator_prompt.h"
#include "core/app/settings_store.h"

namespace velk {

class LastCallsRing;

// The output directories beside the settings file.
struct OutputDirectories {
    std::filesystem::path bill, billBackup, trf, buffers, buffersRaw, buffersCsv;
    static OutputDirectories Under(const std::filesystem::path& base);
};

// Creates the output directories in order; one that exists or cannot be created is not reported.
void MakeSaveDir(const OutputDirectories& dirs);

// The base directory from the current directory: a leading drive letter is upper-cased.
std::filesystem::path BaseDirectoryFrom(const std::filesystem::path& current);

inline constexpr const char* kAlreadyRunning = "VELK already run\nin this directory!";
inline constexpr const char* kFirstRun =
    "Probably it is your first VELK execution\n or new value(s) is(are) added to the VELK!";

// The start-up sequence shared by the desktop program and the headless collector: instance lock,
// settings, output directories, empty ring.
class Startup {
public:
    Startup(InstanceLock& lock, OperatorPrompt& prompt, const SettingsStore& store,
            AppSettings& settings, LastCallsRing& ring);

    // False when another instance runs in this directory (the operator was told).
    bool Run();
    bool SettingsComplete() const { return settingsComplete_; }

private:
    InstanceLock& lock_;
    OperatorPrompt& prompt_;
    const SettingsStore& store_;
    AppSettings& settings_;
    LastCallsRing& ring_;
    bool settingsComplete_ = false;
};

}  // namespace velk

namespace velk {

// The notification-area tip: the base directory, a separator and "VELK"; over 62 characters it
// is "..." followed by its last 60.
std::string TrayTipText(const std::filesystem::path& baseDirectory);

}  // namespace velk
