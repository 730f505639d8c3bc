#include "platform/file_instance_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace velk {

FileInstanceLock::FileInstanceLock(std::filesystem::path directory)
    : path_(std::move(directory) / "VELK.lock") {}

FileInstanceLock::~FileInstanceLock() {
    Release();
}

LockResult FileInstanceLock::TryAcquire() {
    if (fd_ >= 0)
        return LockResult::Acquired;
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int createError = errno;
        fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            // The reason the lock file could not be made is the one that helps the operator.
            unavailable_ =
                path_.string() + ": " + std::strerror(errno == ENOENT ? createError : errno);
            return LockResult::Unavailable;
        }
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return LockResult::HeldElsewhere;
        unavailable_ = path_.string() + ": " + std::strerror(error);
        return LockResult::Unavailable;
    }
    fd_ = fd;
    return LockResult::Acquired;
}

void FileInstanceLock::Release() {
    if (fd_ < 0)
        return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace velk
