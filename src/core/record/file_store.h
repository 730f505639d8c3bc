#pragma once

#include <filesystem>
#include <string_view>

namespace velk {

// The file operations of the recorders. Every append opens the file, writes under a writer's lock
// (other programs may read, not write) and closes it again.
class FileStore {
public:
    virtual ~FileStore() = default;
    virtual bool Exists(const std::filesystem::path& path) = 0;
    // Creates an empty file when there is none; true when this call created it.
    virtual bool CreateIfMissing(const std::filesystem::path& path) = 0;
    // Appends the bytes with one write; false when the file could not be opened or is being
    // written by another program.
    virtual bool Append(const std::filesystem::path& path, std::string_view bytes) = 0;
    // True when the file can be opened for writing with no other program writing it.
    virtual bool NobodyWriting(const std::filesystem::path& path) = 0;
    // Moves a file in one step; never replaces an existing target.
    virtual bool MoveNoReplace(const std::filesystem::path& from,
                               const std::filesystem::path& to) = 0;
};

}  // namespace velk
