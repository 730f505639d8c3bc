// The hard-disk buffer's queue file as the billing server leaves it: any header, any size, cut
// short, changed between a look and a take, its lock sometimes not to be had. The reader never
// reads past the file's end, writes nothing but the header's indexes (and never those of a header
// it cannot use), always holds the producer's lock while it reads, hands over exactly the slot's
// bytes, and moves the read index by one slot at a time, only past the record it handed over.
#include <algorithm>
#include <string>
#include <vector>

#include "core/link/billing_record.h"
#include "core/link/disk_queue.h"
#include "fuzz_input.h"

namespace velk::fuzz {
namespace {

class MemoryQueueFile : public QueueFile {
public:
    bool Open() override {
        FUZZ_CHECK(!open_);
        open_ = openOk;
        return open_;
    }
    void Close() override {
        FUZZ_CHECK(open_ && locks == 0);
        open_ = false;
    }
    QueueLock Lock(const KeepWaiting&) override {
        FUZZ_CHECK(open_);
        if (lock == QueueLock::Held)
            ++locks;
        return lock;
    }
    void Unlock() override {
        FUZZ_CHECK(locks == 1);
        --locks;
    }
    uint64_t Size() override { return bytes.size(); }
    bool Read(uint64_t offset, uint8_t* to, size_t n) override {
        FUZZ_CHECK(open_ && Guarded());
        FUZZ_CHECK(offset + n <= bytes.size());
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, to);
        return true;
    }
    bool Write(uint64_t offset, const uint8_t* from, size_t n) override {
        FUZZ_CHECK(open_ && Guarded());
        // Only the indexes: the read index alone, or both when the queue is reset.
        FUZZ_CHECK((offset == 4 && n == 4) || (offset == 0 && n == 8));
        FUZZ_CHECK(offset + n <= bytes.size());
        std::copy_n(from, n, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        return true;
    }
    bool Flush() override {
        FUZZ_CHECK(open_ && Guarded());
        return true;
    }
    std::string ErrorText() const override { return "error"; }
    std::string QueueName() const override { return "queue"; }
    std::string LockName() const override { return "lock"; }
    bool Guarded() const { return locks == 1 || lock == QueueLock::NoLockFile; }

    std::vector<uint8_t> bytes;
    bool openOk = true;
    QueueLock lock = QueueLock::Held;
    int locks = 0;

private:
    bool open_ = false;
};

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velk;
    using namespace velk::fuzz;
    FuzzInput in(data, size);
    MemoryQueueFile file;
    {
        const std::string initial = in.Take(in.Word() % 4200u);
        file.bytes.assign(initial.begin(), initial.end());
    }
    DiskQueueReader reader(file,
                           [](QueueNotice, const std::string& text) { FUZZ_CHECK(!text.empty()); });
    BillingRecord record;
    bool peeked = false;
    QueueHeader atPeek;
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        if (op < 100) {
            const DiskQueueReader::Take take = reader.Peek(record);
            FUZZ_CHECK(file.locks == 0);
            peeked = take == DiskQueueReader::Take::Record;
            if (file.bytes.size() >= QueueHeader::kSize)
                atPeek = QueueHeader::Parse(file.bytes.data());
            if (peeked) {
                FUZZ_CHECK(atPeek.Valid() && !atPeek.Empty());
                const uint64_t at = atPeek.SlotOffset(atPeek.read);
                FUZZ_CHECK(std::equal(record.begin(), record.begin() + atPeek.recordSize,
                                      file.bytes.begin() + static_cast<std::ptrdiff_t>(at)));
                FUZZ_CHECK(std::all_of(record.begin() + atPeek.recordSize, record.end(),
                                       [](uint8_t b) { return b == 0; }));
            } else {
                FUZZ_CHECK(
                    std::all_of(record.begin(), record.end(), [](uint8_t b) { return b == 0; }));
            }
            if (take == DiskQueueReader::Take::Reset)
                FUZZ_CHECK(atPeek.write == 0 && atPeek.read == 0 && atPeek.Usable());
            if (take == DiskQueueReader::Take::Unusable)
                FUZZ_CHECK(!atPeek.Usable());
        } else if (op < 160) {
            const QueueHeader before = file.bytes.size() >= QueueHeader::kSize
                                           ? QueueHeader::Parse(file.bytes.data())
                                           : QueueHeader{};
            const std::vector<uint8_t> bytesBefore = file.bytes;
            const DiskQueueReader::Committed committed = reader.Commit();
            FUZZ_CHECK(file.locks == 0);
            if (committed == DiskQueueReader::Committed::Yes) {
                // Only the record peeked is taken, from the queue as it is now, where the slot
                // still holds it.
                FUZZ_CHECK(peeked && before.Valid() && before.read == atPeek.read);
                const uint64_t at = before.SlotOffset(before.read);
                FUZZ_CHECK(std::equal(record.begin(), record.begin() + before.recordSize,
                                      bytesBefore.begin() + static_cast<std::ptrdiff_t>(at)));
                const QueueHeader now = QueueHeader::Parse(file.bytes.data());
                FUZZ_CHECK(now.read == (before.read + 1) % before.capacity);
                FUZZ_CHECK(now.write == before.write);
            } else {
                FUZZ_CHECK(file.bytes == bytesBefore);
            }
            FUZZ_CHECK((committed == DiskQueueReader::Committed::Nothing) == !peeked);
            peeked = reader.CommitPending();
        } else if (op < 200) {
            // The producer writes: a byte anywhere, its write index, or more slots.
            const uint32_t at = in.Word();
            if (!file.bytes.empty())
                file.bytes[at % file.bytes.size()] = in.Byte();
        } else if (op < 220) {
            file.bytes.resize(in.Word() % 4200u);  // cut short or grown
        } else if (op < 240) {
            file.openOk = !file.openOk;
        } else {
            file.lock = static_cast<QueueLock>(in.Byte() % 4);
        }
    }
    return 0;
}
