#include "platform/posix_file_store.h"

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "support/temp_dir.h"

namespace velk {
namespace {

// What this program flushed while a test watched: fsync() and fdatasync() note the path of
// their descriptor on their way to the C library.
std::mutex flushedLock;
std::set<std::string>* flushedPaths = nullptr;

class WatchFlushes {
public:
    WatchFlushes() {
        std::lock_guard lock(flushedLock);
        flushedPaths = &paths_;
    }
    ~WatchFlushes() {
        std::lock_guard lock(flushedLock);
        flushedPaths = nullptr;
    }
    std::set<std::string> Take() {
        std::lock_guard lock(flushedLock);
        return std::exchange(paths_, {});
    }

private:
    std::set<std::string> paths_;
};

int NoteFlushed(const char* name, int fd) {
    using Sync = int (*)(int);
    const auto real = reinterpret_cast<Sync>(::dlsym(RTLD_NEXT, name));
    const int result = real(fd);
    std::lock_guard lock(flushedLock);
    if (result == 0 && flushedPaths != nullptr) {
        char target[PATH_MAX];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        if (n > 0)
            flushedPaths->emplace(target, static_cast<size_t>(n));
    }
    return result;
}

}  // namespace
}  // namespace velk

extern "C" int fsync(int fd) {
    return velk::NoteFlushed("fsync", fd);
}

extern "C" int fdatasync(int fd) {
    return velk::NoteFlushed("fdatasync", fd);
}

namespace velk {
namespace {

// Holds a lock on a file from another process until released: a writer's (exclusive) or a
// reader's (shared).
class LockInOtherProcess {
public:
    explicit LockInOtherProcess(const std::filesystem::path& path, int kind = LOCK_EX) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release_), 0);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), kind == LOCK_EX ? O_WRONLY : O_RDONLY);
            ::flock(fd, kind);
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
    ~LockInOtherProcess() { Release(); }
    void Release() {
        if (pid_ < 0)
            return;
        char c = 1;
        (void)!::write(release_[1], &c, 1);
        waitpid(pid_, nullptr, 0);
        ::close(release_[0]);
        ::close(release_[1]);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
};

TEST(PosixFileStore, CreateAppendAndExistence) {
    test::TempDir dir;
    PosixFileStore files;
    const auto path = dir / "a.raw";
    EXPECT_FALSE(files.Exists(path));
    EXPECT_EQ(files.Append(path, "x", [] { return std::string("header\r\n"); }),
              AppendResult::Written);  // a missing file is created, its header first
    EXPECT_EQ(test::ReadFile(path), "header\r\nx");
    std::filesystem::remove(path);
    EXPECT_TRUE(files.CreateIfMissing(path));
    EXPECT_FALSE(files.CreateIfMissing(path));
    EXPECT_EQ(files.Append(path, std::string("\x02"
                                             "abc\r\n",
                                             6)),
              AppendResult::Written);
    EXPECT_EQ(files.Append(path, "def"), AppendResult::Written);
    EXPECT_EQ(test::ReadFile(path), std::string("\x02"
                                                "abc\r\ndef",
                                                9));
    EXPECT_FALSE(files.CreateIfMissing(dir / "missing" / "a.raw"));
    EXPECT_EQ(files.Append(dir / "missing" / "a.raw", "x"), AppendResult::CannotOpen);
    // A file that is there but empty counts as new: it gets the header.
    EXPECT_EQ(files.Append(path, "ghi", [] { return std::string("h;"); }), AppendResult::Written);
    EXPECT_EQ(test::ReadFile(path).substr(9), "ghi");  // not empty: no header
}

TEST(PosixFileStore, AnotherWriterBlocksAppendsAndHandOff) {
    test::TempDir dir;
    PosixFileStore files(std::chrono::milliseconds(200));
    const auto path = dir / "buffer_in.raw";
    ASSERT_TRUE(files.CreateIfMissing(path));
    {
        LockInOtherProcess other(path);
        EXPECT_FALSE(files.NobodyWriting(path));
        EXPECT_EQ(files.Append(path, "x"), AppendResult::Busy);
        EXPECT_EQ(files.ErrorText(), "another program kept writing it");
    }
    EXPECT_TRUE(files.NobodyWriting(path));
    EXPECT_EQ(files.Append(path, "x"), AppendResult::Written);
    EXPECT_EQ(test::ReadFile(path), "x");
}

// A reader copying the file (a pick-up program) holds a shared lock: the record is appended at
// once; the hand-off waits for the reader.
TEST(PosixFileStore, ReadersDoNotStopAppends) {
    test::TempDir dir;
    PosixFileStore files(std::chrono::milliseconds(0));
    const auto path = dir / "20261208.raw";
    ASSERT_TRUE(files.CreateIfMissing(path));
    LockInOtherProcess reader(path, LOCK_SH);
    EXPECT_EQ(files.Append(path, "line\r\n"), AppendResult::Written);
    EXPECT_FALSE(files.NobodyWriting(path));
    reader.Release();
    EXPECT_TRUE(files.NobodyWriting(path));
    EXPECT_EQ(test::ReadFile(path), "line\r\n");
}

