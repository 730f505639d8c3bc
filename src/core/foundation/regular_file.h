#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

namespace velk {

// A file opened for reading only when it is a regular file: a pipe or a device could hold the
// reader for ever, or never end. Its length is taken when it is opened.
class RegularFile {
public:
    explicit RegularFile(const std::filesystem::path& path);

    bool Ok() const { return ok_; }
    uint64_t Length() const { return length_; }
    // Reads up to n bytes; fewer at the end or at a read error.
    size_t Read(char* to, size_t n);
    std::istream& Stream() { return in_; }

private:
    std::ifstream in_;
    uint64_t length_ = 0;
    bool ok_ = false;
};

}  // namespace velk
