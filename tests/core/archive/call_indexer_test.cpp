#include "core/archive/call_indexer.h"

#include <gtest/gtest.h>

#include "core/decode/record_builder.h"
#include "core/link/link_fakes.h"

namespace velk {
namespace {

// An index in memory that can be made to fail; it counts the attempts.
class FakeIndex : public RecordIndex {
public:
    bool Add(std::vector<IndexRow>& rows, bool onlyMissing) override {
        ++attempts;
        onlyMissingSeen.push_back(onlyMissing);
        if (failing)
            return false;
        for (IndexRow& r : rows) {
            r.id = static_cast<int64_t>(stored.size()) + 1;
            stored.push_back(r);
        }
        return true;
    }
    bool Select(const IndexFilter&, const std::function<bool(const IndexRow&)>&) override {
        return false;
    }
    std::optional<std::vector<GroupTotals>> Totals(ReportBy, int, const std::string&,
                                                   const std::string&) override {
        return std::nullopt;
    }
    std::string ErrorText() const override { return "VELK.db: database is locked"; }

    bool failing = false;
    int attempts = 0;
    std::vector<bool> onlyMissingSeen;
    std::vector<IndexRow> stored;
};

class CallIndexerTest : public ::testing::Test {
protected:
    void Record(int n = 1) {
        for (int i = 0; i < n; ++i) {
            test::RecordBuilder r;
            char seq[8];
            std::snprintf(seq, sizeof seq, "%04X", ++sequence);
            r.sequence = seq;
            const std::string f = r.Frame();
            std::array<std::string, 50> texts;
            texts[0] = seq;
            indexer.Add(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                       static_cast<uint32_t>(f.size() - 4)),
                        texts, RecordSource::Link);
        }
    }

    AppSettings settings;
    test::FakeClock clock;
    FakeIndex index;
    std::vector<std::string> log;
    CallIndexer indexer{
        settings, clock, &index,
        [this](const std::string& e, const std::string& d) { log.push_back(e + ": " + d); }};
    std::vector<size_t> entered;
    int sequence = 0;
};

TEST_F(CallIndexerTest, AFailingIndexIsLoggedOnceTriedEvery30SecondsAndCaughtUp) {
    indexer.SetEntered(
        [this](const std::vector<IndexRow>& rows) { entered.push_back(rows.size()); });
    Record();
    EXPECT_EQ(index.stored.size(), 1u);  // on the link: one commit per record
    index.failing = true;
    Record();  // fails: logged, waits
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0],
              "Record index: VELK.db: database is locked; the record files are written as before "
              "and the index is tried again every 30 s");
    clock.seconds += 29;
    Record(5);
    indexer.Flush();
    EXPECT_EQ(index.attempts, 2);  // nothing tried before the 30 s are up
    EXPECT_EQ(indexer.Waiting(), 6u);
    clock.seconds += 1;
    Record();  // tried again at 30 s, fails again, not logged again
    EXPECT_EQ(index.attempts, 3);
    EXPECT_EQ(log.size(), 1u);

    index.failing = false;
    clock.seconds += 30;
    indexer.Flush();  // the timer's flush catches up
    EXPECT_EQ(index.stored.size(), 8u);
    EXPECT_EQ(indexer.Waiting(), 0u);
    EXPECT_TRUE(index.onlyMissingSeen.back());  // a rebuild may have put them in meanwhile
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "Record index: works again: 7 waiting records entered");
    EXPECT_EQ(entered, (std::vector<size_t>{1, 7}));
    // In the order stored, each once.
    for (size_t i = 0; i < index.stored.size(); ++i)
        EXPECT_EQ(std::get<int64_t>(index.stored[i].Field(0)), static_cast<int64_t>(i + 1));
    Record();
    EXPECT_FALSE(index.onlyMissingSeen.back());
}

// A record stored again after the program stopped goes in at once, only where the index lacks it;
// the next record is an ordinary one again.
TEST_F(CallIndexerTest, ARecordStoredAgainGoesInOnlyWhereMissing) {
    test::RecordBuilder r;
    const std::string f = r.Frame();
    const BillingMessage m(reinterpret_cast<const uint8_t*>(f.data()),
                           static_cast<uint32_t>(f.size() - 4));
    std::array<std::string, 50> fields;
    indexer.AddAgain(m, fields, RecordSource::Link);
    ASSERT_EQ(index.onlyMissingSeen.size(), 1u);
    EXPECT_TRUE(index.onlyMissingSeen.back());
    Record();
    EXPECT_FALSE(index.onlyMissingSeen.back());
}

TEST_F(CallIndexerTest, AnImportCommitsInBatchesAndAtItsEnd) {
    indexer.SetImporting(true);
    Record(static_cast<int>(CallIndexer::kImportBatch) - 1);
    EXPECT_EQ(index.attempts, 0);
    Record();
    EXPECT_EQ(index.attempts, 1);
    EXPECT_EQ(index.stored.size(), CallIndexer::kImportBatch);
    Record(3);
    indexer.SetImporting(false);  // the end of the import commits the rest
    EXPECT_EQ(index.attempts, 2);
    EXPECT_EQ(index.stored.size(), CallIndexer::kImportBatch + 3);
}

TEST_F(CallIndexerTest, RowsBeyondTheMostWaitingAreLeftOutAndSaidOnce) {
    indexer.SetMostWaiting(50);
    index.failing = true;
    Record(55);
    EXPECT_EQ(indexer.Waiting(), 50u);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[1].find("later ones are left out until velk-index rebuild"), std::string::npos);
    index.failing = false;
    clock.seconds += 30;
    indexer.Flush();
    EXPECT_NE(log.back().find("5 left out (velk-index rebuild puts them in)"), std::string::npos)
        << log.back();
}

}  // namespace
}  // namespace velk
