#include "platform/posix_file_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
    directories_.insert(path.parent_path().native());
    return true;
}

PosixFileStore::PosixFileStore(std::chrono::milliseconds lockWait, Rename2 rename2)
    : lockWait_(lockWait), rename2_(rename2) {}

AppendResult PosixFileStore::Append(const std::filesystem::path& path, std::string_view bytes,
                                    const Header& headerIfNew) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        // A full disk refuses a new file too: that is a failed write, not a missing directory.
        const int err = errno;
        error_ = std::strerror(err);
        return err == ENOSPC || err == EDQUOT ? AppendResult::Failed : AppendResult::CannotOpen;
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
    // An empty file may be one this append created: its directory entry is flushed as well.
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0;
    const bool empty = sized && st.st_size == 0;
    if (empty)
        directories_.insert(path.parent_path().native());
    std::string withHeader;
    if (headerIfNew && empty) {
        withHeader = headerIfNew();
        withHeader.append(bytes);
        bytes = withHeader;
    }
    // One write for the whole record: with O_APPEND a reader sees all of it or none of it.
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = std::strerror(errno);
            // What a full disk let through is a record cut short: the file goes back to its
            // length before this append (no other writer can have appended meanwhile).
            if (done > 0 && (!sized || ::ftruncate(fd, st.st_size) != 0))
                error_ += std::string("; the part written cannot be cut off: ") +
                          std::strerror(errno);
            return AppendResult::Failed;
        }
        done += static_cast<size_t>(n);
    }
    written_.insert(path.native());
    return AppendResult::Written;
}

bool PosixFileStore::NobodyWriting(const std::filesystem::path& path) {
    LockedFile file(path);
    return file.Ok();
}

// The data appended to the file still waits for its flush under the new name.
void PosixFileStore::Moved(const std::filesystem::path& from, const std::filesystem::path& to) {
    directories_.insert(from.parent_path().native());
    directories_.insert(to.parent_path().native());
    if (written_.erase(from.native()) != 0)
        written_.insert(to.native());
}

bool PosixFileStore::MoveNoReplace(const std::filesystem::path& from,
                                   const std::filesystem::path& to) {
    const Rename2 rename2 = rename2_ != nullptr ? rename2_ : &::renameat2;
    if (rename2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        Moved(from, to);
        return true;
    }
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
    Moved(from, to);
    return true;
}

bool PosixFileStore::EndsWith(const std::filesystem::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    std::string tail(bytes.size(), '\0');
    bool same = false;
    if (::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= bytes.size()) {
        const off_t at = st.st_size - static_cast<off_t>(bytes.size());
        size_t done = 0;
        while (done < tail.size()) {
            const ssize_t r =
                ::pread(fd, tail.data() + done, tail.size() - done, at + static_cast<off_t>(done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            done += static_cast<size_t>(r);
        }
        same = done == tail.size() && tail == bytes;
    }
    ::close(fd);
    return same;
}

bool PosixFileStore::Sync(const std::filesystem::path& path, bool directory, bool goneOk) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
    if (fd < 0) {
        if (errno == ENOENT && goneOk)
            return true;
        error_ = path.string() + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = (directory ? ::fsync(fd) : ::fdatasync(fd)) == 0;
    if (!ok)
        error_ = path.string() + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

bool PosixFileStore::FlushWritten() {
    // The files are flushed side by side, each on a thread of its own: a disk that takes a few
    // milliseconds per flush takes them once for all the files, not once per file. A record file
    // another program took away meanwhile (a pick-up program removing an out-file) has nothing
    // left to flush.
    struct Result {
        std::string error;
        bool ok = true;
    };
    std::vector<std::pair<std::string, bool>> paths;
    for (const auto& file : written_)
        paths.emplace_back(file, false);
    for (const auto& directory : directories_)
        paths.emplace_back(directory, true);
    written_.clear();
    directories_.clear();
    std::vector<Result> results(paths.size());
    const auto sync = [&paths, &results](size_t i) {
        const auto& [path, directory] = paths[i];
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
        if (fd < 0) {
            if (errno == ENOENT && !directory)
                return;
            results[i] = {path + ": " + std::strerror(errno), false};
            return;
        }
        if ((directory ? ::fsync(fd) : ::fdatasync(fd)) != 0)
            results[i] = {path + ": " + std::strerror(errno), false};
        ::close(fd);
    };
    std::vector<std::thread> threads;
    for (size_t i = 1; i < paths.size(); ++i)
        threads.emplace_back(sync, i);
    if (!paths.empty())
        sync(0);
    for (std::thread& t : threads)
        t.join();
    bool ok = true;
    for (const Result& r : results) {
        if (!r.ok && ok)
            error_ = r.error;
        ok = ok && r.ok;
    }
    return ok;
}

bool PosixFileStore::ReadWhole(const std::filesystem::path& path, std::string& content,
                               size_t atMost) {
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    char chunk[8192];
    bool ok = true;
    while (content.size() < atMost) {
        const ssize_t r = ::read(fd, chunk, std::min(sizeof chunk, atMost - content.size()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            error_ = std::strerror(errno);
            ok = false;
        }
        if (r <= 0)
            break;
        content.append(chunk, static_cast<size_t>(r));
    }
    ::close(fd);
    return ok;
}

bool PosixFileStore::WriteAt(const std::filesystem::path& path, uint64_t offset,
                             std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0)
        newStateFiles_.insert(path);
    else if (errno == EEXIST)
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        const ssize_t w = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            error_ = std::strerror(w < 0 ? errno : ENOSPC);
            ok = false;
            break;
        }
        done += static_cast<size_t>(w);
    }
    ::close(fd);
    return ok;
}

bool PosixFileStore::Flush(const std::filesystem::path& path) {
    if (!Sync(path, false, false))
        return false;
    if (newStateFiles_.count(path) == 0)
        return true;
    if (!Sync(path.parent_path(), true, false))
        return false;
    newStateFiles_.erase(path);
    return true;
}

bool PosixFileStore::ListFiles(const std::filesystem::path& directory,
                               std::vector<std::string>& names) {
    names.clear();
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        error_ = std::strerror(errno);
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode)) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    return true;
}

