// The web console's reading of the record index: the newest calls after one it has shown.
#include "platform/web_archive.h"

#include <gtest/gtest.h>

#include "platform/sqlite_record_index.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

IndexRow Call(int n) {
    IndexRow row;
    row.values[3] = std::string("20") + std::to_string(10 + n);
    row.values[4] = std::string("2026-12-01 10:00:") + std::to_string(10 + n);
    row.raw = "040" + std::to_string(n) + "00";
    return row;
}

std::vector<int64_t> Ids(const std::vector<IndexRow>& rows) {
    std::vector<int64_t> ids;
    for (const IndexRow& r : rows)
        ids.push_back(r.id);
    return ids;
}

TEST(IndexWebArchive, TheNewestCallsAfterTheOneLastShown) {
    test::TempDir dir;
    IndexWebArchive archive(dir / kRecordIndexFile, "");
    std::vector<IndexRow> rows;
    int64_t last = -1;
    std::string why;
    // No index yet: nothing to show, and no error.
    ASSERT_TRUE(archive.Newest(-1, 3, rows, last, why)) << why;
    EXPECT_EQ(last, 0);
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(archive.Open(false, "", why), nullptr);
    EXPECT_EQ(why, "there is no VELK.db yet");

    SqliteRecordIndex writer(dir / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
    std::vector<IndexRow> stored;
    for (int i = 1; i <= 10; ++i)
        stored.push_back(Call(i));
    ASSERT_TRUE(writer.Add(stored)) << writer.ErrorText();

    ASSERT_TRUE(archive.Newest(-1, 3, rows, last, why)) << why;
    EXPECT_EQ(last, 10);
    EXPECT_EQ(Ids(rows), (std::vector<int64_t>{8, 9, 10}));
    ASSERT_TRUE(archive.Newest(8, 3, rows, last, why));
    EXPECT_EQ(Ids(rows), (std::vector<int64_t>{9, 10}));
    ASSERT_TRUE(archive.Newest(10, 3, rows, last, why));
    EXPECT_TRUE(rows.empty());
    // Far behind, the newest only; after a number the index never gave (it was built anew
    // meanwhile), the newest too.
    ASSERT_TRUE(archive.Newest(1, 3, rows, last, why));
    EXPECT_EQ(Ids(rows), (std::vector<int64_t>{8, 9, 10}));
    ASSERT_TRUE(archive.Newest(50, 3, rows, last, why));
    EXPECT_EQ(Ids(rows), (std::vector<int64_t>{8, 9, 10}));
    EXPECT_NE(archive.Open(false, "", why), nullptr);
}

}  // namespace
}  // namespace velk
