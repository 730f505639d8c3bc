#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace velk {

enum class AppendResult {
    Written,
    CannotOpen,  // no such file, or it may not be written
    Busy,        // another program kept writing it longer than the append waits
    Failed,      // opened, but the write itself failed (a full disk)
};

// The file operations of the recorders. Every append opens the file, writes under a lock that
// keeps other writers out (readers may read) and closes it again.
class FileStore {
public:
    virtual ~FileStore() = default;
    virtual bool Exists(const std::filesystem::path& path) = 0;
    // Creates an empty file when there is none; true when this call created it.
    virtual bool CreateIfMissing(const std::filesystem::path& path) = 0;
    // Appends the bytes with one write, creating the file when it is missing; a new (empty) file
    // gets headerIfNew's line first, in the same write. Another writer is waited for a bounded
    // time.
    using Header = std::function<std::string()>;
    virtual AppendResult Append(const std::filesystem::path& path, std::string_view bytes,
                                const Header& headerIfNew = nullptr) = 0;
    // True when the file can be opened for writing with no other program writing it.
    virtual bool NobodyWriting(const std::filesystem::path& path) = 0;
    // Moves a file in one step; never replaces an existing target.
    virtual bool MoveNoReplace(const std::filesystem::path& from,
                               const std::filesystem::path& to) = 0;
    // Why the last operation failed, for the log.
    virtual std::string ErrorText() const { return {}; }
};

}  // namespace velk
