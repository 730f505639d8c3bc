#include "platform/posix_file_store.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace velk {
namespace {

// Holds a writer's lock on a file from another process until released.
class LockInOtherProcess {
public:
    explicit LockInOtherProcess(const std::filesystem::path& path) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release_), 0);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), O_WRONLY);
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
    ~LockInOtherProcess() {
        char c = 1;
        (void)!::write(release_[1], &c, 1);
        waitpid(pid_, nullptr, 0);
        ::close(release_[0]);
        ::close(release_[1]);
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
    EXPECT_FALSE(files.Append(path, "x"));  // appending never creates
    EXPECT_TRUE(files.CreateIfMissing(path));
    EXPECT_FALSE(files.CreateIfMissing(path));
    EXPECT_TRUE(files.Append(path, std::string("\x02"
                                               "abc\r\n",
                                               6)));
    EXPECT_TRUE(files.Append(path, "def"));
    EXPECT_EQ(test::ReadFile(path), std::string("\x02"
                                                "abc\r\ndef",
                                                9));
    EXPECT_FALSE(files.CreateIfMissing(dir / "missing" / "a.raw"));
}

TEST(PosixFileStore, AnotherWriterBlocksAppendsAndHandOff) {
    test::TempDir dir;
    PosixFileStore files;
    const auto path = dir / "buffer_in.raw";
    ASSERT_TRUE(files.CreateIfMissing(path));
    {
        LockInOtherProcess other(path);
        EXPECT_FALSE(files.NobodyWriting(path));
        EXPECT_FALSE(files.Append(path, "x"));
    }
    EXPECT_TRUE(files.NobodyWriting(path));
    EXPECT_TRUE(files.Append(path, "x"));
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

}  // namespace
}  // namespace velk
