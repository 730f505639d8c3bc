#include "platform/file_instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace velk {

FileInstanceLock::FileInstanceLock(std::filesystem::path directory)
    : path_(std::move(directory) / "VELK.lock") {}

FileInstanceLock::~FileInstanceLock() {
    Release();
}

bool FileInstanceLock::TryAcquire() {
    if (fd_ >= 0)
        return true;
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A directory where the lock file cannot be created cannot be guarded; it still runs.
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void FileInstanceLock::Release() {
    if (fd_ < 0)
        return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace velk
