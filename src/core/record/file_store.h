#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    // True when the file's last bytes are these: a record appended before the program stopped.
    virtual bool EndsWith(const std::filesystem::path& path, std::string_view bytes) = 0;

    // Until this call, what Append and MoveNoReplace did may still sit in the system's memory, and
    // a power failure would take it back. This makes it durable: the data of every file appended
    // to since the last call, and the directories in which files were created or moved. False
    // when one of them failed (ErrorText says which); they are all tried.
    virtual bool FlushWritten() = 0;

    // A store may keep the appends made while they are held in memory (a bulk import's batch);
    // WritePending writes them, false when that failed. A store that holds nothing writes every
    // append at once.
    virtual void HoldAppends(bool hold) { (void)hold; }
    virtual bool WritePending() { return true; }

    // The program's own small state files, rewritten in place: the content, up to atMost bytes
    // (false when the file is missing or cannot be read), a write at an offset (the file is
    // created when missing), and a flush of one such file, its directory entry included.
    virtual bool ReadWhole(const std::filesystem::path& path, std::string& content,
                           size_t atMost) = 0;
    virtual bool WriteAt(const std::filesystem::path& path, uint64_t offset,
                         std::string_view bytes) = 0;
    virtual bool Flush(const std::filesystem::path& path) = 0;
    // The names of the regular files in a directory; false when it cannot be read.
    virtual bool ListFiles(const std::filesystem::path& directory, std::vector<std::string>& names) {
        (void)directory;
        names.clear();
        return false;
    }
    // The file's size and its last bytes, at most atMost of them; false when it cannot be read.
    virtual bool ReadTail(const std::filesystem::path& path, size_t atMost, std::string& tail,
                          uint64_t& size) {
        if (!ReadWhole(path, tail, static_cast<size_t>(-1)))
            return false;
        size = tail.size();
        if (tail.size() > atMost)
            tail.erase(0, tail.size() - atMost);
        return true;
    }
    // Cuts a record file back to its first `length` bytes and makes that durable; false when
    // either failed.
    virtual bool CutTo(const std::filesystem::path& path, uint64_t length) {
        (void)path;
        (void)length;
        return false;
    }
    // True when both names are of one file (the same device and inode).
    virtual bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
        (void)a;
        (void)b;
        return false;
    }
    // Removes a file's name and makes that durable (its directory flushed).
    virtual bool RemoveName(const std::filesystem::path& path) {
        (void)path;
        return false;
    }
    // The bytes free for this program on the file system of the path; none when unknown.
    virtual std::optional<uint64_t> FreeBytes(const std::filesystem::path& path) {
        (void)path;
        return std::nullopt;
    }
    // What recovery by position needs: a file's length (0 when it is missing), bytes read at an
    // offset (false when fewer are there), a file cut back to a length (its data flushed by the
    // next FlushWritten), and what names a directory or file as itself ("device:inode"; empty
    // when it cannot be told).
    virtual uint64_t Length(const std::filesystem::path& path) = 0;
    virtual bool ReadAt(const std::filesystem::path& path, uint64_t offset, size_t n,
                        std::string& bytes) = 0;
    virtual bool CutBack(const std::filesystem::path& path, uint64_t length) = 0;
    virtual std::string Identity(const std::filesystem::path& path) = 0;
    // A small file of the program's own for other programs to read, written whole into a
    // temporary file beside it that then takes its place: a reader finds the old content or the
    // new one, never a part. Not flushed (a power failure may leave the old one, or none).
    virtual bool Replace(const std::filesystem::path& path, std::string_view content) = 0;
    // Why the last operation failed, for the log.
    virtual std::string ErrorText() const { return {}; }
};

}  // namespace velk
