#include "core/foundation/base_directory.h"

#include <cctype>
#include <system_error>

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

bool CurrentBaseDirectory(std::filesystem::path& base, std::string& error) {
    std::error_code ec;
    const std::filesystem::path current = std::filesystem::current_path(ec);
    if (ec) {
        error = kNoWorkingDirectory + ec.message() + ".";
        return false;
    }
    base = BaseDirectoryFrom(current);
    return true;
}

std::string TrayTipText(const std::filesystem::path& baseDirectory) {
    const std::string tip = (baseDirectory / "VELK").string();
    return tip.size() > 62 ? "..." + tip.substr(tip.size() - 60) : tip;
}

}  // namespace velk