bool PosixFileStore::ReadTail(const std::filesystem::path& path, size_t atMost, std::string& tail,
                              uint64_t& size) {
    tail.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok) {
        size = static_cast<uint64_t>(st.st_size);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(atMost, size));
        tail.resize(n);
        size_t done = 0;
        while (done < n) {
            const ssize_t r = ::pread(fd, tail.data() + done, n - done,
                                      static_cast<off_t>(size - n + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            done += static_cast<size_t>(r);
        }
        tail.resize(done);
        ok = done == n;
    }
    if (!ok)
        error_ = std::strerror(errno);
    ::close(fd);
    return ok;
}

bool PosixFileStore::CutTo(const std::filesystem::path& path, uint64_t length) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    const bool ok = ::ftruncate(fd, static_cast<off_t>(length)) == 0 && ::fdatasync(fd) == 0;
    if (!ok)
        error_ = std::strerror(errno);
    ::close(fd);
    return ok;
}

std::optional<uint64_t> PosixFileStore::FreeBytes(const std::filesystem::path& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

bool PosixFileStore::SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    struct stat sa {};
    struct stat sb {};
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && S_ISREG(sa.st_mode) &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool PosixFileStore::RemoveName(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) != 0) {
        error_ = std::strerror(errno);
        return false;
    }
    return Sync(path.parent_path(), true, false);
}

uint64_t PosixFileStore::Length(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool PosixFileStore::ReadAt(const std::filesystem::path& path, uint64_t offset, size_t n,
                            std::string& bytes) {
    bytes.assign(n, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, bytes.data() + done, n - done,
                                  static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += static_cast<size_t>(r);
    }
    ::close(fd);
    return done == n;
}

bool PosixFileStore::CutBack(const std::filesystem::path& path, uint64_t length) {
    if (::truncate(path.c_str(), static_cast<off_t>(length)) != 0) {
        error_ = std::strerror(errno);
        return false;
    }
    written_.insert(path.native());
    return true;
}

std::string PosixFileStore::Identity(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool PosixFileStore::Replace(const std::filesystem::path& path, std::string_view content) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (done < content.size()) {
        const ssize_t w = ::write(fd, content.data() + done, content.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            error_ = std::strerror(w < 0 ? errno : ENOSPC);
            ok = false;
            break;
        }
        done += static_cast<size_t>(w);
    }
    if (::close(fd) != 0 && ok) {
        error_ = std::strerror(errno);
        ok = false;
    }
    // A part written (a full disk) never takes the place of the whole one before.
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error_ = std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
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
