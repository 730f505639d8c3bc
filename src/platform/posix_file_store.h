#pragma once

#include <chrono>
#include <set>
#include <unordered_set>
#include <string>
#include <vector>

#include "core/foundation/disk_flush.h"
#include "core/foundation/file_ownership.h"
#include "core/record/file_store.h"

namespace velk {

// Recorder files on a POSIX file system: appends under an advisory lock (flock), one write() per
// record; moves with renameat2(RENAME_NOREPLACE), or link() and unlink() where the file system
// refuses that flag. FlushWritten makes them durable with fdatasync() of every file appended to
// and fsync() of every directory whose entries changed.
//
// An append takes the exclusive lock; when readers hold the file (shared locks, such as a
// pick-up program copying it) it appends under a shared lock of its own, which still keeps other
// writers out. Only another writer makes it wait, up to lockWait; after that the record is not
// written to this file (the append reports Busy; the other files still get it).
class PosixFileStore : public FileStore {
public:
    using Rename2 = int (*)(int, const char*, int, const char*, unsigned);

    explicit PosixFileStore(std::chrono::milliseconds lockWait = std::chrono::seconds(2),
                            Rename2 rename2 = nullptr);

    bool Exists(const std::filesystem::path& path) override;
    bool CreateIfMissing(const std::filesystem::path& path) override;
    AppendResult Append(const std::filesystem::path& path, std::string_view bytes,
                        const Header& headerIfNew = nullptr) override;
    bool NobodyWriting(const std::filesystem::path& path) override;
    bool MoveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) override;
    bool EndsWith(const std::filesystem::path& path, std::string_view bytes) override;
    bool FlushWritten() override;
    bool ReadWhole(const std::filesystem::path& path, std::string& content, size_t atMost) override;
    bool WriteAt(const std::filesystem::path& path, uint64_t offset,
                 std::string_view bytes) override;
    bool Flush(const std::filesystem::path& path) override;
    bool ListFiles(const std::filesystem::path& directory,
                   std::vector<std::string>& names) override;
    bool ReadTail(const std::filesystem::path& path, size_t atMost, std::string& tail,
                  uint64_t& size) override;
    bool CutTo(const std::filesystem::path& path, uint64_t length) override;
    std::optional<uint64_t> FreeBytes(const std::filesystem::path& path) override;
    bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) override;
    bool RemoveName(const std::filesystem::path& path) override;
    uint64_t Length(const std::filesystem::path& path) override;
    bool ReadAt(const std::filesystem::path& path, uint64_t offset, size_t n,
                std::string& bytes) override;
    bool CutBack(const std::filesystem::path& path, uint64_t length) override;
    std::string Identity(const std::filesystem::path& path) override;
    bool Replace(const std::filesystem::path& path, std::string_view content) override;
    std::string ErrorText() const override { return error_; }

private:
    void Moved(const std::filesystem::path& from, const std::filesystem::path& to);
    // fdatasync() of a file, fsync() of a directory; false with error_ set (unless the path is
    // gone and that is fine).
    bool Sync(const std::filesystem::path& path, bool directory, bool goneOk);

    std::chrono::milliseconds lockWait_;
    Rename2 rename2_;
    std::string error_;
    std::unordered_set<std::string> written_;      // appended to since the last FlushWritten
    std::unordered_set<std::string> directories_;  // with a file created or moved since then
    std::set<std::filesystem::path> newStateFiles_;  // created by WriteAt, not yet flushed
};

}  // namespace velk

namespace velk {

// fsync() of a file or a directory.
class PosixDiskFlush : public DiskFlush {
public:
    bool Flush(const std::filesystem::path& fileOrDirectory) override;
};

// chown() and chmod() after the file or directory it stands in for.
class PosixFileOwnership : public FileOwnership {
public:
    bool Take(const std::filesystem::path& newFile, const std::filesystem::path& like) override;
};

}  // namespace velk
