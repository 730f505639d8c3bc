// The disk-buffer channel on real queue files: the producer's lock, a producer that dies holding
// it, and velk-billing-sim filling the queue while the reader takes the records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <thread>

#include "platform/disk_buffer_reader.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

// A queue file with n records of 120 bytes (slot i filled with i + 1) and its lock file.
fs::path MakeQueue(const fs::path& dir, uint32_t records) {
    const fs::path queue = dir / QueueFileName(0);
    std::vector<uint8_t> bytes(QueueHeader::kSize + 120 * 20, 0xFF);
    QueueHeader{records, 0, 120, 20}.Serialize(bytes.data());
    for (uint32_t i = 0; i < records; ++i)
        bytes[QueueHeader::kSize + i * 120 + 2] = static_cast<uint8_t>(i + 1);  // sequence
    test::WriteFile(queue, std::string(bytes.begin(), bytes.end()));
    test::WriteFile(QueueLockPath(queue), "");
    return queue;
}

// Holds the producer's lock from another process until released or killed.
class Producer {
public:
    explicit Producer(const fs::path& lockFile) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release_), 0);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(lockFile.c_str(), O_RDWR);
            ::flock(fd, LOCK_EX);
            char c = 1;
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release_[0], &c, 1);
            _exit(0);
        }
        char c;
        (void)!::read(ready[0], &c, 1);
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~Producer() { Release(); }
    void Release() {
        if (pid_ < 0)
            return;
        char c = 1;
        (void)!::write(release_[1], &c, 1);
        Reap();
    }
    void Kill() {
        ::kill(pid_, SIGKILL);
        Reap();
    }

private:
    void Reap() {
        waitpid(pid_, nullptr, 0);
        ::close(release_[0]);
        ::close(release_[1]);
        pid_ = -1;
    }
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
};

TEST(DiskBuffer, LockHeldByTheProducerBlocksTheTakeUntilReleased) {
    test::TempDir dir;
    const fs::path queue = MakeQueue(dir.Path(), 1);
    Producer producer(QueueLockPath(queue));
    PosixQueueFile file(queue);
    DiskQueueReader reader(file);
    std::atomic<bool> done{false};
    DiskQueueReader::Take take = DiskQueueReader::Take::Empty;
    BillingRecord record{};
    std::thread t([&] {
        take = reader.Peek(record);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done);
    producer.Release();
    t.join();
    EXPECT_EQ(take, DiskQueueReader::Take::Record);
    EXPECT_EQ(record[2], 1);
}

// A producer that dies holding the lock (the abandoned mutex) does not stall the reader: the
// kernel releases its lock, and the record is taken.
TEST(DiskBuffer, ProducerKilledHoldingTheLockDoesNotBlockTheReader) {
    test::TempDir dir;
    const fs::path queue = MakeQueue(dir.Path(), 2);
    Producer producer(QueueLockPath(queue));
    producer.Kill();
    PosixQueueFile file(queue);
    DiskQueueReader reader(file);
    BillingRecord record{};
    ASSERT_EQ(reader.Peek(record), DiskQueueReader::Take::Record);
    ASSERT_TRUE(reader.Commit());
    EXPECT_EQ(
        QueueHeader::Parse(reinterpret_cast<const uint8_t*>(test::ReadFile(queue).data())).read,
        1u);
}

TEST(DiskBuffer, QueueWithoutALockFileIsReadUnguarded) {
    test::TempDir dir;
    const fs::path queue = MakeQueue(dir.Path(), 1);
    fs::remove(QueueLockPath(queue));
    PosixQueueFile file(queue);
    DiskQueueReader reader(file);
    BillingRecord record{};
    EXPECT_EQ(reader.Peek(record), DiskQueueReader::Take::Record);
    EXPECT_FALSE(fs::exists(QueueLockPath(queue)));
}

TEST(DiskBuffer, DirectoryThatCannotBeReadIsRefused) {
    test::TempDir dir;
    AppSettings settings;
    DiskBufferReader reader(settings, [](const uint8_t*, uint32_t) {});
    std::string error;
    EXPECT_FALSE(reader.Start((dir / "missing").string(), error));
    EXPECT_EQ(error, (dir / "missing").string() + "\nNo such file or directory");
    EXPECT_FALSE(reader.Running());
    EXPECT_FALSE(reader.Start("", error));
    EXPECT_EQ(error, "(no directory is set)\nNo such file or directory");
    EXPECT_TRUE(reader.Start(dir.Path().string(), error));  // the queue file may come later
    EXPECT_TRUE(reader.Running());
    reader.Stop();
    EXPECT_FALSE(reader.Running());
}

// velk-billing-sim fills the queue, holding its lock for a moment each time, while the reader's
// thread takes the records and hands them to this thread one by one.
TEST(DiskBuffer, RecordsFromTheBillingServerArriveInOrderOnTheMainThread) {
    test::TempDir dir;
    constexpr int kRecords = 40;
    QProcess sim;
    sim.start(QStringLiteral(VELK_BILLING_SIM),
              {"--dir", QString::fromStdString(dir.Path().string()), "--count",
               QString::number(kRecords), "--rate", "200", "--hold-lock", "2", "--seed", "4"});
    ASSERT_TRUE(sim.waitForStarted());
    AppSettings settings;
    std::vector<std::string> texts;
    bool offMainThread = false;
    DiskBufferReader reader(settings, [&](const uint8_t* frame, uint32_t length) {
        offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        texts.emplace_back(reinterpret_cast<const char*>(frame) + 4, length - 3);
    });
    std::string error;
    ASSERT_TRUE(reader.Start(dir.Path().string(), error)) << error;
    QElapsedTimer t;
    t.start();
    while (texts.size() < kRecords && t.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    reader.Stop();
    if (sim.state() != QProcess::NotRunning) {
        ASSERT_TRUE(sim.waitForFinished(10000));
    }
    std::vector<std::string> expected;
    for (const QByteArray& line : sim.readAllStandardOutput().split('\n')) {
        if (line.startsWith("delivered "))
            expected.push_back(line.mid(line.indexOf(' ', 10) + 1).toStdString());
    }
    ASSERT_EQ(expected.size(), static_cast<size_t>(kRecords));
    EXPECT_EQ(texts, expected);
    EXPECT_FALSE(offMainThread);
    const std::string q = test::ReadFile(dir / QueueFileName(0));
    const QueueHeader h = QueueHeader::Parse(reinterpret_cast<const uint8_t*>(q.data()));
    EXPECT_EQ(h.read, h.write);  // everything taken
}

}  // namespace
}  // namespace velk
