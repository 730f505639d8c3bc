#include "platform/file_instance_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/ordinary_user.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

// Tries the lock from a separate process; its exit code is 0 when it got the lock.
int TryFromAnotherProcess(const std::filesystem::path& dir) {
    const pid_t pid = fork();
    if (pid == 0) {
        FileInstanceLock lock(dir);
        _exit(lock.TryAcquire() == LockResult::Acquired ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FileInstanceLock, SecondInstanceInSameDirectoryIsRefused) {
    test::TempDir dir;
    FileInstanceLock first(dir.Path());
    ASSERT_EQ(first.TryAcquire(), LockResult::Acquired);
    EXPECT_EQ(TryFromAnotherProcess(dir.Path()), 1);
    FileInstanceLock second(dir.Path());
    EXPECT_EQ(second.TryAcquire(), LockResult::HeldElsewhere);
    first.Release();
    EXPECT_EQ(TryFromAnotherProcess(dir.Path()), 0);
}

TEST(FileInstanceLock, OtherDirectoriesRunAlongside) {
    // Directory names whose bytes add up to the same sum must not refuse each other.
    test::TempDir parent;
    std::filesystem::create_directory(parent / "ab");
    std::filesystem::create_directory(parent / "ba");
    FileInstanceLock first(parent / "ab");
    ASSERT_EQ(first.TryAcquire(), LockResult::Acquired);
    EXPECT_EQ(TryFromAnotherProcess(parent / "ba"), 0);
}

// A lock file this user may not write still locks: it is opened for reading.
TEST(FileInstanceLock, LockFileThatCannotBeWrittenStillGuards) {
    test::TempDir dir;
    std::filesystem::permissions(dir.Path(), std::filesystem::perms(0755));
    FileInstanceLock first(dir.Path());
    ASSERT_EQ(first.TryAcquire(), LockResult::Acquired);
    std::filesystem::permissions(dir / "VELK.lock", std::filesystem::perms(0444));
    const auto tryLock = [&dir] {
        FileInstanceLock lock(dir.Path());
        switch (lock.TryAcquire()) {
            case LockResult::Acquired:
                return 0;
            case LockResult::HeldElsewhere:
                return 1;
            case LockResult::Unavailable:
                return 2;
        }
        return 3;
    };
    EXPECT_EQ(test::AsOrdinaryUser(tryLock), 1);
    first.Release();
    EXPECT_EQ(test::AsOrdinaryUser(tryLock), 0);
}

// Where no lock file can be made or opened, the program must not run unguarded.
TEST(FileInstanceLock, NoLockAtAllIsUnavailableWithTheReason) {
    test::TempDir dir;
    std::filesystem::permissions(dir.Path(), std::filesystem::perms(0555));
    const int result = test::AsOrdinaryUser([&dir] {
        FileInstanceLock lock(dir.Path());
        if (lock.TryAcquire() != LockResult::Unavailable)
            return 1;
        const std::string expected = (dir / "VELK.lock").string() + ": Permission denied";
        return lock.UnavailableText() == expected ? 0 : 2;
    });
    EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace velk
