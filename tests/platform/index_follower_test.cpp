// The record index of velk-import, kept on a thread beside it: it reads the raw files of Bill as
// far as the import said they are stored, each record once, the import's with their source.
#include "platform/index_follower.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "core/decode/record_builder.h"
#include "core/foundation/base_directory.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

class IndexFollowerTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.RawSave = 1;
        settings.RawSaveDaily = 1;
        MakeSaveDir(OutputDirectories::Under(base.Path()));
    }
    // n records with the next sequence numbers appended to the day's raw file, as stored.
    void Append(int n) {
        std::ofstream out(OutputDirectories::Under(base.Path()).bill / "20261208.raw",
                          std::ios::binary | std::ios::app);
        for (int i = 0; i < n; ++i) {
            test::RecordBuilder r;
            char text[8];
            std::snprintf(text, sizeof text, "%04X", ++sequence);
            r.sequence = text;
            const std::string f = r.Frame();
            out << f.substr(1, f.size() - 2) << "\r\n";
        }
    }
    // How many calls of each source the index holds.
    std::map<int, int> Sources() {
        std::map<int, int> sources;
        sqlite3* db = nullptr;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_open((base / kRecordIndexFile).c_str(), &db) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "SELECT source, count(*) FROM calls GROUP BY source", -1, &s,
                               nullptr) == SQLITE_OK) {
            while (sqlite3_step(s) == SQLITE_ROW)
                sources[sqlite3_column_int(s, 0)] = sqlite3_column_int(s, 1);
        }
        sqlite3_finalize(s);
        sqlite3_close(db);
        return sources;
    }

    test::TempDir base;
    AppSettings settings;
    int sequence = 0;
    static constexpr int kFile = static_cast<int>(RecordSource::RawFile);
    static constexpr int kImport = static_cast<int>(RecordSource::Import);
};

TEST_F(IndexFollowerTest, EachBatchIsReadOnceTheImportSaysItIsStored) {
    Append(3);  // stored before the import
    IndexFollower follower(settings, base.Path());
    follower.Start();
    Append(4);
    follower.Publish();
    Append(2);  // the next batch, not said stored yet
    ASSERT_TRUE(follower.Finish());
    EXPECT_EQ(Sources(), (std::map<int, int>{{kFile, 3}, {kImport, 4}}));
    EXPECT_EQ(follower.EnteredCount(), 7u);
    follower.Publish();
    ASSERT_TRUE(follower.Finish());
    EXPECT_EQ(Sources(), (std::map<int, int>{{kFile, 3}, {kImport, 6}}));
    EXPECT_TRUE(follower.TakeProblems().empty());
}

// An import that ends at once (a file that could not be read, out of memory) stops the thread
// in the middle of what it reads: the next one reads on from the index's marks, nothing lost and
// nothing twice.
TEST_F(IndexFollowerTest, StoppedWhileReadingNothingIsLostOrTwice) {
    Append(3000);
    {
        IndexFollower follower(settings, base.Path());
        follower.Start();
        Append(3000);
        follower.Publish();
    }
    IndexFollower next(settings, base.Path());
    next.Start();
    ASSERT_TRUE(next.Finish());
    int calls = 0;
    for (const auto& [source, n] : Sources())
        calls += n;
    EXPECT_EQ(calls, 6000);
}

// While the import runs, a second thread copies the index's log into the database: the database
// file alone (its log left aside) holds every call before the index thread's connection closes.
TEST_F(IndexFollowerTest, TheLogIsCopiedIntoTheDatabaseWhileTheImportRuns) {
    IndexFollower follower(settings, base.Path());
    follower.Start();
    Append(2000);
    follower.Publish();
    ASSERT_TRUE(follower.Finish());
    const auto callsInTheFileAlone = [this] {
        const std::string uri = "file:" + (base / kRecordIndexFile).string() + "?immutable=1";
        sqlite3* db = nullptr;
        sqlite3_stmt* s = nullptr;
        int calls = -1;
        if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
                SQLITE_OK &&
            sqlite3_prepare_v2(db, "SELECT count(*) FROM calls", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            calls = sqlite3_column_int(s, 0);
        sqlite3_finalize(s);
        sqlite3_close(db);
        return calls;
    };
    int calls = -1;
    for (int i = 0; i < 100 && calls != 2000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        calls = callsInTheFileAlone();
    }
    EXPECT_EQ(calls, 2000);
}

}  // namespace
}  // namespace velk
