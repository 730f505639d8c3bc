#include "platform/file_instance_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace velk {
namespace {

// Tries the lock from a separate process; its exit code is 0 when it got the lock.
int TryFromAnotherProcess(const std::filesystem::path& dir) {
    const pid_t pid = fork();
    if (pid == 0) {
        FileInstanceLock lock(dir);
        _exit(lock.TryAcquire() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FileInstanceLock, SecondInstanceInSameDirectoryIsRefused) {
    test::TempDir dir;
    FileInstanceLock first(dir.Path());
    ASSERT_TRUE(first.TryAcquire());
    EXPECT_EQ(TryFromAnotherProcess(dir.Path()), 1);
    FileInstanceLock second(dir.Path());
    EXPECT_FALSE(second.TryAcquire());
    first.Release();
    EXPECT_EQ(TryFromAnotherProcess(dir.Path()), 0);
}

TEST(FileInstanceLock, OtherDirectoriesRunAlongside) {
    // Directory names whose bytes add up to the same sum must not refuse each other.
    test::TempDir parent;
    std::filesystem::create_directory(parent / "ab");
    std::filesystem::create_directory(parent / "ba");
    FileInstanceLock first(parent / "ab");
    ASSERT_TRUE(first.TryAcquire());
    EXPECT_EQ(TryFromAnotherProcess(parent / "ba"), 0);
}

}  // namespace
}  // namespace velk
