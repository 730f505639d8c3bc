#include "platform/posix_followed_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velk {
namespace {

class PosixFollowedFile : public FollowedFile {
public:
    PosixFollowedFile(int fd, const struct stat& st)
        : fd_(fd),
          identity_{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)},
          size_(static_cast<uint64_t>(st.st_size)) {}
    ~PosixFollowedFile() override { ::close(fd_); }
    PosixFollowedFile(const PosixFollowedFile&) = delete;
    PosixFollowedFile& operator=(const PosixFollowedFile&) = delete;

    FileIdentity Identity() const override { return identity_; }
    uint64_t Size() const override { return size_; }
    size_t ReadAt(uint64_t offset, uint8_t* to, size_t n) override {
        if (offset >= size_)
            return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
        for (;;) {
            const ssize_t r = ::pread(fd_, to, n, static_cast<off_t>(offset));
            if (r < 0 && errno == EINTR)
                continue;
            return r > 0 ? static_cast<size_t>(r) : 0;
        }
    }

private:
    int fd_;
    FileIdentity identity_;
    uint64_t size_;
};

}  // namespace

std::vector<std::string> PosixFollowedFiles::Names() {
    std::vector<std::string> names;
    if (directory_.empty())
        return names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(directory_, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() > extension_.size() &&
            name.compare(name.size() - extension_.size(), extension_.size(), extension_) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::unique_ptr<FollowedFile> PosixFollowedFiles::Open(const std::string& name) {
    const std::filesystem::path path = directory_.empty() ? std::filesystem::path(name)
                                                          : directory_ / name;
    // Without waiting, should a pipe have taken the file's place.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixFollowedFile>(fd, st);
}

}  // namespace velk
