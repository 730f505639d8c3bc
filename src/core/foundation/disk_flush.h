#pragma once

#include <filesystem>

namespace velk {

// Makes what was written durable before the program goes on: the data of a file, or the entries
// (a rename) of a directory, reach the disk.
class DiskFlush {
public:
    virtual ~DiskFlush() = default;
    virtual bool Flush(const std::filesystem::path& fileOrDirectory) = 0;
};

}  // namespace velk
