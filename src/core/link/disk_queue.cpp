#include "core/link/disk_queue.h"

#include <cctype>

namespace velk {
namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Holds the producer's lock for a scope.
class Locked {
public:
    explicit Locked(QueueFile& file) : file_(file) { file_.Lock(); }
    ~Locked() { file_.Unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    QueueFile& file_;
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
    std::string name;
    for (char c : queueFile.string()) {
        if (c == '/' || c == '\\' || c == ':' || c == '.' || c == '_')
            continue;
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return queueFile.parent_path() / (name + ".lock");
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

bool QueueHeader::Valid() const {
    return write < capacity && read < capacity && recordSize > 0 && recordSize <= kLargestRecord;
}

bool DiskQueueReader::ReadHeader(QueueHeader& header) {
    uint8_t bytes[QueueHeader::kSize];
    if (file_.Size() < QueueHeader::kSize || !file_.Read(0, bytes, sizeof bytes))
        return false;
    header = QueueHeader::Parse(bytes);
    return true;
}

DiskQueueReader::Take DiskQueueReader::Peek(BillingRecord& record) {
    record.fill(0);
    peeked_ = false;
    Opened opened(file_);
    if (!opened.Ok())
        return Take::Unreadable;
    Locked locked(file_);
    QueueHeader h;
    if (!ReadHeader(h))
        return Take::Unreadable;
    if (!h.Valid()) {
        // The queue's content is dropped; the producer starts again from slot 0.
        uint8_t bytes[8];
        PutLe32(bytes, 0);
        PutLe32(bytes + 4, 0);
        file_.Write(0, bytes, sizeof bytes);
        return Take::Reset;
    }
    if (h.Empty())
        return Take::Empty;
    // A file cut short is never read past its end.
    const uint64_t at = h.SlotOffset(h.read);
    if (at + h.recordSize > file_.Size() || !file_.Read(at, record.data(), h.recordSize)) {
        record.fill(0);
        return Take::Unreadable;
    }
    peeked_ = true;
    peekedIndex_ = h.read;
    return Take::Record;
}

bool DiskQueueReader::Commit() {
    if (!peeked_)
        return false;
    peeked_ = false;
    Opened opened(file_);
    if (!opened.Ok())
        return false;
    Locked locked(file_);
    QueueHeader h;
    if (!ReadHeader(h) || !h.Valid() || h.read != peekedIndex_ || h.Empty())
        return false;
    uint8_t bytes[4];
    PutLe32(bytes, (h.read + 1) % h.capacity);
    return file_.Write(4, bytes, sizeof bytes);
}

}  // namespace velk
