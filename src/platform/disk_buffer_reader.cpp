#include "platform/disk_buffer_reader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace velk {

PosixQueueFile::PosixQueueFile(std::filesystem::path queueFile)
    : path_(std::move(queueFile)), lockPath_(QueueLockPath(path_)) {}

PosixQueueFile::~PosixQueueFile() {
    Unlock();
    Close();
}

void PosixQueueFile::Failed(int error) {
    error_ = std::strerror(error);
}

bool PosixQueueFile::Open() {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0)
        Failed(errno);
    return fd_ >= 0;
}

void PosixQueueFile::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

QueueLock PosixQueueFile::Lock(const KeepWaiting& keepWaiting) {
    lockFd_ = ::open(lockPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (lockFd_ < 0) {
        // No lock file: the producer does not guard its queue, and it is read unguarded.
        if (errno == ENOENT)
            return QueueLock::NoLockFile;
        Failed(errno);
        return QueueLock::Failed;
    }
    for (;;) {
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0)
            return QueueLock::Held;
        const int error = errno;
        if (error == EINTR)
            continue;
        const bool busy = error == EWOULDBLOCK;
        if (!busy || (keepWaiting && !keepWaiting())) {
            // ENOLCK (a network file system without locks) and the like: the queue is not read
            // unguarded.
            if (!busy)
                Failed(error);
            ::close(lockFd_);
            lockFd_ = -1;
            return busy ? QueueLock::GaveUp : QueueLock::Failed;
        }
        std::this_thread::sleep_for(kLockStep);
    }
}

void PosixQueueFile::Unlock() {
    if (lockFd_ < 0)
        return;
    ::flock(lockFd_, LOCK_UN);
    ::close(lockFd_);
    lockFd_ = -1;
}

