#pragma once

#include <filesystem>
#include <string>

#include "core/foundation/app_settings.h"
#include "core/foundation/base_directory.h"
#include "core/foundation/instance_lock.h"
#include "core/foundation/operator_prompt.h"
#include "core/foundation/settings_store.h"

namespace velk {

class LastCallsRing;

inline constexpr const char* kAlreadyRunning = "VELK already run\nin this directory!";
inline constexpr const char* kNoInstanceLock =
    "VELK cannot lock this directory against a second VELK, so it does not start:\n";
inline constexpr const char* kFirstRun =
    "Probably it is your first VELK execution\n or new value(s) is(are) added to the VELK!";

// What the settings say about the record files when no daily file in Bill will get a call record
// (empty when one will): said at start and kept in the status, for calls that only show on the
// screen and in the index would never reach billing.
std::string RecordFilesNote(const AppSettings& settings);

// The start-up sequence shared by the desktop program and the headless collector: instance lock,
// settings, output directories, empty ring.
class Startup {
public:
    Startup(InstanceLock& lock, OperatorPrompt& prompt, const SettingsStore& store,
            AppSettings& settings, LastCallsRing& ring);

    // False when another instance runs in this directory, or when no lock can be taken (the
    // operator was told). Settings incomplete (a first start) are told of too, unless not wanted.
    bool Run(bool tellFirstRun = true);
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
