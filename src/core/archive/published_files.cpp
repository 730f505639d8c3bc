#include "core/archive/published_files.h"

#include <algorithm>
#include <utility>

namespace velk {
namespace {

// A file read no further than its published length.
class Published : public FollowedFile {
public:
    Published(std::unique_ptr<FollowedFile> file, uint64_t length)
        : file_(std::move(file)), size_(std::min(file_->Size(), length)) {}
    FileIdentity Identity() const override { return file_->Identity(); }
    uint64_t Size() const override { return size_; }
    size_t ReadAt(uint64_t offset, uint8_t* to, size_t n) override {
        if (offset >= size_)
            return 0;
        return file_->ReadAt(offset, to, static_cast<size_t>(std::min<uint64_t>(n, size_ - offset)));
    }

private:
    std::unique_ptr<FollowedFile> file_;
    uint64_t size_;
};

}  // namespace

void PublishedFiles::Publish(std::map<std::string, uint64_t> lengths) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, length] : lengths) {
        const auto was = lengths_.find(name);
        if (was == lengths_.end() || was->second != length)
            changed_.insert(name);
    }
    lengths_ = std::move(lengths);
}

std::vector<std::string> PublishedFiles::TakeChanged() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names(changed_.begin(), changed_.end());
    changed_.clear();
    return names;
}

std::vector<std::string> PublishedFiles::Names() {
    std::vector<std::string> names;
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, length] : lengths_)
        names.push_back(name);
    return names;
}

std::unique_ptr<FollowedFile> PublishedFiles::Open(const std::string& name) {
    uint64_t length = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto it = lengths_.find(name);
        if (it == lengths_.end())
            return nullptr;
        length = it->second;
    }
    auto file = files_.Open(name);
    if (!file)
        return nullptr;
    return std::make_unique<Published>(std::move(file), length);
}

std::map<std::string, uint64_t> LengthsOf(FollowedFiles& files) {
    std::map<std::string, uint64_t> lengths;
    for (const std::string& name : files.Names()) {
        if (const auto file = files.Open(name))
            lengths[name] = file->Size();
    }
    return lengths;
}

}  // namespace velk
