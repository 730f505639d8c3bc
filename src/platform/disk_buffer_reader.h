#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <chrono>
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
// holding it releases it through the kernel. A lock the producer holds is tried again every
// kLockStep, asking between the tries whether to go on waiting.
class PosixQueueFile : public QueueFile {
public:
    static constexpr std::chrono::milliseconds kLockStep{10};

    explicit PosixQueueFile(std::filesystem::path queueFile);
    ~PosixQueueFile() override;
    PosixQueueFile(const PosixQueueFile&) = delete;
    PosixQueueFile& operator=(const PosixQueueFile&) = delete;

    bool Open() override;
    void Close() override;
    QueueLock Lock(const KeepWaiting& keepWaiting) override;
    void Unlock() override;
    uint64_t Size() override;
    bool Read(uint64_t offset, uint8_t* to, size_t n) override;
    bool Write(uint64_t offset, const uint8_t* from, size_t n) override;
    bool Flush() override;
    std::string ErrorText() const override { return error_; }
    std::string QueueName() const override { return path_.string(); }
    std::string LockName() const override { return lockPath_.string(); }

private:
    void Failed(int error);

    std::filesystem::path path_, lockPath_;
    int fd_ = -1;
    int lockFd_ = -1;
    std::string error_;
};

// The disk-buffer channel: a worker thread polls queue 0 of the directory about every 10 ms and
// takes every record waiting, in batches of up to DiskQueueReader::kBatch. Each batch is handed
// to deliver on the thread this object lives on (the main thread), blocking until it was stored;
// only then do the records deliver says it took leave the queue (DiskQueueReader's take, store,
// commit). What the queue
// reader has to say reaches report on that thread too.
//
// What keeps the disk-buffer channel from using the queue of a directory, as the operator's
// message (kHdDirectoryUnreadable, kHdQueueUnreadable or kHdQueueUnwritable, the path, the
// reason); empty when nothing does. A read-only mount refuses writing whoever runs the program.
std::string QueueRefusal(const std::string& directory);

// How long a stop of the disk-buffer channel waits: for a record already stored to leave the
// queue (the producer may hold its lock), and for the reader as a whole.
struct DiskBufferStopTiming {
    std::chrono::milliseconds commitGrace{2000};
    std::chrono::milliseconds stopBound{3000};
};

// A stop does not wait for the producer: a take waiting for the producer's lock is given up at
// once (the record stays in the queue), a record already stored may wait up to commitGrace for
// the lock to leave the queue, and Stop returns after stopBound at the latest.
class DiskBufferReader : public QObject, public DiskBufferChannel {
    Q_OBJECT
public:
    // The records read from the queue's slots from firstSlot on; returns how many of them,
    // from the first, may leave the queue. None: they could not be stored (a full disk), they
    // stay in the queue and are taken again after kHeldPause.
    using Deliver =
        std::function<size_t(uint32_t firstSlot, const std::vector<BillingRecord>& records)>;
    static constexpr std::chrono::milliseconds kHeldPause{500};

    DiskBufferReader(const AppSettings& settings, Deliver deliver, QueueReport report = nullptr,
                     DiskBufferStopTiming timing = {}, QObject* parent = nullptr);
    ~DiskBufferReader() override;

    bool Start(const std::string& directory, std::string& error) override;
    void Stop() override;
    bool Running() const override { return thread_ != nullptr; }

    // Takes and delivers every record waiting in the queue (on the calling thread); the number
    // taken out of the queue.
    size_t TakeAll(DiskQueueReader& reader);

private:
    // One run of the worker thread: its stop request and, once stopping, how long a stored
    // record may still wait for the producer's lock.
    struct RunState {
        std::atomic<bool> stop{false};
        std::atomic<std::chrono::steady_clock::time_point> commitUntil{};
        std::atomic<bool> abandoned{false};  // Stop gave up waiting for the thread
    };

    void Work(const std::filesystem::path& queueFile, const std::shared_ptr<RunState>& run);
    size_t TakeAll(DiskQueueReader& reader, const std::shared_ptr<RunState>& run);
    // Runs f on this object's thread, waiting for it.
    void OnOwnThread(const std::function<void()>& f);
    void Tell(QueueNotice kind, const std::string& text);

    const AppSettings& settings_;
    Deliver deliver_;
    QueueReport report_;
    DiskBufferStopTiming timing_;
    std::unique_ptr<QThread> thread_;
    std::shared_ptr<RunState> run_ = std::make_shared<RunState>();
};

}  // namespace velk
