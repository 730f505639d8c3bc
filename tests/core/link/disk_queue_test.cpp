#include "core/link/disk_queue.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace velk {
namespace {

// A queue file in memory that records how it is used and refuses to be read past its end.
class MemoryQueueFile : public QueueFile {
public:
    bool Open() override {
        calls += "O";
        return exists;
    }
    void Close() override { calls += "C"; }
    QueueLock Lock(const KeepWaiting&) override {
        calls += "L";
        if (lock == QueueLock::Held)
            ++locked;
        return lock;
    }
    void Unlock() override {
        calls += "U";
        --locked;
    }
    uint64_t Size() override { return bytes.size(); }
    bool Read(uint64_t offset, uint8_t* to, size_t n) override {
        EXPECT_TRUE(Guarded()) << "read without the producer's lock";
        if (offset + n > bytes.size()) {
            ++readsPastTheEnd;
            return false;
        }
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, to);
        return true;
    }
    bool Write(uint64_t offset, const uint8_t* from, size_t n) override {
        EXPECT_TRUE(Guarded()) << "write without the producer's lock";
        if (offset + n > bytes.size())
            return false;
        std::copy_n(from, n, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        return true;
    }
    bool Flush() override {
        EXPECT_TRUE(Guarded()) << "flush without the producer's lock";
        calls += "F";
        return true;
    }
    std::string ErrorText() const override { return "Permission denied"; }
    std::string QueueName() const override { return "/buf/PC_pmstx.dq"; }
    std::string LockName() const override { return "/buf/BUFPCPMSTXDQ.lock"; }

    // A queue with the given header and slots filled with their index.
    void Make(QueueHeader h) {
        bytes.assign(QueueHeader::kSize + uint64_t{h.recordSize} * h.capacity, 0);
        h.Serialize(bytes.data());
        for (uint32_t i = 0; i < h.capacity; ++i) {
            for (uint32_t b = 0; b < h.recordSize; ++b)
                bytes[h.SlotOffset(i) + b] = static_cast<uint8_t>(i + 1);
        }
    }
    QueueHeader Header() const { return QueueHeader::Parse(bytes.data()); }
    bool Guarded() const { return locked == 1 || lock == QueueLock::NoLockFile; }

    std::vector<uint8_t> bytes;
    bool exists = true;
    QueueLock lock = QueueLock::Held;
    int locked = 0;
    int readsPastTheEnd = 0;
    std::string calls;
};

class DiskQueueTest : public ::testing::Test {
protected:
    // What the reader said, one line each: "note: ...", "alarm: ..." or "over: ...".
    std::vector<std::string> said_;
    MemoryQueueFile file_;
    DiskQueueReader reader_{file_, [this](QueueNotice kind, const std::string& text) {
                                static const char* const kKinds[] = {"note: ", "alarm: ", "over: "};
                                said_.push_back(kKinds[static_cast<int>(kind)] + text);
                            }};
    BillingRecord record_{};
};

TEST(DiskQueueNames, QueueFilesAndTheirLocks) {
    EXPECT_STREQ(QueueFileName(0), "PC_pmstx.dq");
    EXPECT_STREQ(QueueFileName(3), "PC_smda2.dq");
    EXPECT_STREQ(QueueFileName(4), "error.dat");
    EXPECT_STREQ(QueueFileName(-1), "error.dat");
    EXPECT_EQ(QueueLockPath("/srv/buf/PC_pmstx.dq"), "/srv/buf/SRVBUFPCPMSTXDQ.lock");
    EXPECT_EQ(QueueLockPath("/var/lib/velk_hd/q.v2/PC_fault.dq"),
              "/var/lib/velk_hd/q.v2/VARLIBVELKHDQV2PCFAULTDQ.lock");
    // Spelt otherwise, the same queue has the same lock.
    EXPECT_EQ(QueueLockPath("/srv//buf/./x/../PC_pmstx.dq"), "/srv/buf/SRVBUFPCPMSTXDQ.lock");
}

TEST_F(DiskQueueTest, EmptyQueueLeavesTheFileUnchanged) {
    file_.Make({7, 7, 120, 20});
    const std::vector<uint8_t> before = file_.bytes;
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Empty);
    EXPECT_EQ(file_.bytes, before);
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Nothing);
    EXPECT_EQ(file_.bytes, before);
    EXPECT_EQ(file_.calls, "OLUC");
    EXPECT_TRUE(said_.empty());
}

