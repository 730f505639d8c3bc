#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/foundation/app_settings.h"
#include "core/link/disk_buffer_channel.h"
#include "core/link/disk_queue.h"

namespace velk {

// A queue file on a POSIX file system; the producer's lock is an flock() on the lock file of
// QueueLockPath, taken while the file is read or its header written. A producer that dies
// holding it releases it through the kernel.
class PosixQueueFile : public QueueFile {
public:
    explicit PosixQueueFile(std::filesystem::path queueFile);
    ~PosixQueueFile() override;
    PosixQueueFile(const PosixQueueFile&) = delete;
    PosixQueueFile& operator=(const PosixQueueFile&) = delete;

    bool Open() override;
    void Close() override;
    void Lock() override;
    void Unlock() override;
    uint64_t Size() override;
    bool Read(uint64_t offset, uint8_t* to, size_t n) override;
    bool Write(uint64_t offset, const uint8_t* from, size_t n) override;

private:
    std::filesystem::path path_, lockPath_;
    int fd_ = -1;
    int lockFd_ = -1;
};

// The disk-buffer channel: a worker thread polls queue 0 of the directory about every 10 ms and
// takes every record waiting. Each record is converted into a call-record frame and handed to
// deliver on the thread this object lives on (the main thread), blocking until it was stored;
// only then is it taken out of the queue.
class DiskBufferReader : public QObject, public DiskBufferChannel {
    Q_OBJECT
public:
    using Deliver = std::function<void(const uint8_t* frame, uint32_t length)>;

    DiskBufferReader(const AppSettings& settings, Deliver deliver, QObject* parent = nullptr);
    ~DiskBufferReader() override;

    bool Start(const std::string& directory, std::string& error) override;
    void Stop() override;
    bool Running() const override { return thread_ != nullptr; }

    // Takes and delivers every record waiting in the queue (on the calling thread); the number
    // taken.
    size_t TakeAll(DiskQueueReader& reader);

private:
    void Run(std::filesystem::path queueFile);

    const AppSettings& settings_;
    Deliver deliver_;
    std::unique_ptr<QThread> thread_;
    std::atomic<bool> stop_{false};
};

}  // namespace velk
