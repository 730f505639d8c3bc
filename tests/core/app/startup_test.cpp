#include "core/app/startup.h"

#include <gtest/gtest.h>

#include <utility>

#include "core/decode/last_calls_ring.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

class FakeLock : public InstanceLock {
public:
    explicit FakeLock(bool free)
        : result_(free ? LockResult::Acquired : LockResult::HeldElsewhere) {}
    explicit FakeLock(LockResult result) : result_(result) {}
    LockResult TryAcquire() override { return result_; }
    std::string UnavailableText() const override { return "/base/VELK.lock: Permission denied"; }
    void Release() override {}

private:
    LockResult result_;
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

TEST(Startup, SettingsThatWriteNoDailyRecordFileAreSaid) {
    AppSettings s;  // the defaults: nothing is stored
    EXPECT_EQ(RecordFilesNote(s), "no record files are written: RawSave and SaveToFile are off");
    s.DoBufferDecoded = 1;
    EXPECT_EQ(RecordFilesNote(s),
              "no daily record files are written, only the buffers: RawSave and SaveToFile are "
              "off");
    s.DoBufferDecoded = 0;
    s.DoBufferPacked = 1;
    EXPECT_NE(RecordFilesNote(s).find("only the buffers"), std::string::npos);
    for (const auto& [raw, decoded] : {std::pair{1, 0}, std::pair{0, 1}}) {
        AppSettings one;
        one.RawSave = raw;
        one.SaveToFile = decoded;
        EXPECT_EQ(RecordFilesNote(one), "");
    }
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

TEST(Startup, NoLockAtAllRefusesToStart) {
    test::TempDir dir;
    FakeLock lock(LockResult::Unavailable);
    test::ScriptedPrompt prompt;
    SettingsStore store(dir.Path());
    AppSettings settings;
    LastCallsRing ring;
    Startup startup(lock, prompt, store, settings, ring);
    EXPECT_FALSE(startup.Run());
    EXPECT_EQ(prompt.Texts(),
              std::vector<std::string>{"VELK cannot lock this directory against a second VELK, so "
                                       "it does not start:\n/base/VELK.lock: Permission denied"});
    EXPECT_FALSE(std::filesystem::exists(dir / "Bill"));
}

TEST(Startup, OutputDirectoriesThatCannotBeCreatedAreNotReported) {
    test::TempDir dir;
    test::WriteFile(dir / "Bill", "a file where the directory should be");
    MakeSaveDir(OutputDirectories::Under(dir.Path()));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "Bill"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Buffers/CSV"));
}

// The programs start from their working directory; one that was removed is reported, not fatal.
TEST(Startup, RemovedWorkingDirectoryIsReported) {
    const auto before = std::filesystem::current_path();
    std::filesystem::path base;
    std::string error;
    {
        test::TempDir dir;
        std::filesystem::create_directory(dir / "gone");
        std::filesystem::current_path(dir / "gone");
        std::filesystem::remove(dir / "gone");
        EXPECT_FALSE(CurrentBaseDirectory(base, error));
        std::filesystem::current_path(before);
    }
    EXPECT_EQ(error, "VELK cannot use its working directory:\nNo such file or directory.");
    EXPECT_TRUE(CurrentBaseDirectory(base, error));
    EXPECT_EQ(base, before);
}

TEST(Startup, DriveLetterIsUpperCased) {
    EXPECT_EQ(BaseDirectoryFrom("c:\\velk").string(), "C:\\velk");
    EXPECT_EQ(BaseDirectoryFrom("/srv/velk").string(), "/srv/velk");
}

}  // namespace
}  // namespace velk