uint64_t PosixQueueFile::Size() {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool PosixQueueFile::Read(uint64_t offset, uint8_t* to, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd_, to + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            Failed(r < 0 ? errno : ENODATA);
            return false;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

bool PosixQueueFile::Write(uint64_t offset, const uint8_t* from, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd_, from + done, n - done, static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            Failed(w < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool PosixQueueFile::Flush() {
    if (::fdatasync(fd_) == 0)
        return true;
    Failed(errno);
    return false;
}

namespace {

std::string Refusal(const char* headline, const std::string& path, int error) {
    return headline + path + "\n" + std::strerror(error);
}

}  // namespace

// The reader opens the queue file for reading and writing (its read index moves) and its lock
// file for reading; either may come later, with the billing server.
std::string QueueRefusal(const std::string& directory) {
    if (directory.empty())
        return Refusal(kHdDirectoryUnreadable, "(no directory is set)", ENOENT);
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr)
        return Refusal(kHdDirectoryUnreadable, directory, errno);
    ::closedir(dir);
    if (::faccessat(AT_FDCWD, directory.c_str(), R_OK | X_OK, AT_EACCESS) != 0)
        return Refusal(kHdDirectoryUnreadable, directory, errno);
    // A read-only mount (a service's sandbox) lets nothing be written, whoever runs the program.
    struct statvfs fs {};
    if (::statvfs(directory.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0)
        return Refusal(kHdQueueUnwritable, directory, EROFS);
    const std::filesystem::path queue = std::filesystem::path(directory) / QueueFileName(0);
    if (::faccessat(AT_FDCWD, queue.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && errno != ENOENT) {
        const int error = errno;
        const bool readable = ::faccessat(AT_FDCWD, queue.c_str(), R_OK, AT_EACCESS) == 0;
        return Refusal(readable ? kHdQueueUnwritable : kHdQueueUnreadable, queue.string(), error);
    }
    const std::filesystem::path lock = QueueLockPath(queue);
    if (::faccessat(AT_FDCWD, lock.c_str(), R_OK, AT_EACCESS) != 0 && errno != ENOENT)
        return Refusal(kHdQueueUnreadable, lock.string(), errno);
    return {};
}

DiskBufferReader::DiskBufferReader(const AppSettings& settings, Deliver deliver, QueueReport report,
                                   DiskBufferStopTiming timing, QObject* parent)
    : QObject(parent),
      settings_(settings),
      deliver_(std::move(deliver)),
      report_(std::move(report)),
      timing_(timing) {}

DiskBufferReader::~DiskBufferReader() {
    Stop();
}

bool DiskBufferReader::Start(const std::string& directory, std::string& error) {
    if (Running())
        return true;
    // The queue file may come later (the billing server starts it), and is polled for meanwhile;
    // what can be checked now is.
    error = QueueRefusal(directory);
    if (!error.empty())
        return false;
    run_ = std::make_shared<RunState>();
    const std::filesystem::path queue = std::filesystem::path(directory) / QueueFileName(0);
    thread_.reset(QThread::create([this, queue, run = run_] { Work(queue, run); }));
    thread_->setObjectName(QStringLiteral("HD_ReadBuffer_Thread"));
    thread_->start();
    return true;
}

void DiskBufferReader::Stop() {
    if (thread_ == nullptr)
        return;
    run_->commitUntil = std::chrono::steady_clock::now() + timing_.commitGrace;
    run_->stop = true;
    // The worker may wait for this thread to store a record: keep handling events meanwhile.
    QElapsedTimer waited;
    waited.start();
    while (!thread_->wait(10)) {
        if (waited.elapsed() >= timing_.stopBound.count()) {
            // Only a file call that does not return (a hung network file system) gets here. The
            // thread is left to end by itself; it delivers nothing more.
            run_->abandoned = true;
            Tell(QueueNotice::Alarm, "the reader of the hard-disk buffer did not end within " +
                                         std::to_string(timing_.stopBound.count()) +
                                         " ms; it was left behind");
            QThread* left = thread_.release();
            connect(left, &QThread::finished, left, &QObject::deleteLater);
            return;
        }
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    thread_.reset();
}

void DiskBufferReader::OnOwnThread(const std::function<void()>& f) {
    if (QThread::currentThread() == thread())
        f();
    else
        QMetaObject::invokeMethod(this, f, Qt::BlockingQueuedConnection);
}

void DiskBufferReader::Tell(QueueNotice kind, const std::string& text) {
    if (!report_)
        return;
    OnOwnThread([this, kind, &text] { report_(kind, text); });
}

size_t DiskBufferReader::TakeAll(DiskQueueReader& reader) {
    return TakeAll(reader, run_);
}

size_t DiskBufferReader::TakeAll(DiskQueueReader& reader, const std::shared_ptr<RunState>& run) {
    const QueueFile::KeepWaiting peekWait = [&run] { return !run->stop; };
    const QueueFile::KeepWaiting commitWait = [&run] {
        return !run->stop || std::chrono::steady_clock::now() < run->commitUntil.load();
    };
    size_t taken = 0;
    std::vector<BillingRecord> records;
    for (;;) {
        // A record stored earlier leaves the queue before another is taken: none is stored twice
        // in one run, whatever kept its commit back.
        if (reader.CommitPending()) {
            const size_t committing = reader.PendingCount();
            const DiskQueueReader::Committed c = reader.Commit(commitWait);
            if (c == DiskQueueReader::Committed::NotNow || c == DiskQueueReader::Committed::Stopped)
                return taken;
            taken += c == DiskQueueReader::Committed::Yes ? committing : 0;
        }
        if (run->stop ||
            reader.PeekBatch(records, DiskQueueReader::kBatch, peekWait) !=
                DiskQueueReader::Take::Record) {
            return taken;
        }
        if (run->stop)
            return taken;  // not delivered: they stay in the queue for the next run
        const uint32_t slot = reader.PendingSlot();
        bool delivered = false;
        size_t stored = 0;
        OnOwnThread([this, &run, &records, slot, &stored, &delivered] {
            if (run->abandoned)
                return;  // a stop gave up on this thread meanwhile
            stored = deliver_(slot, records);
            delivered = true;
        });
        if (!delivered)
            return taken;
        if (stored == 0) {
            // Not stored (their files cannot be written): the records stay in the queue.
            reader.Leave();
            for (auto waited = std::chrono::milliseconds(0); waited < kHeldPause && !run->stop;
                 waited += std::chrono::milliseconds(10)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return taken;
        }
        reader.TakeFirst(stored);
        // Stored: the commit above takes it out of the queue. A crash before that leaves it
        // there for the next start, where the journal names it stored; none loses it, none is
        // stored twice.
    }
}

void DiskBufferReader::Work(const std::filesystem::path& queueFile,
                            const std::shared_ptr<RunState>& run) {
    PosixQueueFile file(queueFile);
    DiskQueueReader reader(file,
                           [this](QueueNotice kind, const std::string& text) { Tell(kind, text); });
    // The last round after a stop still takes a stored record out of the queue.
    for (;;) {
        TakeAll(reader, run);
        if (run->stop)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reader.CommitPending() && !run->abandoned) {
        Tell(QueueNotice::Note, "stopped before the records from slot " +
                                    std::to_string(reader.PendingSlot()) + " of " +
                                    file.QueueName() + " (" +
                                    std::to_string(reader.PendingCount()) +
                                    "), already stored, could be taken out of the queue: they "
                                    "leave the queue when it is read next, without being "
                                    "stored again");
    }
}

}  // namespace velk
