#include "core/app/startup.h"

#include <gtest/gtest.h>

#include "core/decode/last_calls_ring.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

class FakeLock : public InstanceLock {
public:
    explicit FakeLock(bool free) : free_(free) {}
    bool TryAcquire() override { return free_; }
    void Release() override {}

private:
    bool free_;
};

TEST(Startup, FirstRunInEmptyDirectory) {
    test::TempDir dir;
    FakeLock lock(true);
    test::ScriptedPrompt prompt;
    SettingsStore store(dir.Path());
    AppSettings settings;
    LastCallsRing ring;
    ring.Slot(3)[7] = "old";
    ring.Advance();

    Startup startup(lock, prompt, store, settings, ring);
    ASSERT_TRUE(startup.Run());
    ASSERT_EQ(prompt.Texts(), std::vector<std::string>{kFirstRun});
    for (const char* d : {"Bill", "Bill_Backup", "Trf", "Buffers", "Buffers/Raw", "Buffers/CSV"}) {
        EXPECT_TRUE(std::filesystem::is_directory(dir / d)) << d;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "VELK.INI"));
    EXPECT_EQ(ring.Slot(3)[7], "");
    EXPECT_EQ(ring.WritePosition(), 0u);
}

TEST(Startup, CompleteSettingsShowNoMessage) {
    test::TempDir dir;
    SettingsStore store(dir.Path());
    ASSERT_EQ(store.WriteIniFile(AppSettings{}), 1);
    FakeLock lock(true);
    test::ScriptedPrompt prompt;
    AppSettings settings;
    LastCallsRing ring;
    Startup startup(lock, prompt, store, settings, ring);
    ASSERT_TRUE(startup.Run());
    EXPECT_TRUE(prompt.shown.empty());
    EXPECT_TRUE(startup.SettingsComplete());
}

TEST(Startup, RefusedLockTouchesNothing) {
    test::TempDir dir;
    FakeLock lock(false);
    test::ScriptedPrompt prompt;
    SettingsStore store(dir.Path());
    AppSettings settings;
    LastCallsRing ring;
    Startup startup(lock, prompt, store, settings, ring);
    EXPECT_FALSE(startup.Run());
    EXPECT_EQ(prompt.Texts(), std::vector<std::string>{"VELK already run\nin this directory!"});
    EXPECT_FALSE(std::filesystem::exists(dir / "Bill"));
}

TEST(Startup, OutputDirectoriesThatCannotBeCreatedAreNotReported) {
    test::TempDir dir;
    test::WriteFile(dir / "Bill", "a file where the directory should be");
    MakeSaveDir(OutputDirectories::Under(dir.Path()));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "Bill"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Buffers/CSV"));
}

TEST(Startup, DriveLetterIsUpperCased) {
    EXPECT_EQ(BaseDirectoryFrom("c:\\velk").string(), "C:\\velk");
    EXPECT_EQ(BaseDirectoryFrom("/srv/velk").string(), "/srv/velk");
}

}  // namespace
}  // namespace velk
