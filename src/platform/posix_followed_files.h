#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/archive/followed_files.h"

namespace velk {

// The regular files of a directory whose names end in an extension (the raw files of Bill), or
// files named by their paths (an empty directory): what the record index reads.
class PosixFollowedFiles : public FollowedFiles {
public:
    PosixFollowedFiles(std::filesystem::path directory, std::string extension)
        : directory_(std::move(directory)), extension_(std::move(extension)) {}
    // Files named by their paths, listed by nobody.
    PosixFollowedFiles() = default;

    std::vector<std::string> Names() override;
    std::unique_ptr<FollowedFile> Open(const std::string& name) override;

private:
    std::filesystem::path directory_;
    std::string extension_;
};

}  // namespace velk
