#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/link/billing_record.h"

namespace velk {

// The queue files a billing server keeps in the hard-disk buffer directory; only queue 0 (call
// records) is read. Any other index names "error.dat".
const char* QueueFileName(int index);

// The producer's lock of a queue file: the queue file's full path with every '/', '\', ':', '.'
// and '_' removed and the letters upper-cased, plus ".lock", in the queue's directory
// (/srv/buf/PC_pmstx.dq: /srv/buf/SRVBUFPCPMSTXDQ.lock). The path is made canonical first
// (absolute, symbolic links and "." and ".." resolved), so that a producer and a reader that
// spell the directory differently ("buffer", "/srv/app/buffer/", a link to it) lock one file.
std::filesystem::path QueueLockPath(const std::filesystem::path& queueFile);

// The 16-byte header: four little-endian 32-bit integers.
struct QueueHeader {
    static constexpr size_t kSize = 16;
    static constexpr uint32_t kLargestRecord = 256;

    uint32_t write = 0;       // the slot the producer fills next
    uint32_t read = 0;        // the slot the consumer takes next
    uint32_t recordSize = 0;  // bytes per slot
    uint32_t capacity = 0;    // slots

    static QueueHeader Parse(const uint8_t* bytes);
    void Serialize(uint8_t* bytes) const;
    // A record size that fits the record area and at least one slot: the queue can be read at
    // all. Resetting the indexes cannot mend a header that is not usable.
    bool Usable() const { return recordSize > 0 && recordSize <= kLargestRecord && capacity > 0; }
    // Usable, and both indexes below the capacity.
    bool Valid() const { return Usable() && write < capacity && read < capacity; }
    bool Empty() const { return write == read; }
    uint64_t SlotOffset(uint32_t index) const { return kSize + uint64_t{index} * recordSize; }
    // "write index 3, read index 1, record size 120, capacity 20000"
    std::string Text() const;
};

// How a wait for the producer's lock ended.
enum class QueueLock {
    Held,        // the lock is ours until Unlock
    NoLockFile,  // the producer keeps no lock file: the queue is used unguarded
    Failed,      // the lock file is there but cannot be opened or locked (ErrorText says why)
    GaveUp,      // the caller stopped waiting before the producer let go
};

// The queue file as the reader needs it: the platform opens it and takes the producer's lock.
class QueueFile {
public:
    // Asked between the short waits for the producer's lock: false ends the wait (GaveUp). An
    // empty one waits as long as the producer holds the lock.
    using KeepWaiting = std::function<bool()>;

