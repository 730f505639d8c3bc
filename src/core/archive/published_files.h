#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/archive/followed_files.h"

namespace velk {

// The record files as far as their writer has said they are stored: a reader on another thread
// never reads the part of a file a writer is still appending, nor a batch that may yet be taken
// back out of it (its other files refused it). A file the writer has not named is not there.
class PublishedFiles : public FollowedFiles {
public:
    explicit PublishedFiles(FollowedFiles& files) : files_(files) {}

    // The writer (any thread): the files hold these lengths now, whole records up to each.
    void Publish(std::map<std::string, uint64_t> lengths);
    // The reader: the files whose length is not what it was at the last call (new ones too).
    std::vector<std::string> TakeChanged();

    std::vector<std::string> Names() override;
    std::unique_ptr<FollowedFile> Open(const std::string& name) override;

private:
    FollowedFiles& files_;
    std::mutex mutex_;
    std::map<std::string, uint64_t> lengths_;
    std::set<std::string> changed_;  // since the last TakeChanged
};

// The length of every file of `files` as it is now.
std::map<std::string, uint64_t> LengthsOf(FollowedFiles& files);

}  // namespace velk
