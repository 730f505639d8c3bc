#include "platform/posix_file_store.h"

#include <cerrno>
#include <cstring>
#include <thread>
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

PosixFileStore::PosixFileStore(std::chrono::milliseconds lockWait, Rename2 rename2)
    : lockWait_(lockWait), rename2_(rename2) {}

AppendResult PosixFileStore::Append(const std::filesystem::path& path, std::string_view bytes,
                                    const Header& headerIfNew) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return AppendResult::CannotOpen;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // Readers may hold shared locks: a shared lock of our own still keeps writers out. Only an
    // exclusive lock, another writer's, is waited for.
    const auto deadline = std::chrono::steady_clock::now() + lockWait_;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0 && ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            error_ = "another program kept writing it";
            return AppendResult::Busy;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string withHeader;
    if (headerIfNew) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size == 0) {
            withHeader = headerIfNew();
            withHeader.append(bytes);
            bytes = withHeader;
        }
    }
    // One write for the whole record: with O_APPEND a reader sees all of it or none of it.
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = std::strerror(errno);
            return AppendResult::Failed;
        }
        done += static_cast<size_t>(n);
    }
    return AppendResult::Written;
}

bool PosixFileStore::NobodyWriting(const std::filesystem::path& path) {
    LockedFile file(path);
    return file.Ok();
}

bool PosixFileStore::MoveNoReplace(const std::filesystem::path& from,
                                   const std::filesystem::path& to) {
    const Rename2 rename2 = rename2_ != nullptr ? rename2_ : &::renameat2;
    if (rename2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        error_ = std::strerror(errno);
        return false;
    }
    // The file system does not know the flag: a hard link never replaces a file either, and the
    // old name goes only once the new one is there.
    if (::link(from.c_str(), to.c_str()) != 0) {
        error_ = std::strerror(errno);
        return false;
    }
    if (::unlink(from.c_str()) != 0) {
        error_ = std::strerror(errno);
        ::unlink(to.c_str());  // both names would hand the same records over twice
        return false;
    }
    return true;
}

bool PosixDiskFlush::Flush(const std::filesystem::path& fileOrDirectory) {
    const int fd = ::open(fileOrDirectory.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool PosixFileOwnership::Take(const std::filesystem::path& newFile,
                              const std::filesystem::path& like) {
    struct stat from {};
    struct stat to {};
    if (::stat(like.c_str(), &from) != 0 || ::stat(newFile.c_str(), &to) != 0)
        return false;
    const mode_t mode = S_ISDIR(from.st_mode) ? (from.st_mode & 0666) : (from.st_mode & 07777);
    if ((to.st_uid != from.st_uid || to.st_gid != from.st_gid) &&
        ::chown(newFile.c_str(), from.st_uid, from.st_gid) != 0) {
        return false;
    }
    // After the chown, which may clear the set-id bits.
    return ::chmod(newFile.c_str(), mode) == 0;
}

}  // namespace velk
