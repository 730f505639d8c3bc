#include "core/link/disk_queue.h"

#include <gtest/gtest.h>

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
    void Lock() override {
        calls += "L";
        ++locked;
    }
    void Unlock() override {
        calls += "U";
        --locked;
    }
    uint64_t Size() override { return bytes.size(); }
    bool Read(uint64_t offset, uint8_t* to, size_t n) override {
        EXPECT_EQ(locked, 1) << "read without the producer's lock";
        if (offset + n > bytes.size()) {
            ++readsPastTheEnd;
            return false;
        }
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, to);
        return true;
    }
    bool Write(uint64_t offset, const uint8_t* from, size_t n) override {
        EXPECT_EQ(locked, 1) << "write without the producer's lock";
        if (offset + n > bytes.size())
            return false;
        std::copy_n(from, n, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        return true;
    }

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

    std::vector<uint8_t> bytes;
    bool exists = true;
    int locked = 0;
    int readsPastTheEnd = 0;
    std::string calls;
};

class DiskQueueTest : public ::testing::Test {
protected:
    MemoryQueueFile file_;
    DiskQueueReader reader_{file_};
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
}

TEST_F(DiskQueueTest, EmptyQueueLeavesTheFileUnchanged) {
    file_.Make({7, 7, 120, 20});
    const std::vector<uint8_t> before = file_.bytes;
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Empty);
    EXPECT_EQ(file_.bytes, before);
    EXPECT_FALSE(reader_.Commit());
    EXPECT_EQ(file_.bytes, before);
    EXPECT_EQ(file_.calls, "OLUC");
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
    ASSERT_TRUE(reader_.Commit());
    EXPECT_EQ(file_.Header().read, 2u);
    EXPECT_EQ(file_.Header().write, 3u);
    EXPECT_FALSE(reader_.Commit());  // once only
    EXPECT_EQ(file_.calls, "OLUCOLUCOLUC");
}

TEST_F(DiskQueueTest, ReadIndexWrapsAfterTheLastSlot) {
    file_.Make({0, 19, 120, 20});
    ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    EXPECT_EQ(record_[0], 20);
    ASSERT_TRUE(reader_.Commit());
    EXPECT_EQ(file_.Header().read, 0u);
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Empty);
}

TEST_F(DiskQueueTest, InvalidHeadersAreResetAndNothingIsTaken) {
    const QueueHeader invalid[] = {
        {20, 0, 120, 20},  // write index equal to the capacity
        {0, 25, 120, 20},  // read index past it
        {1, 0, 257, 20},   // a record larger than the record area
        {1, 0, 0, 20},     // no record at all
        {0, 0, 120, 0},    // no slots
    };
    for (const QueueHeader& h : invalid) {
        file_.Make({1, 0, 8, 4});
        h.Serialize(file_.bytes.data());
        EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Reset);
        EXPECT_EQ(file_.Header().write, 0u);
        EXPECT_EQ(file_.Header().read, 0u);
        EXPECT_EQ(file_.Header().recordSize, h.recordSize);  // the rest stays as it was
        EXPECT_EQ(record_, BillingRecord{});
    }
    // 256 is the largest record that fits.
    file_.Make({1, 0, 256, 2});
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    EXPECT_EQ(record_[255], 1);
}

TEST_F(DiskQueueTest, TruncatedFileIsNeverReadPastItsEnd) {
    file_.Make({5, 4, 120, 20});
    file_.bytes.resize(QueueHeader::kSize + 4 * 120 + 119);  // slot 4 is one byte short
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Unreadable);
    EXPECT_EQ(file_.readsPastTheEnd, 0);
    EXPECT_EQ(record_, BillingRecord{});
    file_.bytes.resize(10);  // not even a header
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Unreadable);
    EXPECT_EQ(file_.readsPastTheEnd, 0);
    EXPECT_EQ(file_.bytes.size(), 10u);
}

TEST_F(DiskQueueTest, MissingFileTakesNothing) {
    file_.exists = false;
    EXPECT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Unreadable);
    EXPECT_EQ(file_.calls, "O");
}

// Between the peek and the commit the queue was reset (its producer restarted): the commit must
// not move a read index that no longer means that record.
TEST_F(DiskQueueTest, CommitAfterTheQueueChangedMovesNothing) {
    file_.Make({3, 1, 120, 20});
    ASSERT_EQ(reader_.Peek(record_), DiskQueueReader::Take::Record);
    QueueHeader h = file_.Header();
    h.write = 0;
    h.read = 0;
    h.Serialize(file_.bytes.data());
    EXPECT_FALSE(reader_.Commit());
    EXPECT_EQ(file_.Header().read, 0u);
}

}  // namespace
}  // namespace velk
