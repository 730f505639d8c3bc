#include "core/app/startup.h"

#include "core/decode/last_calls_ring.h"

namespace velk {

std::string RecordFilesNote(const AppSettings& settings) {
    if (settings.RawSave == 1 || settings.SaveToFile == 1)
        return {};
    if (settings.DoBufferPacked != 0 || settings.DoBufferDecoded != 0)
        return "no daily record files are written, only the buffers: RawSave and SaveToFile are "
               "off";
    return "no record files are written: RawSave and SaveToFile are off";
}

Startup::Startup(InstanceLock& lock, OperatorPrompt& prompt, const SettingsStore& store,
                 AppSettings& settings, LastCallsRing& ring)
    : lock_(lock), prompt_(prompt), store_(store), settings_(settings), ring_(ring) {}

bool Startup::Run(bool tellFirstRun) {
    switch (lock_.TryAcquire()) {
        case LockResult::Acquired:
            break;
        case LockResult::HeldElsewhere:
            prompt_.Message(kAlreadyRunning);
            return false;
        case LockResult::Unavailable:
            // Two programs in one directory would write the same files: never run unguarded.
            prompt_.Message(kNoInstanceLock + lock_.UnavailableText());
            return false;
    }
    settingsComplete_ = store_.ReadIniFile(settings_) == 1;
    if (!settingsComplete_ && tellFirstRun)
        prompt_.Message(kFirstRun);
    MakeSaveDir(OutputDirectories::Under(store_.BaseDirectory()));
    ring_.ClearLastCallsRing();
    return true;
}

}  // namespace velk