TEST_F(DiskQueueTest, RecordStaysInTheQueueUntilItIsCommitted) {
    file_.Make({3, 1, 120, 20});
    ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    EXPECT_EQ(record_[0], 2);  // slot 1
    EXPECT_EQ(record_[119], 2);
    EXPECT_EQ(record_[120], 0);          // the rest of the record area is zero
    EXPECT_EQ(file_.Header().read, 1u);  // a crash now loses nothing
    // Peeking again (a restart) finds the same record.
    ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    EXPECT_EQ(record_[0], 2);
    EXPECT_TRUE(reader_.CommitPending());
    EXPECT_EQ(reader_.PendingSlot(), 1u);
    ASSERT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_FALSE(reader_.CommitPending());
    EXPECT_EQ(file_.Header().read, 2u);
    EXPECT_EQ(file_.Header().write, 3u);
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Nothing);  // once only
    // The new read index is on the disk before the lock goes.
    EXPECT_EQ(file_.calls, "OLUCOLUCOLFUC");
}

TEST_F(DiskQueueTest, ReadIndexWrapsAfterTheLastSlot) {
    file_.Make({0, 19, 120, 20});
    ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    EXPECT_EQ(record_[0], 20);
    ASSERT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_EQ(file_.Header().read, 0u);
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Empty);
}

// Indexes out of range are reset, and every reset is logged with the header as it was.
TEST_F(DiskQueueTest, InvalidIndexesAreResetAndLogged) {
    const QueueHeader invalid[] = {
        {20, 0, 120, 20},  // write index equal to the capacity
        {0, 25, 120, 20},  // read index past it
        {1, 0, 256, 1},    // one slot: only index 0 exists
    };
    for (const QueueHeader& h : invalid) {
        file_.Make({1, 0, h.recordSize, h.capacity});
        h.Serialize(file_.bytes.data());
        said_.clear();
        EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Reset);
        EXPECT_EQ(file_.Header().write, 0u);
        EXPECT_EQ(file_.Header().read, 0u);
        EXPECT_EQ(file_.Header().recordSize, h.recordSize);  // the rest stays as it was
        EXPECT_EQ(record_, BillingRecord{});
        EXPECT_EQ(said_,
                  std::vector<std::string>{"note: invalid header in /buf/PC_pmstx.dq (" + h.Text() +
                                           "): indexes reset to 0 and 0, the records in "
                                           "it are dropped"});
        EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Empty);  // reset once
        EXPECT_EQ(said_.size(), 1u);
    }
    EXPECT_EQ(QueueHeader({20, 0, 120, 20}).Text(),
              "write index 20, read index 0, record size 120, capacity 20");
}

// A record size or capacity that no reset can mend: the file is left alone, and the alarm is
// raised once however often the queue is polled.
TEST_F(DiskQueueTest, UnusableHeaderIsLeftAloneWithOneAlarm) {
    const QueueHeader unusable[] = {
        {1, 0, 257, 20},  // a record larger than the record area
        {1, 0, 0, 20},    // no record at all
        {0, 0, 120, 0},   // no slots
        {30, 40, 0, 0},   // nothing fits, indexes out of range too
    };
    for (const QueueHeader& h : unusable) {
        file_.Make({1, 0, 8, 4});
        h.Serialize(file_.bytes.data());
        const std::vector<uint8_t> before = file_.bytes;
        said_.clear();
        for (int poll = 0; poll < 3; ++poll) {
            EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Unusable);
            EXPECT_EQ(file_.bytes, before);
            EXPECT_EQ(record_, BillingRecord{});
        }
        EXPECT_EQ(said_, std::vector<std::string>{
                             "alarm: unusable header in /buf/PC_pmstx.dq (" + h.Text() +
                             "): the record size must be 1 to 256 and the capacity at least 1; "
                             "the file is left as it is and nothing is taken"});
        // The billing server made the queue anew: records are taken again, and said so.
        file_.Make({1, 0, 8, 4});
        EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
        ASSERT_EQ(said_.size(), 2u);
        EXPECT_EQ(said_[1], "over: /buf/PC_pmstx.dq can be read again");
    }
    // 256 is the largest record that fits.
    file_.Make({1, 0, 256, 2});
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    EXPECT_EQ(record_[255], 1);
}