// A writer that lets go within the wait does not cost the record.
TEST(PosixFileStore, AppendWaitsForAWriterThatLetsGo) {
    test::TempDir dir;
    PosixFileStore files(std::chrono::seconds(10));
    const auto path = dir / "20261208.csv";
    ASSERT_TRUE(files.CreateIfMissing(path));
    LockInOtherProcess writer(path);
    std::thread release([&writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        writer.Release();
    });
    EXPECT_EQ(files.Append(path, "x"), AppendResult::Written);
    release.join();
    EXPECT_EQ(test::ReadFile(path), "x");
}

TEST(PosixFileStore, MoveNeverReplacesAnExistingFile) {
    test::TempDir dir;
    PosixFileStore files;
    test::WriteFile(dir / "in", "new");
    test::WriteFile(dir / "out", "old");
    EXPECT_FALSE(files.MoveNoReplace(dir / "in", dir / "out"));
    EXPECT_EQ(test::ReadFile(dir / "out"), "old");
    std::filesystem::remove(dir / "out");
    EXPECT_TRUE(files.MoveNoReplace(dir / "in", dir / "out"));
    EXPECT_EQ(test::ReadFile(dir / "out"), "new");
    EXPECT_FALSE(files.Exists(dir / "in"));
}

int RefuseTheFlag(int, const char*, int, const char*, unsigned) {
    errno = EINVAL;
    return -1;
}

// Some network and older file systems refuse RENAME_NOREPLACE: the move falls back to link and
// unlink, which never replace a file either.
TEST(PosixFileStore, MoveWhereTheFileSystemRefusesTheNoReplaceFlag) {
    test::TempDir dir;
    PosixFileStore files(std::chrono::seconds(2), &RefuseTheFlag);
    test::WriteFile(dir / "in", "records");
    test::WriteFile(dir / "out", "not yet taken");
    EXPECT_FALSE(files.MoveNoReplace(dir / "in", dir / "out"));
    EXPECT_EQ(test::ReadFile(dir / "out"), "not yet taken");
    EXPECT_EQ(test::ReadFile(dir / "in"), "records");
    EXPECT_EQ(files.ErrorText(), "File exists");
    std::filesystem::remove(dir / "out");
    EXPECT_TRUE(files.MoveNoReplace(dir / "in", dir / "out"));
    EXPECT_EQ(test::ReadFile(dir / "out"), "records");
    EXPECT_FALSE(std::filesystem::exists(dir / "in"));
    EXPECT_EQ(std::filesystem::hard_link_count(dir / "out"), 1u);
}

// What a record left in a file before the program stopped: the last bytes, all of them.
TEST(PosixFileStore, EndsWithComparesTheWholeTail) {
    test::TempDir dir;
    PosixFileStore files;
    const auto path = dir / "a.raw";
    test::WriteFile(path, "header\r\nrecord\r\n");
    const struct {
        const char* tail;
        bool ends;
    } cases[] = {{"record\r\n", true},
                 {"header\r\nrecord\r\n", true},
                 {"xheader\r\nrecord\r\n", false},  // longer than the file
                 {"record\r", false},
                 {"Record\r\n", false}};
    for (const auto& c : cases)
        EXPECT_EQ(files.EndsWith(path, c.tail), c.ends) << c.tail;
    EXPECT_FALSE(files.EndsWith(dir / "missing.raw", ""));
}

TEST(PosixFileStore, StateFilesAreWrittenInPlace) {
    test::TempDir dir;
    PosixFileStore files;
    const auto path = dir / "state";
    std::string content;
    EXPECT_FALSE(files.ReadWhole(path, content, 100));
    ASSERT_TRUE(files.WriteAt(path, 4, "bcd"));  // created, the gap filled with zero bytes
    ASSERT_TRUE(files.Flush(path));
    ASSERT_TRUE(files.WriteAt(path, 0, "a"));
    ASSERT_TRUE(files.ReadWhole(path, content, 100));
    EXPECT_EQ(content, std::string("a\0\0\0bcd", 7));
    ASSERT_TRUE(files.ReadWhole(path, content, 5));
    EXPECT_EQ(content.size(), 5u);
    EXPECT_FALSE(files.WriteAt(dir / "missing" / "state", 0, "x"));
    EXPECT_FALSE(files.Flush(dir / "missing" / "state"));
}

