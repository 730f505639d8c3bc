#pragma once

#include "core/record/file_store.h"

namespace velk {

// Recorder files on a POSIX file system: appends under an advisory write lock (flock), one
// write() per record, moves with renameat2(RENAME_NOREPLACE).
class PosixFileStore : public FileStore {
public:
    bool Exists(const std::filesystem::path& path) override;
    bool CreateIfMissing(const std::filesystem::path& path) override;
    bool Append(const std::filesystem::path& path, std::string_view bytes) override;
    bool NobodyWriting(const std::filesystem::path& path) override;
    bool MoveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) override;
};

}  // namespace velk