    virtual ~QueueFile() = default;
    // False when the file is missing or cannot be opened for reading and writing.
    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual QueueLock Lock(const KeepWaiting& keepWaiting) = 0;
    // Releases a lock that Lock reported Held.
    virtual void Unlock() = 0;
    virtual uint64_t Size() = 0;
    virtual bool Read(uint64_t offset, uint8_t* to, size_t n) = 0;
    virtual bool Write(uint64_t offset, const uint8_t* from, size_t n) = 0;
    // Makes what Write wrote durable (it survives a power failure).
    virtual bool Flush() = 0;
    // Why the last Open, Lock, Read, Write or Flush failed ("Permission denied").
    virtual std::string ErrorText() const = 0;
    // The queue file and its lock file, as the connection log names them.
    virtual std::string QueueName() const = 0;
    virtual std::string LockName() const = 0;
};

// What the reader tells the operator. A note goes into the connection log; an alarm also onto
// the status line, where it stays until an AlarmOver note says that records can be taken again.
enum class QueueNotice { Note, Alarm, AlarmOver };
using QueueReport = std::function<void(QueueNotice kind, const std::string& text)>;

// Takes the call records out of queue 0 so that no crash loses one. One record goes through
// three steps:
//
//   1. Take (Peek): under the producer's lock the slot at the read index is read into the record
//      area. The file is not changed: the record is still in the queue.
//   2. Store: the caller delivers the record to the recorders, which write it to the disk.
//   3. Commit: under the lock again, the read index moves past the record, but only if the header
//      and the slot still hold what step 1 read; a queue that was recreated or reset meanwhile
//      is left as it is. The new read index is flushed to the disk before the lock goes.
//
// If the program dies after step 1 nothing happened; after step 2 the record is on the disk and
// still in the queue, and the next start finds it named in the journal (Collector::
// DeliverFromDiskBuffer), so it is not stored twice; after step 3 it is gone from the queue. A
// commit that cannot be made (the lock or the file could not be had) stays pending and is tried
// again; nothing is taken meanwhile. Only this program moves the read index.
//
// Problems that keep every record out (a file that cannot be opened, a lock that cannot be taken,
// an unusable header, a file that ends inside a slot) are reported once, as an alarm, and again
// only after the queue was readable in between. A queue read without a lock file is noted once
// as well, a reset of invalid indexes every time.
class DiskQueueReader {
public:
    enum class Take {
        Record,      // a record was read into the record area (step 1)
        Empty,       // the indexes are equal
        Reset,       // the indexes were invalid: they were set to 0 and 0
        Unusable,    // the record size or the capacity cannot be used: the file was left alone
        CutShort,    // the file ends inside the slot to be read
        Unreadable,  // the file is missing, shorter than its header, or failed to read or write
        LockFailed,  // the producer's lock could not be taken: nothing was read
        Stopped,     // the wait for the producer's lock was given up
    };
    enum class Committed {
        Yes,           // the read index moved past the record
        Nothing,       // no record was pending
        QueueChanged,  // the slot no longer holds the record: nothing moved, nothing pending
        NotNow,        // the file, its lock or its header could not be had: still pending
        Stopped,       // the wait for the producer's lock was given up: still pending
    };

    explicit DiskQueueReader(QueueFile& file, QueueReport report = nullptr)
        : file_(file), report_(std::move(report)) {}

    // Step 1: reads the next record into the zeroed record area without taking it out of the
    // queue. A commit still pending is forgotten.
    Take Peek(BillingRecord& record, const QueueFile::KeepWaiting& keepWaiting = nullptr);
    // Step 1 for a batch: the records waiting from the read index on, up to most of them, in
    // their order, read under one lock (each a zeroed record area with the slot's bytes).
    Take PeekBatch(std::vector<BillingRecord>& records, size_t most,
                   const QueueFile::KeepWaiting& keepWaiting = nullptr);
    // Step 3 for the records the last Peek or PeekBatch returned: the read index moves past all
    // of them at once (or past the first n, after TakeFirst(n)).
    Committed Commit(const QueueFile::KeepWaiting& keepWaiting = nullptr);
    // Only the first n records of the last peek leave the queue at the commit; the others are
    // read again by the next peek. None: nothing is pending.
    void TakeFirst(size_t n);
    // How many records a batch holds at most: a read, a journal entry, a flush of the record
    // files and a move of the read index serve them all.
    static constexpr size_t kBatch = 500;
    // Records were taken and stored, and are still to be taken out of the queue.
    bool CommitPending() const { return peeked_; }
    // The record taken could not be stored: it stays in the queue and is taken again later.
    void Leave() { peeked_ = false; }
    uint32_t PendingSlot() const { return peekedIndex_; }
    size_t PendingCount() const { return peeked_ ? peekedRecords_.size() : 0; }

private:
    bool ReadHeader(QueueHeader& header);
    // Reads n slots from first on, wrapping around the queue's end.
    bool ReadSlots(const QueueHeader& h, uint32_t first, size_t n,
                   std::vector<BillingRecord>& records);
    bool LockAllows(QueueLock lock);
    // Raises the alarm of a problem that keeps the records out, once while it lasts (the same
    // text); a poll that reads the queue ends it.
    void Trouble(const std::string& text);
    void Readable();
    void Tell(QueueNotice kind, const std::string& text);

    QueueFile& file_;
    QueueReport report_;
    bool peeked_ = false;
    uint32_t peekedIndex_ = 0;
    QueueHeader peekedHeader_;
    std::vector<BillingRecord> peekedRecords_;
    std::string problem_;  // the alarm in force
    bool unguardedSaid_ = false;
};

}  // namespace velk