TEST(PosixFileStore, AReplacedFileIsWholeOldOrWholeNew) {
    test::TempDir dir;
    PosixFileStore files;
    const auto path = dir / "VELK.state";
    ASSERT_TRUE(files.Replace(path, "first\n"));
    // A reader that has the old file open keeps reading the old one: never a part of the new.
    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(files.Replace(path, "second, longer\n"));
    char old[32] = {};
    EXPECT_EQ(::read(reader, old, sizeof old), 6);
    EXPECT_STREQ(old, "first\n");
    ::close(reader);
    EXPECT_EQ(test::ReadFile(path), "second, longer\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "VELK.state.tmp"));
    EXPECT_FALSE(files.Replace(dir / "missing" / "VELK.state", "x"));

    // A write the disk cuts short (here a file size limit) leaves the old file as it was.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{8, 8};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        _exit(files.Replace(path, std::string(100, 'x')) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the cut write was reported done";
    EXPECT_EQ(test::ReadFile(path), "second, longer\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "VELK.state.tmp"));
}

// Every file appended to is flushed; one that cannot be is named, the others are flushed still.
TEST(PosixFileStore, FlushNamesWhatCannotBeFlushed) {
    test::TempDir dir;
    PosixFileStore files;
    std::filesystem::create_directory(dir / "gone");
    EXPECT_TRUE(files.FlushWritten());  // nothing written
    ASSERT_EQ(files.Append(dir / "a.raw", "x"), AppendResult::Written);
    ASSERT_EQ(files.Append(dir / "gone" / "b.raw", "y"), AppendResult::Written);
    ASSERT_TRUE(files.MoveNoReplace(dir / "a.raw", dir / "c.raw"));
    std::filesystem::remove_all(dir / "gone");
    EXPECT_FALSE(files.FlushWritten());
    EXPECT_EQ(files.ErrorText(), (dir / "gone").string() + ": No such file or directory");
    // What failed is not tried again and again.
    ASSERT_EQ(files.Append(dir / "c.raw", "z"), AppendResult::Written);
    EXPECT_TRUE(files.FlushWritten());
}

// One file or directory that cannot be flushed leaves none of the others unflushed, and the
// failure named is its own.
TEST(PosixFileStore, AFailedFlushStillFlushesEverythingElse) {
    test::TempDir temp;
    const std::filesystem::path dir = std::filesystem::canonical(temp.Path());
    PosixFileStore files;
    WatchFlushes watch;
    const auto appendToEach = [&](const std::string& file) {
        for (const char* sub : {"a", "b", "c"}) {
            std::filesystem::create_directories(dir / sub);
            ASSERT_EQ(files.Append(dir / sub / file, "x"), AppendResult::Written);
        }
    };
    // Made a link to itself, the file cannot be opened any more (and is not merely gone).
    appendToEach("1.raw");
    std::filesystem::remove(dir / "b" / "1.raw");
    std::filesystem::create_symlink("1.raw", dir / "b" / "1.raw");
    watch.Take();
    EXPECT_FALSE(files.FlushWritten());
    EXPECT_EQ(files.ErrorText(), (dir / "b" / "1.raw").string() + ": " + std::strerror(ELOOP));
    EXPECT_EQ(watch.Take(),
              (std::set<std::string>{dir / "a" / "1.raw", dir / "c" / "1.raw", dir / "a",
                                     dir / "b", dir / "c"}));

    // Each directory in turn goes away: the others are flushed all the same.
    for (const std::string gone : {"a", "b", "c"}) {
        SCOPED_TRACE(gone);
        const std::string file = "2" + gone + ".raw";  // new in each directory
        appendToEach(file);
        std::filesystem::remove_all(dir / gone);
        watch.Take();
        EXPECT_FALSE(files.FlushWritten());
        EXPECT_EQ(files.ErrorText(), (dir / gone).string() + ": " + std::strerror(ENOENT));
        std::set<std::string> expected;
        for (const std::string sub : {"a", "b", "c"}) {
            if (sub != gone)
                expected.insert({dir / sub / file, dir / sub});
        }
        EXPECT_EQ(watch.Take(), expected);
    }
}

// A file new in a directory takes the directory's owner and its mode without the execute bits;
// a file that replaces another takes that one's mode whole.
TEST(PosixFileOwnership, ANewFileTakesItsDirectorysModeWithoutExecuteBits) {
    test::TempDir dir;
    PosixFileOwnership ownership;
    for (const mode_t mode : {mode_t{0750}, mode_t{0775}, mode_t{0711}}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(dir.Path().c_str(), mode), 0);
        test::WriteFile(dir / "VELK.INI", "[Main]\r\n");
        ASSERT_EQ(::chmod((dir / "VELK.INI").c_str(), 0600), 0);
        ASSERT_TRUE(ownership.Take(dir / "VELK.INI", dir.Path()));
        struct stat st {};
        ASSERT_EQ(::stat((dir / "VELK.INI").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode & 0666);
    }
    test::WriteFile(dir / "old", "");
    ASSERT_EQ(::chmod((dir / "old").c_str(), 0754), 0);
    ASSERT_TRUE(ownership.Take(dir / "VELK.INI", dir / "old"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "VELK.INI").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0754u);
}

}  // namespace
}  // namespace velk
