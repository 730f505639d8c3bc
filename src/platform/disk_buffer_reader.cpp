#include "platform/disk_buffer_reader.h"

#include <QCoreApplication>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velk {

PosixQueueFile::PosixQueueFile(std::filesystem::path queueFile)
    : path_(std::move(queueFile)), lockPath_(QueueLockPath(path_)) {}

PosixQueueFile::~PosixQueueFile() {
    Unlock();
    Close();
}

bool PosixQueueFile::Open() {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    return fd_ >= 0;
}

void PosixQueueFile::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void PosixQueueFile::Lock() {
    // No lock file: the producer does not guard its queue, and the record is read unguarded.
    lockFd_ = ::open(lockPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (lockFd_ < 0)
        return;
    while (::flock(lockFd_, LOCK_EX) != 0 && errno == EINTR) {
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
        if (r <= 0)
            return false;
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
        if (w <= 0)
            return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

DiskBufferReader::DiskBufferReader(const AppSettings& settings, Deliver deliver, QObject* parent)
    : QObject(parent), settings_(settings), deliver_(std::move(deliver)) {}

DiskBufferReader::~DiskBufferReader() {
    Stop();
}

bool DiskBufferReader::Start(const std::string& directory, std::string& error) {
    if (Running())
        return true;
    // The directory must be there and readable; its queue file may come later (the billing
    // server starts it), and is polled for meanwhile.
    DIR* dir = directory.empty() ? nullptr : ::opendir(directory.c_str());
    if (dir == nullptr) {
        error = (directory.empty() ? std::string("(no directory is set)") : directory) + "\n" +
                std::strerror(directory.empty() ? ENOENT : errno);
        return false;
    }
    ::closedir(dir);
    stop_ = false;
    const std::filesystem::path queue = std::filesystem::path(directory) / QueueFileName(0);
    thread_.reset(QThread::create([this, queue] { Run(queue); }));
    thread_->setObjectName(QStringLiteral("HD_ReadBuffer_Thread"));
    thread_->start();
    return true;
}

void DiskBufferReader::Stop() {
    if (thread_ == nullptr)
        return;
    stop_ = true;
    // The worker may wait for this thread to store a record: keep handling events meanwhile.
    while (!thread_->wait(10))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    thread_.reset();
}

size_t DiskBufferReader::TakeAll(DiskQueueReader& reader) {
    BillingRecord record{};
    size_t taken = 0;
    while (!stop_ && reader.Peek(record) == DiskQueueReader::Take::Record) {
        const std::vector<uint8_t> frame =
            ConvertBillingRecord(record, settings_.Hex_Type, settings_.APP_LCRinMandatory);
        const uint32_t length = ParseLengthDigits(&frame[1]);
        if (QThread::currentThread() == thread()) {
            deliver_(frame.data(), length);
        } else {
            QMetaObject::invokeMethod(
                this, [this, &frame, length] { deliver_(frame.data(), length); },
                Qt::BlockingQueuedConnection);
        }
        // Stored: now it leaves the queue. A crash before this line leaves it there for the
        // next start (where it is stored once more); none loses it.
        reader.Commit();
        ++taken;
    }
    return taken;
}

void DiskBufferReader::Run(std::filesystem::path queueFile) {
    PosixQueueFile file(std::move(queueFile));
    DiskQueueReader reader(file);
    while (!stop_) {
        TakeAll(reader);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace velk
