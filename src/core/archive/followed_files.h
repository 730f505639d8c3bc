#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velk {

// Which file a name stands for: a file put in place of another under the same name (restored,
// truncated and written anew) is another file.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// One record file opened for reading, its size taken when it was opened: what is appended later
// is read the next time.
class FollowedFile {
public:
    virtual ~FollowedFile() = default;
    virtual FileIdentity Identity() const = 0;
    virtual uint64_t Size() const = 0;
    // Up to n bytes from offset (never past Size); 0 at the end or at a read error.
    virtual size_t ReadAt(uint64_t offset, uint8_t* to, size_t n) = 0;
};

// The record files the index is a view of, by name: the raw files of Bill.
class FollowedFiles {
public:
    virtual ~FollowedFiles() = default;
    // Every file's name, in order.
    virtual std::vector<std::string> Names() = 0;
    // Null when the file is not there (or is not a regular file).
    virtual std::unique_ptr<FollowedFile> Open(const std::string& name) = 0;
};

// How far the index has read a file, kept in the index in the same transaction as the rows read
// from it. While `checking`, the rows after `position` may be in the index already (it was
// built from another copy of the file, or before files had marks): each is looked for first,
// up to the file's end and, when the file was found shorter than its mark (a power failure took
// its last appends back, which may come again), up to `checkUntil`.
struct FileMark {
    std::string file;
    FileIdentity identity;
    uint64_t position = 0;
    bool checking = false;
    uint64_t checkUntil = 0;
    bool operator==(const FileMark&) const = default;
};

}  // namespace velk
