#include "core/link/disk_queue.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace velk {
namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Holds the producer's lock for a scope, when it could be had.
class Locked {
public:
    Locked(QueueFile& file, const QueueFile::KeepWaiting& keepWaiting)
        : file_(file), result_(file.Lock(keepWaiting)) {}
    ~Locked() {
        if (result_ == QueueLock::Held)
            file_.Unlock();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    QueueLock Result() const { return result_; }

private:
    QueueFile& file_;
    QueueLock result_;
};

// Opens the file for a scope.
class Opened {
public:
    explicit Opened(QueueFile& file) : file_(file), ok_(file.Open()) {}
    ~Opened() {
        if (ok_)
            file_.Close();
    }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    bool Ok() const { return ok_; }

private:
    QueueFile& file_;
    bool ok_;
};

}  // namespace

const char* QueueFileName(int index) {
    static const char* const kNames[] = {"PC_pmstx.dq", "PC_fault.dq", "PC_netft.dq",
                                         "PC_smda2.dq"};
    return index >= 0 && index < 4 ? kNames[index] : "error.dat";
}

std::filesystem::path QueueLockPath(const std::filesystem::path& queueFile) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path path = fs::absolute(queueFile, ec);
    if (ec)
        path = queueFile;
    const fs::path canonical = fs::weakly_canonical(path, ec);
    path = (ec ? path : canonical).lexically_normal();
    std::string name;
    for (char c : path.string()) {
        if (c == '/' || c == '\\' || c == ':' || c == '.' || c == '_')
            continue;
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return path.parent_path() / (name + ".lock");
}

QueueHeader QueueHeader::Parse(const uint8_t* b) {
    return {Le32(b), Le32(b + 4), Le32(b + 8), Le32(b + 12)};
}

void QueueHeader::Serialize(uint8_t* b) const {
    PutLe32(b, write);
    PutLe32(b + 4, read);
    PutLe32(b + 8, recordSize);
    PutLe32(b + 12, capacity);
}

std::string QueueHeader::Text() const {
    return "write index " + std::to_string(write) + ", read index " + std::to_string(read) +
           ", record size " + std::to_string(recordSize) + ", capacity " + std::to_string(capacity);
}

void DiskQueueReader::Tell(QueueNotice kind, const std::string& text) {
    if (report_)
        report_(kind, text);
}

void DiskQueueReader::Trouble(const std::string& text) {
    if (text == problem_)
        return;
    problem_ = text;
    Tell(QueueNotice::Alarm, text);
}

void DiskQueueReader::Readable() {
    if (problem_.empty())
        return;
    problem_.clear();
    Tell(QueueNotice::AlarmOver, file_.QueueName() + " can be read again");
}

bool DiskQueueReader::ReadHeader(QueueHeader& header) {
    uint8_t bytes[QueueHeader::kSize];
    if (file_.Size() < QueueHeader::kSize) {
        Trouble(file_.QueueName() + " is shorter than its 16-byte header");
        return false;
    }
    if (!file_.Read(0, bytes, sizeof bytes)) {
        Trouble("cannot read " + file_.QueueName() + ": " + file_.ErrorText());
        return false;
    }
    header = QueueHeader::Parse(bytes);
    return true;
}

// Whether the lock, or its absence, lets the queue be read; says what keeps it from being read.
bool DiskQueueReader::LockAllows(QueueLock lock) {
    switch (lock) {
        case QueueLock::Held:
            unguardedSaid_ = false;
            return true;
        case QueueLock::NoLockFile:
            if (!unguardedSaid_) {
                unguardedSaid_ = true;
                Tell(QueueNotice::Note, file_.QueueName() + " has no lock file " +
                                            file_.LockName() +
                                            ": it is read without the billing server's lock");
            }
            return true;
        case QueueLock::Failed:
            Trouble("cannot lock " + file_.LockName() + ": " + file_.ErrorText() +
                    "; nothing is taken");
            return false;
        case QueueLock::GaveUp:
            return false;
    }
    return false;
}

DiskQueueReader::Take DiskQueueReader::Peek(BillingRecord& record,
                                            const QueueFile::KeepWaiting& keepWaiting) {
    std::vector<BillingRecord> records;
    const Take take = PeekBatch(records, 1, keepWaiting);
    record = records.empty() ? BillingRecord{} : records[0];
    return take;
}

bool DiskQueueReader::ReadSlots(const QueueHeader& h, uint32_t first, size_t n,
                                std::vector<BillingRecord>& records) {
    records.assign(n, BillingRecord{});
    // The slots in one read, or two where they wrap around the end of the queue.
    std::vector<uint8_t> bytes(n * h.recordSize);
    const size_t before = std::min<size_t>(n, h.capacity - first);
    if (!file_.Read(h.SlotOffset(first), bytes.data(), before * h.recordSize))
        return false;
    if (before < n &&
        !file_.Read(h.SlotOffset(0), bytes.data() + before * h.recordSize,
                    (n - before) * h.recordSize)) {
        return false;
    }
    for (size_t i = 0; i < n; ++i)
        std::copy_n(bytes.data() + i * h.recordSize, h.recordSize, records[i].begin());
    return true;
}

