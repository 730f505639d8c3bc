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

bool ChosenBaseDirectory(const std::optional<std::string>& dir, const char* home,
                         std::filesystem::path& base, std::string& error, bool make) {
    if (!dir)
        return CurrentBaseDirectory(base, error);
    const auto fail = [&](const std::string& reason) {
        error = kNoBaseDirectory + *dir + ":\n" + reason + ".";
        return false;
    };
    if (dir->empty())
        return fail("An empty name is no directory");
    std::filesystem::path path = *dir;
    if (*dir == "~" || dir->rfind("~/", 0) == 0) {
        if (home == nullptr || *home == '\0')
            return fail("The home directory is not known (HOME is not set)");
        path = std::filesystem::path(home) / dir->substr(dir->size() > 1 ? 2 : 1);
    }
    std::error_code ec;
    path = std::filesystem::absolute(path, ec);
    if (!ec) {
        const auto type = std::filesystem::status(path, ec).type();
        if (type == std::filesystem::file_type::not_found && !make) {
            return fail("There is no such directory");
        } else if (type == std::filesystem::file_type::not_found) {
            // Only the last part is made: a mistyped parent is reported, not created.
            ec.clear();
            std::filesystem::create_directory(path, ec);
        } else if (!ec && type != std::filesystem::file_type::directory) {
            return fail("It is not a directory");
        }
    }
    if (!ec)
        path = std::filesystem::canonical(path, ec);
    if (ec)
        return fail(ec.message());
    base = BaseDirectoryFrom(path);
    return true;
}

std::string TrayTipText(const std::filesystem::path& baseDirectory) {
    const std::string tip = (baseDirectory / "VELK").string();
    return tip.size() > 62 ? "..." + tip.substr(tip.size() - 60) : tip;
}

}  // namespace velk