TEST_F(DiskQueueTest, FileCutShortIsNeverReadPastItsEndAndSaidOnce) {
    file_.Make({5, 4, 120, 20});
    file_.bytes.resize(QueueHeader::kSize + 4 * 120 + 119);  // slot 4 is one byte short
    for (int poll = 0; poll < 3; ++poll) {
        EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::CutShort);
        file_.bytes.push_back(0);  // the producer is still writing: the size changes
        file_.bytes.pop_back();
    }
    EXPECT_EQ(file_.readsPastTheEnd, 0);
    EXPECT_EQ(record_, BillingRecord{});
    EXPECT_EQ(said_, std::vector<std::string>{"alarm: /buf/PC_pmstx.dq ends inside slot 4, which "
                                              "ends at byte 616: nothing is taken until the "
                                              "file reaches it"});
    file_.bytes.resize(10);  // not even a header
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Unreadable);
    EXPECT_EQ(file_.readsPastTheEnd, 0);
    EXPECT_EQ(file_.bytes.size(), 10u);
    EXPECT_EQ(said_.back(), "alarm: /buf/PC_pmstx.dq is shorter than its 16-byte header");
}

// A file that cannot be opened (a read-only mount, a queue of another user) is said once with
// the reason, not at every poll.
TEST_F(DiskQueueTest, FileThatCannotBeOpenedIsSaidOnce) {
    file_.exists = false;
    for (int poll = 0; poll < 3; ++poll)
        EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Unreadable);
    EXPECT_EQ(file_.calls, "OOO");
    EXPECT_EQ(said_,
              std::vector<std::string>{"alarm: cannot open /buf/PC_pmstx.dq: Permission denied"});
}

// A lock file that is there but cannot be locked (ENOLCK on a network file system, no read
// permission): nothing is read that poll, and the alarm is raised once.
TEST_F(DiskQueueTest, LockThatCannotBeTakenTakesNothing) {
    file_.Make({3, 1, 120, 20});
    file_.lock = QueueLock::Failed;
    for (int poll = 0; poll < 2; ++poll)
        EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::LockFailed);
    EXPECT_EQ(file_.calls, "OLCOLC");  // never read, never unlocked
    EXPECT_EQ(record_, BillingRecord{});
    EXPECT_EQ(said_, std::vector<std::string>{"alarm: cannot lock /buf/BUFPCPMSTXDQ.lock: "
                                              "Permission denied; nothing is taken"});
    file_.lock = QueueLock::GaveUp;
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Stopped);
    EXPECT_FALSE(reader_.CommitPending());
}

// A queue without a lock file is read, and that is said once while it lasts.
TEST_F(DiskQueueTest, QueueWithoutALockFileIsNotedOnce) {
    file_.Make({5, 1, 120, 20});
    file_.lock = QueueLock::NoLockFile;
    const std::string note =
        "note: /buf/PC_pmstx.dq has no lock file /buf/BUFPCPMSTXDQ.lock: "
        "it is read without the billing server's lock";
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
        ASSERT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    }
    EXPECT_EQ(said_, std::vector<std::string>{note});
    file_.lock = QueueLock::Held;  // the billing server made its lock file
    ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    file_.lock = QueueLock::NoLockFile;  // and lost it again
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_EQ(said_, (std::vector<std::string>{note, note}));
}

// Between the take and the commit the queue was reset or recreated (its producer restarted): the
// commit must not move a read index that no longer means that record.
TEST_F(DiskQueueTest, CommitAfterTheQueueChangedMovesNothing) {
    struct Change {
        const char* what;
        std::function<void(MemoryQueueFile&)> apply;
    };
    const Change changes[] = {
        {"reset to 0 and 0",
         [](MemoryQueueFile& f) {
             QueueHeader h = f.Header();
             h.write = h.read = 0;
             h.Serialize(f.bytes.data());
         }},
        {"recreated with another record in the slot",
         [](MemoryQueueFile& f) { f.bytes[f.Header().SlotOffset(1) + 119] ^= 1; }},
        {"recreated with another record size",
         [](MemoryQueueFile& f) {
             f.Make({3, 1, 60, 40});
         }},
        {"recreated with another capacity",
         [](MemoryQueueFile& f) {
             f.Make({3, 1, 120, 30});
         }},
        {"cut short inside the slot", [](MemoryQueueFile& f) { f.bytes.resize(200); }},
        {"cut short inside the header", [](MemoryQueueFile& f) { f.bytes.resize(8); }},
    };
    for (const Change& change : changes) {
        file_.Make({3, 1, 120, 20});
        said_.clear();
        ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record) << change.what;
        change.apply(file_);
        const std::vector<uint8_t> before = file_.bytes;
        EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::QueueChanged) << change.what;
        EXPECT_EQ(file_.bytes, before) << change.what;
        EXPECT_FALSE(reader_.CommitPending()) << change.what;
        EXPECT_EQ(
            said_,
            std::vector<std::string>{"note: the record read from slot 1 of /buf/PC_pmstx.dq was no "
                                     "longer there when it was to be taken out (the queue changed "
                                     "meanwhile): the read index was left as it is"})
            << change.what;
    }
    // The producer adding records meanwhile changes nothing that counts.
    file_.Make({3, 1, 120, 20});
    ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    QueueHeader h = file_.Header();
    h.write = 7;
    h.Serialize(file_.bytes.data());
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_EQ(file_.Header().read, 2u);
}