DiskQueueReader::Take DiskQueueReader::PeekBatch(std::vector<BillingRecord>& records, size_t most,
                                                 const QueueFile::KeepWaiting& keepWaiting) {
    records.clear();
    peeked_ = false;
    Opened opened(file_);
    if (!opened.Ok()) {
        Trouble("cannot open " + file_.QueueName() + ": " + file_.ErrorText());
        return Take::Unreadable;
    }
    Locked locked(file_, keepWaiting);
    if (!LockAllows(locked.Result()))
        return locked.Result() == QueueLock::GaveUp ? Take::Stopped : Take::LockFailed;
    QueueHeader h;
    if (!ReadHeader(h))
        return Take::Unreadable;
    if (!h.Usable()) {
        // Nothing written here could mend it: the billing server has to recreate the queue.
        Trouble("unusable header in " + file_.QueueName() + " (" + h.Text() +
                "): the record size must be 1 to 256 and the capacity at least 1; the file is "
                "left as it is and nothing is taken");
        return Take::Unusable;
    }
    if (!h.Valid()) {
        // The queue's content is dropped; the producer starts again from slot 0.
        uint8_t bytes[8];
        PutLe32(bytes, 0);
        PutLe32(bytes + 4, 0);
        if (!file_.Write(0, bytes, sizeof bytes)) {
            Trouble("cannot write " + file_.QueueName() + ": " + file_.ErrorText());
            return Take::Unreadable;
        }
        Readable();
        Tell(QueueNotice::Note, "invalid header in " + file_.QueueName() + " (" + h.Text() +
                                    "): indexes reset to 0 and 0, the records in it are dropped");
        return Take::Reset;
    }
    if (h.Empty()) {
        Readable();
        return Take::Empty;
    }
    // A file cut short is never read past its end: the records up to the last whole slot.
    const uint64_t at = h.SlotOffset(h.read);
    const uint64_t size = file_.Size();
    if (at + h.recordSize > size) {
        Trouble(file_.QueueName() + " ends inside slot " + std::to_string(h.read) +
                ", which ends at byte " + std::to_string(at + h.recordSize) +
                ": nothing is taken until the file reaches it");
        return Take::CutShort;
    }
    size_t n = std::min<size_t>(most, (h.write + h.capacity - h.read) % h.capacity);
    for (size_t i = 1; i < n; ++i) {
        if (h.SlotOffset((h.read + static_cast<uint32_t>(i)) % h.capacity) + h.recordSize > size) {
            n = i;
            break;
        }
    }
    if (!ReadSlots(h, h.read, n, records)) {
        records.clear();
        Trouble("cannot read " + file_.QueueName() + ": " + file_.ErrorText());
        return Take::Unreadable;
    }
    Readable();
    peeked_ = true;
    peekedIndex_ = h.read;
    peekedHeader_ = h;
    peekedRecords_ = records;
    return Take::Record;
}

void DiskQueueReader::TakeFirst(size_t n) {
    if (n < peekedRecords_.size())
        peekedRecords_.resize(n);
    if (n == 0)
        peeked_ = false;
}

DiskQueueReader::Committed DiskQueueReader::Commit(const QueueFile::KeepWaiting& keepWaiting) {
    if (!peeked_)
        return Committed::Nothing;
    Opened opened(file_);
    if (!opened.Ok()) {
        Trouble("cannot open " + file_.QueueName() + ": " + file_.ErrorText());
        return Committed::NotNow;
    }
    Locked locked(file_, keepWaiting);
    if (!LockAllows(locked.Result()))
        return locked.Result() == QueueLock::GaveUp ? Committed::Stopped : Committed::NotNow;

    // The records must still be where they were read: same layout, same read index, same bytes.
    // A queue recreated in between may hold other records in those slots, never delivered.
    const auto changed = [this] {
        peeked_ = false;
        const bool one = peekedRecords_.size() == 1;
        Tell(QueueNotice::Note,
             std::string(one ? "the record" : "the records") + " read from slot " +
                 std::to_string(peekedIndex_) + " of " + file_.QueueName() +
                 (one ? " was no longer there when it was" : " were no longer there when they were") +
                 " to be taken out (the queue changed meanwhile): the read index was left as "
                 "it is");
        return Committed::QueueChanged;
    };
    if (file_.Size() < QueueHeader::kSize)
        return changed();
    QueueHeader h;
    if (!ReadHeader(h))
        return Committed::NotNow;
    const uint32_t n = static_cast<uint32_t>(peekedRecords_.size());
    if (!h.Valid() || h.recordSize != peekedHeader_.recordSize ||
        h.capacity != peekedHeader_.capacity || h.read != peekedIndex_ || h.Empty() ||
        (h.write + h.capacity - h.read) % h.capacity < n) {
        return changed();
    }
    const uint64_t last = h.SlotOffset((h.read + n - 1) % h.capacity);
    if (h.SlotOffset(h.read) + h.recordSize > file_.Size() || last + h.recordSize > file_.Size())
        return changed();
    std::vector<BillingRecord> now;
    if (!ReadSlots(h, h.read, n, now)) {
        Trouble("cannot read " + file_.QueueName() + ": " + file_.ErrorText());
        return Committed::NotNow;
    }
    if (now != peekedRecords_)
        return changed();
    uint8_t bytes[4];
    PutLe32(bytes, (h.read + n) % h.capacity);
    if (!file_.Write(4, bytes, sizeof bytes)) {
        Trouble("cannot write " + file_.QueueName() + ": " + file_.ErrorText());
        return Committed::NotNow;
    }
    // The journal names one batch at a time: the read index past this one is on the disk before
    // the next is stored. (The index did move; a flush that fails is told, not retried.)
    if (!file_.Flush()) {
        Tell(QueueNotice::Note, "cannot flush " + file_.QueueName() + ": " + file_.ErrorText() +
                                    "; its read index may go back at a power failure");
    }
    Readable();
    peeked_ = false;
    return Committed::Yes;
}

}  // namespace velk
