#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/link/billing_record.h"

namespace velk {

// The queue files a billing server keeps in the hard-disk buffer directory; only queue 0 (call
// records) is read. Any other index names "error.dat".
const char* QueueFileName(int index);

// The producer's lock of a queue file: the queue file's full path with every '/', '\', ':', '.'
// and '_' removed and the letters upper-cased, plus ".lock", in the queue's directory
// (/srv/buf/PC_pmstx.dq: /srv/buf/SRVBUFPCPMSTXDQ.lock).
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
    // Both indexes below the capacity, and a record that fits the record area.
    bool Valid() const;
    bool Empty() const { return write == read; }
    uint64_t SlotOffset(uint32_t index) const { return kSize + uint64_t{index} * recordSize; }
};

// The queue file as the reader needs it: the platform opens it and takes the producer's lock.
class QueueFile {
public:
    virtual ~QueueFile() = default;
    // False when the file is missing or cannot be opened for reading and writing.
    virtual bool Open() = 0;
    virtual void Close() = 0;
    // Waits for the producer's lock; a queue without a lock file is read unguarded.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual uint64_t Size() = 0;
    virtual bool Read(uint64_t offset, uint8_t* to, size_t n) = 0;
    virtual bool Write(uint64_t offset, const uint8_t* from, size_t n) = 0;
};

// Takes the call records out of queue 0 so that no crash loses one: a record is read under the
// producer's lock and left in the queue; only after it was stored does Commit advance the read
// index, under the lock again. (Only this program moves the read index.)
class DiskQueueReader {
public:
    enum class Take {
        Record,      // a record was read into the record area
        Empty,       // the indexes are equal
        Reset,       // the header was invalid: its indexes were set to 0 and 0
        Unreadable,  // the file is missing, too short or failed to read: nothing was taken
    };

    explicit DiskQueueReader(QueueFile& file) : file_(file) {}

    // Reads the next record into the zeroed record area without taking it.
    Take Peek(BillingRecord& record);
    // Takes the record Peek returned: the read index moves on. False when the queue changed under
    // it (it was reset meanwhile) or the header could not be written.
    bool Commit();

private:
    bool ReadHeader(QueueHeader& header);

    QueueFile& file_;
    bool peeked_ = false;
    uint32_t peekedIndex_ = 0;
};

}  // namespace velk
