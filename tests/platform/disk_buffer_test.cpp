// The disk-buffer channel on real queue files: the producer's lock, a producer that dies holding
// it or holds it through a stop, queues this user may not use, and velk-billing-sim filling the
// queue while the reader takes the records.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
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
#include "support/ordinary_user.h"
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

uint32_t ReadIndex(const fs::path& queue) {
    return QueueHeader::Parse(reinterpret_cast<const uint8_t*>(test::ReadFile(queue).data())).read;
}

// Whether another process holds the lock of this lock file.
bool LockedElsewhere(const fs::path& lockFile) {
    const int fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    const bool busy = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (fd >= 0)
        ::close(fd);
    return busy;
}

// Holds the producer's lock from another process until released or killed, or for holdMs.
class Producer {
public:
    explicit Producer(const fs::path& lockFile, int holdMs = -1) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release_), 0);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(lockFile.c_str(), O_RDWR);
            ::flock(fd, LOCK_EX);
            char c = 1;
            (void)!::write(ready[1], &c, 1);
            pollfd released{release_[0], POLLIN, 0};
            ::poll(&released, 1, holdMs);
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
    ASSERT_EQ(reader.Commit(), DiskQueueReader::Committed::Yes);
    EXPECT_EQ(ReadIndex(queue), 1u);
}

