#include "core/app/startup.h"

#include <cctype>
#include <system_error>

#include "core/decode/last_calls_ring.h"

namespace velk {

OutputDirectories OutputDirectories::Under(const std::filesystem::path& base) {
    return {base / "Bill",    base / "Bill_Backup",     base / "Trf",
            base / "Buffers", base / "Buffers" / "Raw", base / "Buffers" / "CSV"};
}

void MakeSaveDir(const OutputDirectories& d) {
    for (const auto* p :
         {&d.bill, &d.billBackup, &d.trf, &d.buffers, &d.buffersRaw, &d.buffersCsv}) {
        std::error_code ec;
        std::filesystem::create_directory(*p, ec);
    }
}

std::filesystem::path BaseDirectoryFrom(const std::filesystem::path& current) {
    std::string text = current.string();
    if (!text.empty() && std::isalpha(static_cast<unsigned char>(text[0]))) {
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    }
    return text;
}

Startup::Startup(InstanceLock& lock, OperatorPrompt& prompt, const SettingsStore& store,
                 AppSettings& settings, LastCallsRing& ring)
    : lock_(lock), prompt_(prompt), store_(store), settings_(settings), ring_(ring) {}

bool Startup::Run() {
    if (!lock_.TryAcquire()) {
        prompt_.Message(kAlreadyRunning);
        return false;
    }
    settingsComplete_ = store_.ReadIniFile(settings_) == 1;
    if (!settingsComplete_)
        prompt_.Message(kFirstRun);
    MakeSaveDir(OutputDirectories::Under(store_.BaseDirectory()));
    ring_.ClearLastCallsRing();
    return true;
}

}  // namespace velk

namespace velk {

std::string TrayTipText(const std::filesystem::path& baseDirectory) {
    const std::string tip = (baseDirectory / "VELK").string();
    return tip.size() > 62 ? "..." + tip.substr(tip.size() - 60) : tip;
}

}  // namespace velk
