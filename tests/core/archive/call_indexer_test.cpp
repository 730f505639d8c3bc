#include "core/archive/call_indexer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "core/archive/index_fakes.h"
#include "core/archive/published_files.h"
#include "core/decode/record_builder.h"
#include "core/link/link_fakes.h"

namespace velk {
namespace {

// A site's raw files and record index, and the indexer of the program that runs there now; a
// kill ends that program (whatever it held in memory is gone) and a start begins a new one.
class CallIndexerTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.RawSave = 1;
        settings.RawSaveDaily = 1;
        Start();
    }
    void Start() {
        indexer = std::make_unique<CallIndexer>(
            settings, clock, &index, &files,
            [this](const std::string& e, const std::string& d) { log.push_back(e + ": " + d); });
        indexer->CatchUp();
    }
    void Kill() { indexer.reset(); }

    // A record with the next sequence number: its message and its fields as the pipeline gives
    // them.
    std::string Frame(const std::string& number) {
        test::RecordBuilder r;
        r.sequence = number;
        return r.Frame();
    }
    std::string NextFrame() {
        char seq[8];
        std::snprintf(seq, sizeof seq, "%04X", ++sequence);
        return Frame(seq);
    }
    static BillingMessage Message(const std::string& frame) {
        return BillingMessage(reinterpret_cast<const uint8_t*>(frame.data()),
                              static_cast<uint32_t>(frame.size() - 4));
    }
    static std::string Body(const std::string& frame) { return frame.substr(1, frame.size() - 2); }
    std::array<std::string, 50> Fields(const std::string& frame) {
        std::array<std::string, 50> fields;
        FieldDecoder(settings).DecodeRecord(Message(frame), settings.Hex_Type, fields);
        return fields;
    }
    // The recorders append the record to its raw file (when it is kept there); the indexer is
    // told (unless the program dies first).
    void Append(const std::string& frame) {
        files.Append(kFile, RawRecord(Message(frame), settings));
        stored.push_back(Body(frame));
    }
    void Store(int n = 1, RecordSource source = RecordSource::Link) {
        for (int i = 0; i < n; ++i) {
            const std::string f = NextFrame();
            if (settings.RawSave == 1)
                Append(f);
            indexer->Add(Message(f), Fields(f), source);
        }
    }
    // Every record of the file once, in order.
    void ExpectIndexHoldsTheFile() {
        EXPECT_EQ(index.Raws(), stored);
        const FileMark& mark = index.committed.marks[kFile];
        EXPECT_EQ(mark.position, files.files[kFile].content.size());
        EXPECT_FALSE(mark.checking);
    }

    static constexpr const char* kFile = "20261208.raw";
    AppSettings settings;
    test::FakeClock clock;
    test::FakeFollowedFiles files;
    test::FakeIndexWriter index;
    std::vector<std::string> log;
    std::unique_ptr<CallIndexer> indexer;
    std::vector<std::string> stored;  // bodies of the records in the raw file, in order
    int sequence = 0;
};

TEST_F(CallIndexerTest, RecordsAreReadBackFromTheirFileAndAKillBeforeTheCommitLosesNone) {
    Store(3);
    ExpectIndexHoldsTheFile();
    for (const IndexRow& r : index.committed.rows)
        EXPECT_EQ(r.source, RecordSource::Link);
    EXPECT_EQ(index.commits, 3);  // on the link: one commit per record

    // Two records reach the file; the program dies before it commits them.
    Append(NextFrame());
    Append(NextFrame());
    Kill();
    Start();
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();
    EXPECT_EQ(index.committed.rows[3].source, RecordSource::RawFile);
    Store(1, RecordSource::DiskBuffer);
    ExpectIndexHoldsTheFile();
    EXPECT_EQ(index.committed.rows.back().source, RecordSource::DiskBuffer);
    EXPECT_TRUE(log.empty()) << log[0];
}

