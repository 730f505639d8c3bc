#include "core/record/held_appends.h"

#include <gtest/gtest.h>

#include "core/record/fake_file_store.h"

namespace velk {
namespace {

class HeldAppendsTest : public ::testing::Test {
protected:
    test::FakeFileStore files_;
    HeldAppends held_{files_};
    const std::filesystem::path a_ = "/base/Bill/a.txt";
    const std::filesystem::path b_ = "/base/Bill/b.txt";
    const FileStore::Header header_ = [] { return std::string("HEADER\r\n"); };
};

TEST_F(HeldAppendsTest, ABatchReachesEachFileWithOneWriteAndANewFileItsHeaderOnce) {
    held_.HoldAppends(true);
    EXPECT_EQ(held_.Append(a_, "r1\r\n", header_), AppendResult::Written);
    EXPECT_EQ(held_.Append(b_, "s1\r\n"), AppendResult::Written);
    EXPECT_EQ(held_.Append(a_, "r2\r\n", header_), AppendResult::Written);
    EXPECT_EQ(files_.writes, 0);
    EXPECT_FALSE(files_.Exists(a_));
    EXPECT_EQ(held_.HeldBytes(), 12u);
    ASSERT_TRUE(held_.WritePending());
    EXPECT_EQ(files_.writes, 2);
    EXPECT_EQ(files_.Content(a_), "HEADER\r\nr1\r\nr2\r\n");
    EXPECT_EQ(files_.Content(b_), "s1\r\n");
    EXPECT_EQ(held_.HeldBytes(), 0u);
    // The next batch goes on where the file ends.
    held_.Append(a_, "r3\r\n", header_);
    ASSERT_TRUE(held_.FlushWritten());
    EXPECT_EQ(files_.Content(a_), "HEADER\r\nr1\r\nr2\r\nr3\r\n");
    EXPECT_EQ(files_.disk[a_.string()], files_.Content(a_));
    // Not held: written at once.
    held_.HoldAppends(false);
    held_.Append(b_, "s2\r\n");
    EXPECT_EQ(files_.Content(b_), "s1\r\ns2\r\n");
}

TEST_F(HeldAppendsTest, AnythingElseDoneWithAFileFindsWhatItHolds) {
    files_.files[a_.string()] = "old\r\n";
    held_.HoldAppends(true);
    held_.Append(a_, "r1\r\n");
    held_.Append(b_, "s1\r\n");
    EXPECT_EQ(held_.Length(a_), 9u);
    EXPECT_EQ(files_.writes, 1);  // b still held
    std::string tail;
    uint64_t size = 0;
    held_.Append(a_, "r2\r\n");
    ASSERT_TRUE(held_.ReadTail(a_, 4, tail, size));
    EXPECT_EQ(tail, "r2\r\n");
    const std::filesystem::path out = "/base/Bill/b.out";
    ASSERT_TRUE(held_.MoveNoReplace(b_, out));
    EXPECT_EQ(files_.Content(out), "s1\r\n");
    // An append made once holding ends comes after those held before it.
    held_.Append(b_, "s2\r\n");
    held_.HoldAppends(false);
    held_.Append(b_, "s3\r\n");
    EXPECT_EQ(files_.Content(b_), "s2\r\ns3\r\n");
    held_.HoldAppends(true);
    held_.Append(a_, "r3\r\n");
    std::vector<std::string> names;
    held_.ListFiles(a_.parent_path(), names);
    EXPECT_EQ(files_.Content(a_), "old\r\nr1\r\nr2\r\nr3\r\n");
    EXPECT_EQ(held_.HeldBytes(), 0u);
}

TEST_F(HeldAppendsTest, ABatchAFileRefusesIsTakenBackOutOfEveryFileAndReportedNotStored) {
    files_.files[a_.string()] = "old\r\n";
    files_.files[b_.string()] = "b0\r\n";
    held_.HoldAppends(true);
    held_.Append(b_, "s1\r\n");
    held_.Append(a_, "r1\r\n");
    held_.Append(a_, "r2\r\n");
    files_.refuse = [this](const std::string& p) { return p == a_.string(); };
    EXPECT_FALSE(held_.WritePending());
    EXPECT_EQ(files_.Content(a_), "old\r\n");
    EXPECT_EQ(files_.Content(b_), "b0\r\n");  // written first, taken back
    EXPECT_EQ(held_.ErrorText(), files_.ErrorText());
    EXPECT_EQ(held_.HeldBytes(), 0u);
    // Said once; a batch that goes through is stored.
    files_.refuse = nullptr;
    held_.Append(a_, "r3\r\n");
    EXPECT_TRUE(held_.WritePending());
    EXPECT_EQ(files_.Content(a_), "old\r\nr3\r\n");
    // A failure met by another operation is said by the next WritePending, and by FlushWritten.
    held_.Append(a_, "r4\r\n");
    files_.full = true;
    held_.Length(a_);
    files_.full = false;
    EXPECT_FALSE(held_.WritePending());
    held_.Append(b_, "s2\r\n");
    files_.full = true;
    EXPECT_FALSE(held_.FlushWritten());
    EXPECT_EQ(files_.Content(b_), "b0\r\n");
    // Left for the importing program to hear: what comes after is taken back until it has.
    files_.full = false;
    held_.Append(b_, "s3\r\n");
    EXPECT_FALSE(held_.WritePending());
    EXPECT_EQ(files_.Content(b_), "b0\r\n");
    held_.Append(b_, "s4\r\n");
    EXPECT_TRUE(held_.WritePending());
    EXPECT_EQ(files_.Content(b_), "b0\r\ns4\r\n");
}

// What a file became after its batch was written (moved away, cut) is not taken back.
TEST_F(HeldAppendsTest, AFileMovedAfterItsBatchIsNotTakenBack) {
    files_.files[b_.string()] = "a longer first record\r\n";
    held_.HoldAppends(true);
    held_.Append(b_, "s1\r\n");
    const std::filesystem::path out = "/base/Bill/b.out";
    ASSERT_TRUE(held_.MoveNoReplace(b_, out));
    held_.Append(b_, "s2\r\n");
    held_.Append(a_, "r1\r\n");
    files_.refuse = [this](const std::string& p) { return p == a_.string(); };
    EXPECT_FALSE(held_.WritePending());
    EXPECT_EQ(files_.Content(out), "a longer first record\r\ns1\r\n");
    EXPECT_EQ(files_.Content(b_), "");  // the new file under the name: from its start
}

}  // namespace
}  // namespace velk