// A batch is the records from the read index on, in order, around the queue's end, never more
// than asked for or than the file holds; its commit moves the read index past all of them at
// once (or past the first n taken), and only while every one of them is still in its slot.
TEST_F(DiskQueueTest, BatchesAreTakenInOrderAroundTheEndAndCommittedAtOnce) {
    std::vector<BillingRecord> records;
    const auto firstBytes = [&records] {
        std::vector<int> v;
        for (const BillingRecord& r : records)
            v.push_back(r[0]);
        return v;
    };
    file_.Make({2, 17, 120, 20});  // slots 17, 18, 19, 0, 1 waiting
    ASSERT_EQ(reader_.PeekBatch(records, 4), DiskQueueReader::Take::Record);
    EXPECT_EQ(firstBytes(), (std::vector<int>{18, 19, 20, 1}));
    EXPECT_EQ(records[3][119], 1);
    EXPECT_EQ(records[3][120], 0);  // the area beyond the slot stays zero
    EXPECT_EQ(reader_.PendingSlot(), 17u);
    EXPECT_EQ(reader_.PendingCount(), 4u);
    const std::string calls = file_.calls;
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_EQ(file_.calls.substr(calls.size()), "OLFUC");  // one move, one flush
    EXPECT_EQ(file_.Header().read, 1u);
    ASSERT_EQ(reader_.PeekBatch(records, 500), DiskQueueReader::Take::Record);
    EXPECT_EQ(firstBytes(), std::vector<int>{2});
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_EQ(reader_.PeekBatch(records, 500), DiskQueueReader::Take::Empty);

    // Only the first records taken leave the queue.
    file_.Make({9, 3, 120, 20});
    ASSERT_EQ(reader_.PeekBatch(records, 500), DiskQueueReader::Take::Record);
    EXPECT_EQ(records.size(), 6u);
    reader_.TakeFirst(2);
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_EQ(file_.Header().read, 5u);
    ASSERT_EQ(reader_.PeekBatch(records, 500), DiskQueueReader::Take::Record);
    reader_.TakeFirst(0);
    EXPECT_FALSE(reader_.CommitPending());

    // A file that ends inside a later slot gives the whole slots before it.
    file_.Make({9, 3, 120, 20});
    file_.bytes.resize(QueueHeader::kSize + 120 * 6 + 50);
    ASSERT_EQ(reader_.PeekBatch(records, 500), DiskQueueReader::Take::Record);
    EXPECT_EQ(firstBytes(), (std::vector<int>{4, 5, 6}));
    EXPECT_EQ(file_.readsPastTheEnd, 0);

    // Another record in the batch's last slot: nothing moves.
    file_.Make({9, 3, 120, 20});
    ASSERT_EQ(reader_.PeekBatch(records, 3), DiskQueueReader::Take::Record);
    file_.bytes[file_.Header().SlotOffset(5)] ^= 1;
    said_.clear();
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::QueueChanged);
    EXPECT_EQ(file_.Header().read, 3u);
    EXPECT_EQ(said_, std::vector<std::string>{
                         "note: the records read from slot 3 of /buf/PC_pmstx.dq were no "
                         "longer there when they were to be taken out (the queue changed "
                         "meanwhile): the read index was left as it is"});
}

// A commit that cannot be made now stays pending and is made later, exactly once.
TEST_F(DiskQueueTest, CommitThatCannotBeMadeNowStaysPending) {
    file_.Make({3, 1, 120, 20});
    ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    const std::pair<const char*, std::function<void()>> troubles[] = {
        {"file", [this] { file_.exists = false; }},
        {"lock", [this] { file_.lock = QueueLock::Failed; }},
    };
    for (const auto& [what, trouble] : troubles) {
        trouble();
        EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::NotNow) << what;
        EXPECT_TRUE(reader_.CommitPending()) << what;
        EXPECT_EQ(file_.Header().read, 1u) << what;
        file_.exists = true;
        file_.lock = QueueLock::Held;
    }
    file_.lock = QueueLock::GaveUp;
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Stopped);
    EXPECT_TRUE(reader_.CommitPending());
    file_.lock = QueueLock::Held;
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_EQ(file_.Header().read, 2u);
    EXPECT_EQ(reader_.Commit(), DiskQueueReader::Committed::Nothing);
    EXPECT_EQ(said_.back(), "over: /buf/PC_pmstx.dq can be read again");
}

}  // namespace
}  // namespace velk