TEST_F(CallIndexerTest, ALockedIndexDelaysRowsAndLosesNoneThroughAKill) {
    Store(1);
    index.locked = true;
    Store(2);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0],
              "Record index: VELK.db: database is locked; the record files are written as before, "
              "and the index reads them on from where it stopped once it works again (tried every "
              "10 s)");
    const int begins = index.begins;
    clock.seconds += 9;
    Store(3);
    EXPECT_EQ(index.begins, begins);  // nothing tried before the 10 s are up
    EXPECT_EQ(indexer->NextStepMs(), 1000);
    EXPECT_EQ(indexer->Waiting(), 5u);

    // Killed while the index is locked; started again, it is still locked.
    Kill();
    Start();
    EXPECT_FALSE(indexer->Finish());
    EXPECT_EQ(log.size(), 2u);
    // A program that ends (an import) tries again at once, not only 10 s after the last time.
    index.locked = false;
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();
    EXPECT_EQ(log.back(), "Record index: works again");
    Store(1);
    ExpectIndexHoldsTheFile();
}

// A commit the index refuses gives its rows back to the records they came from, whole: the next
// commit puts them in with their source and fields, not as records read back from the file.
TEST_F(CallIndexerTest, ARefusedCommitLeavesItsRowsWaitingWhole) {
    Store(1);
    // A record of an earlier program, read back from the file before the waiting ones.
    Append(NextFrame());
    index.failCommit = true;
    Store(3, RecordSource::DiskBuffer);
    EXPECT_EQ(index.committed.rows.size(), 1u);
    EXPECT_EQ(indexer->Waiting(), 3u);
    index.failCommit = false;
    clock.seconds += 10;
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();
    ASSERT_EQ(index.committed.rows.size(), 5u);
    EXPECT_EQ(index.committed.rows[1].source, RecordSource::RawFile);
    for (size_t i = 2; i < 5; ++i) {
        const IndexRow& r = index.committed.rows[i];
        EXPECT_EQ(r.source, RecordSource::DiskBuffer);
        EXPECT_EQ(r.Field(4), index.committed.rows[0].Field(4));
    }
}

// A step reads on every file it has news of in one transaction (the days of an import, a backlog
// over midnight), not one each. A commit refused gives every record back to the wait, whole,
// whatever file it was read from; the next commit puts each in once, with its own source.
TEST_F(CallIndexerTest, AStepReadsEveryFileInOneCommitAndARefusedOneLeavesEveryRecordWaiting) {
    indexer->SetImporting(true);  // the records wait for a batch instead of a commit each
    Append(NextFrame());          // stored by an earlier program: read back from its file
    std::vector<std::string> bodies = {stored.back()};
    // The start's day in hex, and the day's file.
    for (const auto& [day, file] : {std::pair{"08", "20261208.raw"}, std::pair{"09", "20261209.raw"},
                                    std::pair{"0A", "20261210.raw"}}) {
        for (int i = 0; i < 2; ++i) {
            test::RecordBuilder r;
            char seq[8];
            std::snprintf(seq, sizeof seq, "%04X", ++sequence);
            r.sequence = seq;
            r.start = std::string("141A0C") + day + "0C1E2D";
            const std::string f = r.Frame();
            files.Append(file, RawRecord(Message(f), settings));
            indexer->Add(Message(f), Fields(f), RecordSource::DiskBuffer);
            bodies.push_back(Body(f));
        }
    }
    ASSERT_EQ(files.files.size(), 3u);
    index.failCommit = true;
    indexer->Flush();
    EXPECT_TRUE(index.committed.rows.empty());
    EXPECT_EQ(indexer->Waiting(), 6u);
    index.failCommit = false;
    clock.seconds += CallIndexer::kRetrySeconds;
    const int commits = index.commits;
    EXPECT_TRUE(indexer->Finish());
    EXPECT_EQ(index.commits, commits + 1);
    EXPECT_EQ(indexer->Waiting(), 0u);
    EXPECT_EQ(index.Raws(), bodies);
    ASSERT_EQ(index.committed.rows.size(), 7u);
    EXPECT_EQ(index.committed.rows[0].source, RecordSource::RawFile);
    for (size_t i = 1; i < 7; ++i)
        EXPECT_EQ(index.committed.rows[i].source, RecordSource::DiskBuffer) << i;
    for (const auto& [name, file] : files.files) {
        EXPECT_EQ(index.committed.marks[name].position, file.content.size()) << name;
        EXPECT_FALSE(index.committed.marks[name].checking) << name;
    }
}