// A producer that holds its lock for longer than a stop may take: the stop ends anyway, while
// the producer still holds the lock, and nothing is lost. A record not yet taken stays in the
// queue; one already stored stays there too (it leaves the queue when the queue is read next,
// the journal naming it stored), and the log says so. A producer that lets go in time lets the
// stored record leave the queue.
TEST(DiskBuffer, StopDoesNotWaitForAProducerHoldingItsLock) {
    using std::chrono::milliseconds;
    struct Case {
        const char* what;
        bool afterTheStore;  // the producer takes the lock when the record is stored
        int holdMs;
        DiskBufferStopTiming timing;
        int delivered;
        uint32_t readIndex;
        bool said;  // that the stored record is still in the queue
    };
    const Case cases[] = {
        {"before the take, longer than a stop",
         false,
         8000,
         {milliseconds(200), milliseconds(1000)},
         0,
         0,
         false},
        {"after the store, longer than a stop",
         true,
         8000,
         {milliseconds(200), milliseconds(1000)},
         1,
         0,
         true},
        {"after the store, briefly",
         true,
         300,
         {milliseconds(3000), milliseconds(5000)},
         1,
         1,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        const fs::path queue = MakeQueue(dir.Path(), 1);
        std::unique_ptr<Producer> producer;
        if (!c.afterTheStore)
            producer = std::make_unique<Producer>(QueueLockPath(queue), c.holdMs);
        AppSettings settings;
        int delivered = 0;
        std::vector<std::string> said;
        DiskBufferReader reader(
            settings,
            [&](uint32_t, const std::vector<BillingRecord>& records) {
                delivered += static_cast<int>(records.size());
                if (c.afterTheStore)
                    producer = std::make_unique<Producer>(QueueLockPath(queue), c.holdMs);
                return records.size();
            },
            [&said](QueueNotice, const std::string& text) { said.push_back(text); }, c.timing);
        std::string error;
        ASSERT_TRUE(reader.Start(dir.Path().string(), error)) << error;
        // Until the reader waits for the lock: after some polls, or after the store.
        QElapsedTimer t;
        t.start();
        while ((c.afterTheStore ? delivered == 0 : t.elapsed() < 300) && t.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        ASSERT_NE(producer, nullptr);
        reader.Stop();
        // The stop did not wait for a producer that holds on.
        EXPECT_EQ(LockedElsewhere(QueueLockPath(queue)), c.holdMs > 1000);
        EXPECT_FALSE(reader.Running());
        EXPECT_EQ(delivered, c.delivered);
        EXPECT_EQ(ReadIndex(queue), c.readIndex);
        const std::vector<std::string> again = {
            "stopped before the records from slot 0 of " + queue.string() +
            " (1), already stored, could be taken out of the queue: they leave the queue when "
            "it is read next, without being stored again"};
        EXPECT_EQ(said, c.said ? again : std::vector<std::string>{});
    }
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
    DiskBufferReader reader(settings, [](uint32_t, const std::vector<BillingRecord>& records) {
        return records.size();
    });
    std::string error;
    EXPECT_FALSE(reader.Start((dir / "missing").string(), error));
    EXPECT_EQ(error, std::string(kHdDirectoryUnreadable) + (dir / "missing").string() +
                         "\nNo such file or directory");
    EXPECT_FALSE(reader.Running());
    EXPECT_FALSE(reader.Start("", error));
    EXPECT_EQ(error, std::string(kHdDirectoryUnreadable) +
                         "(no directory is set)\nNo such file or directory");
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
    DiskBufferReader reader(
        settings, [&](uint32_t, const std::vector<BillingRecord>& records) {
            offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
            for (const BillingRecord& r : records) {
                const std::vector<uint8_t> frame =
                    ConvertBillingRecord(r, settings.Hex_Type, settings.APP_LCRinMandatory);
                texts.emplace_back(reinterpret_cast<const char*>(frame.data()) + 4,
                                   ParseLengthDigits(&frame[1]) - 3);
            }
            return records.size();
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

// What a child process wrote into the pipe's reading end fd, which is closed.
std::string Drain(int fd) {
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

// Runs body in a child process as an ordinary user and returns what it wrote, or "(died)".
std::string AsOrdinaryUser(const std::function<std::string()>& body) {
    int out[2];
    if (::pipe(out) != 0)
        return "(no pipe)";
    const int code = test::AsOrdinaryUser([&] {
        const std::string text = body();
        (void)!::write(out[1], text.data(), text.size());
        return 0;
    });
    ::close(out[1]);
    const std::string text = Drain(out[0]);
    return code == 0 ? text : "(died)";
}

// Takes three times from the queue of dir, as its reader would; what it said, one line each.
std::string ThreeTakes(const fs::path& dir, DiskQueueReader::Take expected) {
    PosixQueueFile file(dir / QueueFileName(0));
    std::string said;
    DiskQueueReader reader(file,
                           [&said](QueueNotice, const std::string& text) { said += text + "\n"; });
    BillingRecord record{};
    for (int i = 0; i < 3; ++i) {
        if (reader.Peek(record) != expected || record != BillingRecord{})
            return "(took something)";
    }
    return said;
}

// What keeps the reader from its queue is said at Connect, as a missing directory is: a directory
// or queue this user cannot read, a queue it cannot write. While it reads, a queue it cannot open
// or a lock it cannot take is said once, and nothing is taken.
TEST(DiskBuffer, QueueThatThisUserMayNotUseIsRefusedAndSaidOnce) {
    struct Case {
        const char* what;
        fs::perms dir, queue, lock;
        const char* refusal;  // what Connect says, before the path and the reason
        char refused;         // the path: the queue, its lock or the directory
        DiskQueueReader::Take take;
        std::string said;  // what three takes say, {Q} and {L} standing for the paths
    };
    const auto rw = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                    fs::perms::group_write | fs::perms::others_read | fs::perms::others_write;
    const auto r = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                   fs::perms::others_read;
    const auto own = fs::perms::owner_read | fs::perms::owner_write;
    const auto open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec;
    using Take = DiskQueueReader::Take;
    const Case cases[] = {
        {"everything allowed", open, rw, r, "", 0, Take::Empty, ""},
        {"queue read-only", open, r, r, kHdQueueUnwritable, 'Q', Take::Unreadable,
         "cannot open {Q}: Permission denied"},
        {"queue unreadable", open, own, r, kHdQueueUnreadable, 'Q', Take::Unreadable,
         "cannot open {Q}: Permission denied"},
        {"lock file unreadable", open, rw, own, kHdQueueUnreadable, 'L', Take::LockFailed,
         "cannot lock {L}: Permission denied; nothing is taken"},
        {"directory closed", fs::perms::owner_all, rw, r, kHdDirectoryUnreadable, 'D',
         Take::Unreadable, "cannot open {Q}: Permission denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir base;
        fs::permissions(base.Path(), open);
        const fs::path dir = base / "buffer";
        fs::create_directory(dir);
        const fs::path queue = MakeQueue(dir, 0);
        const fs::path lock = QueueLockPath(queue);
        fs::permissions(queue, c.queue);
        fs::permissions(lock, c.lock);
        fs::permissions(dir, c.dir);
        const fs::path refused = c.refused == 'Q' ? queue : c.refused == 'L' ? lock : dir;
        EXPECT_EQ(AsOrdinaryUser([&] { return QueueRefusal(dir.string()); }),
                  c.refused == 0 ? "" : c.refusal + refused.string() + "\nPermission denied");
        std::string said = c.said;
        for (const auto& [name, path] : {std::pair{"{Q}", queue}, std::pair{"{L}", lock}}) {
            if (const size_t at = said.find(name); at != std::string::npos)
                said.replace(at, 3, path.string());
        }
        EXPECT_EQ(AsOrdinaryUser([&] { return ThreeTakes(dir, c.take); }),
                  said.empty() ? "" : said + "\n");
    }
}

// Runs body as root in a mount namespace of its own where dir is a read-only bind of itself, as
// a service's sandbox leaves every path outside its own; "(no namespace)" where none can be made.
std::string InReadOnlyBind(const fs::path& dir, const std::function<std::string()>& body) {
    int out[2];
    if (::geteuid() != 0 || ::pipe(out) != 0)
        return "(no namespace)";
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::string text = "(no namespace)";
        if (::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
            ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) ==
                0) {
            text = body();
        }
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    const std::string text = Drain(out[0]);
    ::waitpid(pid, nullptr, 0);
    return text;
}

TEST(DiskBuffer, QueueOnAReadOnlyMountIsRefusedAndSaidOnce) {
    test::TempDir dir;
    const fs::path queue = MakeQueue(dir.Path(), 1);
    const std::string refusal =
        InReadOnlyBind(dir.Path(), [&] { return QueueRefusal(dir.Path()); });
    if (refusal == "(no namespace)")
        GTEST_SKIP() << "no mount namespace can be made here";
    EXPECT_EQ(refusal,
              std::string(kHdQueueUnwritable) + dir.Path().string() + "\nRead-only file system");
    EXPECT_EQ(
        InReadOnlyBind(dir.Path(),
                       [&] { return ThreeTakes(dir.Path(), DiskQueueReader::Take::Unreadable); }),
        "cannot open " + queue.string() + ": Read-only file system\n");
    EXPECT_EQ(ReadIndex(queue), 0u);
}

// scripts/run hd starts velk-billing-sim with the relative directory "demo/buffer" and gives VELK
// the absolute one; a link or a trailing separator spells it otherwise again. Both sides must
// lock one file, or the reader would read the queue while the producer writes it.
TEST(DiskBuffer, ProducerAndReaderLockOneFileHoweverTheDirectoryIsSpelt) {
    struct Case {
        const char* producer;  // relative to the producer's working directory
        const char* reader;    // under the same directory
    };
    const Case cases[] = {
        {"buffer", "buffer"}, {"./buffer/", "buffer/"},   {"link", "buffer"},
        {"buffer", "link"},   {"sub/../buffer", "link/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.producer) + " / " + c.reader);
        test::TempDir base;
        fs::create_directory(base / "buffer");
        fs::create_directory(base / "sub");
        fs::create_directory_symlink("buffer", base / "link");
        QProcess sim;
        sim.setWorkingDirectory(QString::fromStdString(base.Path().string()));
        sim.start(QStringLiteral(VELK_BILLING_SIM),
                  {"--dir", c.producer, "--count", "1", "--rate", "0"});
        ASSERT_TRUE(sim.waitForFinished(10000));
        ASSERT_EQ(sim.exitCode(), 0) << sim.readAllStandardError().toStdString();
        std::vector<std::string> locks;
        for (const auto& entry : fs::directory_iterator(base / "buffer")) {
            if (entry.path().extension() == ".lock")
                locks.push_back(entry.path().string());
        }
        const PosixQueueFile file((base / c.reader) / QueueFileName(0));
        EXPECT_EQ(locks, std::vector<std::string>{file.LockName()});
    }
}

// velk-billing-sim takes only numbers it can use, and fills only a queue of its own layout.
TEST(DiskBuffer, BillingSimulatorRefusesWrongNumbersAndIncompatibleQueues) {
    const QStringList wrongNumbers[] = {
        {"--count", "-3"},   {"--count", "x"},       {"--count", "5x"}, {"--rate", "fast"},
        {"--rate", "-1"},    {"--rate", "nan"},      {"--seed", "-1"},  {"--seed", "4294967296"},
        {"--capacity", "1"}, {"--hold-lock", "1.5"}, {"--count", ""},   {"--count"},
    };
    for (const QStringList& args : wrongNumbers) {
        SCOPED_TRACE(args.join(' ').toStdString());
        test::TempDir dir;
        QProcess sim;
        sim.start(QStringLiteral(VELK_BILLING_SIM),
                  QStringList{"--dir", QString::fromStdString(dir.Path().string())} + args);
        ASSERT_TRUE(sim.waitForFinished(10000));
        EXPECT_EQ(sim.exitCode(), 2);
        EXPECT_TRUE(sim.readAllStandardOutput().isEmpty());  // no "done -3"
        EXPECT_FALSE(fs::exists(dir / QueueFileName(0)));
    }
    const QueueHeader incompatible[] = {
        {0, 0, 60, 20},    // another record size
        {20, 0, 120, 20},  // a write index past the slots
        {0, 21, 120, 20},  // a read index past them
        {0, 0, 120, 0},    // no slots
        {0, 0, 120, 1},    // one slot: never room for a record
    };
    for (const QueueHeader& h : incompatible) {
        SCOPED_TRACE(h.Text());
        test::TempDir dir;
        const fs::path queue = dir / QueueFileName(0);
        std::string bytes(QueueHeader::kSize + 120 * 20, '\0');
        h.Serialize(reinterpret_cast<uint8_t*>(bytes.data()));
        test::WriteFile(queue, bytes);
        QProcess sim;
        sim.start(
            QStringLiteral(VELK_BILLING_SIM),
            {"--dir", QString::fromStdString(dir.Path().string()), "--count", "1", "--rate", "0"});
        ASSERT_TRUE(sim.waitForFinished(10000)) << "it waits as if the queue were full";
        EXPECT_EQ(sim.exitCode(), 2);
        EXPECT_EQ(sim.readAllStandardError().toStdString(),
                  "velk-billing-sim: incompatible queue " + queue.string() + ": " + h.Text() +
                      " (records of 120 bytes and at least 2 slots are written)\n");
        EXPECT_EQ(test::ReadFile(queue), bytes);  // left as it was
    }
}

}  // namespace
}  // namespace velk
