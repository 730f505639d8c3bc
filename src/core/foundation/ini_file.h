#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/disk_flush.h"
#include "core/foundation/file_ownership.h"

namespace velk {

// Encodes a 32-bit integer in the checked "struct" form of the settings file: the four bytes in
// memory order (little-endian) as upper-case hex pairs, then the pair of their sum modulo 256.
std::string EncodeStructInt(int32_t value);

// The inverse of EncodeStructInt. A value of the wrong length, with a character that is not a
// hex digit or with a wrong checksum is unreadable.
std::optional<int32_t> DecodeStructInt(std::string_view text);

// An INI file held in memory. Lines the program does not touch (comments, unknown keys, blank
// lines) are kept as they were; a value that is set replaces its line in place, a new key goes
// to the end of its section and a new section to the end of the file. Section and key names
// match without regard to case, as the original profile functions did.
class IniDocument {
public:
    enum class LoadResult { Loaded, Missing, Unreadable };
    // Reads the file (through a symbolic link); the document is empty unless it was loaded. A
    // file that exists but cannot be read is Unreadable, never Missing.
    LoadResult Load(const std::filesystem::path& path);
    // A leading UTF-8 byte-order mark is skipped and written back.
    void Parse(std::string_view content);

    // The value of a key, trimmed of blanks and of one pair of enclosing quotes; nullopt when the
    // section or key is absent.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    void Set(std::string_view section, std::string_view key, std::string_view value);

    // The whole document with CR LF line ends.
    std::string Serialize() const;
    // Writes the document through a temporary file and a rename, so that a failed write never
    // leaves a half-written settings file behind: the new file is flushed to the disk before it
    // replaces the old one, keeps the old one's permissions, and a symbolic link keeps pointing
    // where it points (its target is replaced). A file without write permission (for anybody, or
    // for this user) is left alone. With ownership the new file also keeps the old one's owner
    // and group (a new file takes its directory's). False when nothing was written.
    bool Save(const std::filesystem::path& path, DiskFlush* flush = nullptr,
              FileOwnership* ownership = nullptr) const;

private:
    struct Section {
        std::string name;  // empty for the lines before the first section header
        std::string header;
        std::vector<std::string> lines;
    };
    Section* FindSection(std::string_view name);
    const Section* FindSection(std::string_view name) const;

    std::vector<Section> sections_{Section{}};
    bool byteOrderMark_ = false;
};

}  // namespace velk