// A checking pass counts every record it reads; one whose commit fails has counted records that
// did not go in, so it begins again from the file's start rather than go on from its mark.
TEST_F(CallIndexerTest, ACheckingPassWhoseCommitFailsBeginsAgainAndPutsInNothingTwice) {
    Store(6);
    ASSERT_EQ(index.committed.rows.size(), 6u);
    index.committed.marks.clear();  // an older VELK's index: every record is looked for
    Kill();
    Start();
    indexer->SetStepRows(2);
    EXPECT_TRUE(indexer->Step());
    EXPECT_TRUE(index.committed.marks[kFile].checking);
    index.failCommit = true;
    EXPECT_FALSE(indexer->Step());
    EXPECT_TRUE(indexer->Failing());
    index.failCommit = false;
    clock.seconds += CallIndexer::kRetrySeconds;
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();
}

// The index of an import, on a thread beside it, reads the raw files only as far as the import
// said they are stored: never a batch still being written, or one that may yet be taken back out.
// What the files held before is read back as records of the files; what came after (past those
// lengths, and in a file the import began) as the import's.
TEST_F(CallIndexerTest, BesideAnImportOnlyWhatTheImportSaidIsStoredIsRead) {
    // Records without separators: the last one before the import ends where the import begins.
    settings.APP_CR = 0;
    settings.APP_LF = 0;
    Append(NextFrame());
    Append(NextFrame());
    PublishedFiles published(files);
    const std::map<std::string, uint64_t> before = LengthsOf(files);
    published.Publish(before);
    CallIndexer beside(settings, clock, &index, &published, nullptr);
    beside.SetReadBackSource(RecordSource::Import, before);
    beside.CatchUp();

    // A batch: two records in the day's file, one in a file of another day; said stored.
    Append(NextFrame());
    Append(NextFrame());
    const std::string otherDay = NextFrame();
    files.Append("20261209.raw", RawRecord(Message(otherDay), settings));
    published.Publish(LengthsOf(files));
    const uint64_t said = files.files[kFile].content.size();
    // The next batch is being written.
    Append(NextFrame());
    EXPECT_TRUE(beside.Finish());
    ASSERT_EQ(index.committed.rows.size(), 5u);
    const std::vector<RecordSource> sources = {RecordSource::RawFile, RecordSource::RawFile,
                                               RecordSource::Import, RecordSource::Import,
                                               RecordSource::Import};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(index.committed.rows[i].source, sources[i]) << i;
    EXPECT_EQ(index.committed.rows[4].raw, Body(otherDay));
    EXPECT_EQ(index.committed.marks[kFile].position, said);

    published.Publish(LengthsOf(files));
    beside.CatchUp();
    EXPECT_TRUE(beside.Finish());
    ASSERT_EQ(index.committed.rows.size(), 6u);
    EXPECT_EQ(index.committed.rows[5].raw, stored.back());
    EXPECT_EQ(index.committed.rows[5].source, RecordSource::Import);
    EXPECT_EQ(index.committed.marks[kFile].position, files.files[kFile].content.size());
}

