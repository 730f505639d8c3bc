#include "platform/posix_file_store.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velk {
namespace {

// An open file with the writer's lock, closed (and unlocked) on leaving the scope.
class LockedFile {
public:
    explicit LockedFile(const std::filesystem::path& path) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~LockedFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace

bool PosixFileStore::Exists(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool PosixFileStore::CreateIfMissing(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool PosixFileStore::Append(const std::filesystem::path& path, std::string_view bytes) {
    LockedFile file(path);
    if (!file.Ok())
        return false;
    // One write for the whole record: with O_APPEND a reader sees all of it or none of it.
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(file.Fd(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return true;  // opened: a failed write is not reported
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool PosixFileStore::NobodyWriting(const std::filesystem::path& path) {
    LockedFile file(path);
    return file.Ok();
}

bool PosixFileStore::MoveNoReplace(const std::filesystem::path& from,
                                   const std::filesystem::path& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace velk