// Beside an import that says which files it wrote to, a step reads those on and opens no other
// file of Bill; a refused commit leaves them to read again, with a look at every file.
TEST_F(CallIndexerTest, BesideAnImportOnlyTheFilesItWroteToAreRead) {
    constexpr int kDays = 40;
    const auto day = [](int d) {
        char name[16];
        std::snprintf(name, sizeof name, "202601%02d.raw", d);
        return std::string(name);
    };
    for (int d = 1; d <= kDays; ++d)
        files.Append(day(d), RawRecord(Message(NextFrame()), settings));
    PublishedFiles published(files);
    published.Publish(LengthsOf(files));
    CallIndexer beside(settings, clock, &index, &published, nullptr);
    beside.CatchUp();
    beside.LookAt(published.TakeChanged());
    ASSERT_TRUE(beside.Finish());
    ASSERT_EQ(index.committed.rows.size(), static_cast<size_t>(kDays));
    EXPECT_FALSE(beside.Behind());

    // A batch into two of the days; LengthsOf opens every file, the step must not.
    const std::string first = NextFrame(), second = NextFrame();
    files.Append(day(3), RawRecord(Message(first), settings));
    files.Append(day(kDays), RawRecord(Message(second), settings));
    published.Publish(LengthsOf(files));
    files.opened = 0;
    const std::vector<std::string> changed = published.TakeChanged();
    EXPECT_EQ(changed, (std::vector<std::string>{day(3), day(kDays)}));
    EXPECT_TRUE(published.TakeChanged().empty());
    beside.LookAt(changed);
    EXPECT_TRUE(beside.Behind());
    ASSERT_TRUE(beside.Finish());
    EXPECT_EQ(files.opened, 2);
    ASSERT_EQ(index.committed.rows.size(), static_cast<size_t>(kDays + 2));
    EXPECT_EQ(index.committed.rows[kDays].raw, Body(first));
    EXPECT_EQ(index.committed.rows[kDays + 1].raw, Body(second));
    EXPECT_EQ(index.committed.marks[day(3)].position, files.files[day(3)].content.size());

    // A file read in more than one step stays to be read on until its end.
    beside.SetStepRows(1);
    const std::string one = NextFrame(), two = NextFrame();
    files.Append(day(5), RawRecord(Message(one), settings) + RawRecord(Message(two), settings));
    published.Publish(LengthsOf(files));
    beside.LookAt(published.TakeChanged());
    EXPECT_TRUE(beside.Step());  // one row, more to come
    EXPECT_TRUE(beside.Behind());
    ASSERT_TRUE(beside.Finish());
    ASSERT_EQ(index.committed.rows.size(), static_cast<size_t>(kDays + 4));
    EXPECT_EQ(index.committed.rows.back().raw, Body(two));
    EXPECT_FALSE(beside.Behind());
    beside.SetStepRows(CallIndexer::kStepRows);

    // The next batch's commit is refused: nothing is lost, the retry looks at every file.
    const std::string third = NextFrame();
    files.Append(day(7), RawRecord(Message(third), settings));
    published.Publish(LengthsOf(files));
    beside.LookAt(published.TakeChanged());
    index.failCommit = true;
    EXPECT_FALSE(beside.Finish());
    EXPECT_TRUE(beside.Behind());
    index.failCommit = false;
    files.opened = 0;
    ASSERT_TRUE(beside.Finish());
    EXPECT_GE(files.opened, kDays);
    ASSERT_EQ(index.committed.rows.size(), static_cast<size_t>(kDays + 5));
    EXPECT_EQ(index.committed.rows.back().raw, Body(third));
    EXPECT_FALSE(beside.Behind());
}

// A file put in place of the one read (same name, another inode), one cut shorter than its mark,
// and files without marks beside rows read from them before (an index of an older VELK) are
// checked: each record is looked for first, the n-th identical one of a file as the n-th.
TEST_F(CallIndexerTest, AFileNotAsItsMarkSaysIsCheckedAndNothingGoesInTwice) {
    Store(3);
    // Restored from a copy with one more record.
    const std::string copy = files.files[kFile].content;
    files.Replace(kFile, copy);
    Append(NextFrame());
    Kill();
    Start();
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();
    EXPECT_EQ(index.committed.marks[kFile].identity.inode, files.files[kFile].inode);

    // Cut back to its first record (the same inode): nothing is added; then it grows again.
    const std::string first = RawRecord(Message(Frame("0001")), settings);
    files.files[kFile].content = first;
    indexer->CatchUp();
    EXPECT_TRUE(indexer->Finish());
    EXPECT_EQ(index.committed.rows.size(), 4u);
    EXPECT_EQ(index.committed.marks[kFile].position, first.size());
    files.files[kFile].content = copy + RawRecord(Message(Frame("0004")), settings);
    // The same call stored twice (an import with --store-again): both stand in the file.
    const std::string twice = NextFrame();
    Append(twice);
    Append(twice);
    indexer->CatchUp();
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();

    // No marks at all (an older VELK's index): everything is there already.
    index.committed.marks.clear();
    Kill();
    Start();
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();
    // The second of the identical records was missing: it goes in, the first stays once.
    index.committed.rows.pop_back();
    index.committed.marks.clear();
    indexer->CatchUp();
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();
    EXPECT_EQ(index.committed.rows.back().occurrence, 1);
}

TEST_F(CallIndexerTest, ADamagedOrReplacedIndexIsBuiltAgainFromTheFilesAndSaidOnce) {
    Store(3);
    index.Damage();
    Store(1);
    ASSERT_EQ(index.setAside, (std::vector<size_t>{3}));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0],
              "Record index: VELK.db: database disk image is malformed: the damaged database is "
              "set aside as VELK.db.damaged; a new one is built from the record files");
    EXPECT_FALSE(indexer->Failing());
    EXPECT_EQ(indexer->NextStepMs(), 0);
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();

    // Deleted (or replaced by a rebuild) under the open connection: the new one is read full.
    index.Replace();
    Store(1);
    EXPECT_TRUE(indexer->Finish());
    ExpectIndexHoldsTheFile();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[1].find("the record index was replaced or deleted while in use; the one there "
                          "now is read on from the record files"),
              std::string::npos);
}

TEST_F(CallIndexerTest, ABacklogIsReadInStepsSoThatTheProgramGoesOnAnswering) {
    constexpr size_t kStep = 10;
    indexer->SetStepRows(kStep);
    const size_t backlog = 2 * kStep + 7;
    for (size_t i = 0; i < backlog; ++i)
        Append(NextFrame());
    EXPECT_EQ(indexer->NextStepMs(), 0);
    EXPECT_TRUE(indexer->Step());
    EXPECT_EQ(index.committed.rows.size(), kStep);
    EXPECT_GT(indexer->BytesBehind(), 0u);
    EXPECT_TRUE(indexer->Step());
    EXPECT_FALSE(indexer->Step());
    EXPECT_EQ(indexer->NextStepMs(), -1);
    ExpectIndexHoldsTheFile();
    EXPECT_EQ(indexer->EnteredCount(), backlog);
}

// Records that reach no raw file: RawSave off, an append another writer kept out, a record the
// journal stores again after the program stopped.
TEST_F(CallIndexerTest, RecordsOfNoRawFileGoInFromMemoryOnce) {
    settings.RawSave = 0;
    Store(2);
    EXPECT_EQ(index.committed.rows.size(), 2u);
    EXPECT_TRUE(index.committed.marks.empty());
    indexer->SetMostWaiting(3);
    index.locked = true;
    Store(5);
    EXPECT_EQ(indexer->Waiting(), 3u);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[1].find("later ones stored in no raw file (RawSave is off) are left out"),
              std::string::npos);
    index.locked = false;
    clock.seconds += 10;
    EXPECT_TRUE(indexer->Finish());
    EXPECT_EQ(index.committed.rows.size(), 5u);
    EXPECT_EQ(log.back(), "Record index: works again: 2 records stored in no raw file were left out");

    // Kept out of its raw file: it goes in from memory, once.
    settings.RawSave = 1;
    stored.clear();
    index.committed = {};
    const std::string kept = NextFrame();
    indexer->Add(Message(kept), Fields(kept), RecordSource::Link);
    Store(1);
    EXPECT_EQ(index.Raws(), (std::vector<std::string>{Body(kept), stored[0]}));
    // Stored again at a resume: the file ends with it, and so does the index.
    const std::string again = Frame(stored[0].substr(7, 4));
    indexer->AddAgain(Message(again), Fields(again), RecordSource::Link);
    EXPECT_EQ(index.committed.rows.size(), 2u);
}

// A rebuild beside the program: only what is missing goes in, in short transactions, and the
// file's mark moves to its end unless the program read further already.
TEST_F(CallIndexerTest, ACheckingPassPutsInWhatIsMissingAndLeavesAMarkAhead) {
    Store(3);
    index.committed.rows.erase(index.committed.rows.begin() + 1);
    index.committed.marks[kFile].position = 5;
    CheckCount count;
    ASSERT_TRUE(indexer->Check(files, kFile, true, count));
    EXPECT_EQ(count.callRecords, 3u);
    EXPECT_EQ(count.added, 1u);
    EXPECT_EQ(index.committed.rows.size(), 3u);
    EXPECT_EQ(index.committed.marks[kFile].position, files.files[kFile].content.size());
    const FileMark ahead{kFile, index.committed.marks[kFile].identity, 1u << 20, false};
    index.committed.marks[kFile] = ahead;
    ASSERT_TRUE(indexer->Check(files, kFile, true, count));
    EXPECT_EQ(index.committed.marks[kFile], ahead);
    EXPECT_EQ(count.added, 1u);
}

}  // namespace
}  // namespace velk
