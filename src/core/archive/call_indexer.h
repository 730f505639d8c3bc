#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/archive/followed_files.h"
#include "core/archive/index_writer.h"
#include "core/archive/occurrence_counter.h"
#include "core/decode/billing_message.h"
#include "core/decode/field_decoder.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/record/call_recorder.h"

namespace velk {

// What a checking pass over one raw file did.
struct CheckCount {
    uint64_t callRecords = 0;  // whole call records read
    uint64_t added = 0;        // of them put into the index (the others were there)
    uint64_t badChecks = 0;    // messages whose check failed (left out)
    bool readFailed = false;
    std::string error;  // why the file was not read to its end (the counts could not be kept)
};

// Keeps the record index a view of the record files that never falls behind for good. The index
// follows the raw files of Bill: it keeps in itself, in the same transaction as the rows, how far
// into which file it has read (a FileMark), and every commit reads the files on from their marks.
// A stored record only tells the indexer where it went and how it came (link, hard-disk buffer,
// import), so that its row says so; the row itself is read back from the file. So a kill between
// a record's append and its commit, a locked or full database, a database deleted or replaced by
// a rebuild, all only delay rows: the next commit, or the next start, reads them from the files.
//
// Records that reach no raw file of Bill (RawSave off, or an append another writer kept out) go
// in from memory as before; they wait there while the index fails, up to kMostWaiting.
//
// A file whose mark is missing, names another file (same name, other device or inode) or lies
// past its end is read from its start in a checking pass: every record is looked for first, the
// n-th identical record of the file as the n-th in the index, so nothing goes in twice.
//
// The work is done in steps of at most kStepRows rows, so that a program catching up a long
// backlog keeps answering its link between them.
class CallIndexer {
public:
    static constexpr int64_t kRetrySeconds = 10;
    static constexpr size_t kMostWaiting = 100000;
    static constexpr size_t kImportBatch = 5000;
    static constexpr size_t kStepRows = 5000;

    CallIndexer(const AppSettings& settings, const Clock& clock, IndexWriter* index,
                FollowedFiles* files, FileProblemReport report);

    // The point where records are known to be in the index: after each commit that added rows,
    // with their number. Something forwarding records elsewhere hooks in here.
    using EnteredHook = std::function<void(uint64_t rows)>;
    void SetEntered(EnteredHook entered) { entered_ = std::move(entered); }

    void SetIndex(IndexWriter* index, FollowedFiles* files);
    // How many records may wait in memory for a failing index (kMostWaiting unless set).
    void SetMostWaiting(size_t rows) { mostWaiting_ = rows; }
    // How many rows a step reads at most (kStepRows unless set).
    void SetStepRows(size_t rows) { stepRows_ = rows; }
    // Where a checking pass counts identical records (in memory unless set).
    void SetCounter(OccurrenceCounter* counter) { counter_ = counter; }
    // Rows are committed when kImportBatch records were stored instead of one at a time.
    void SetImporting(bool importing);
    // Rows read back from the files that end past `after` in their file (anywhere in a file it
    // does not name) came from `source`; the others, as without this, from a raw file.
    void SetReadBackSource(RecordSource source, std::map<std::string, uint64_t> after) {
        readBackSource_ = source;
        readBackAfter_ = std::move(after);
    }
    bool HasIndex() const { return index_ != nullptr; }
    // A record stored into its files (after the appends).
    void Add(const BillingMessage& message, const std::array<std::string, 50>& fields,
             RecordSource source);
    // A record stored again because the program stopped before it knew the record was stored
    // (the journal's resume): it may stand in its files and the index already.
    void AddAgain(const BillingMessage& message, const std::array<std::string, 50>& fields,
                  RecordSource source);
    // Every followed file is looked at in the next steps (at start, after a recovery).
    void CatchUp() { behind_ = true; }
    // These files have grown (their writer, on another thread, says so): the next steps read them
    // on from their marks without looking at every other file. A step that looks at every file
    // reads them too.
    void LookAt(const std::vector<std::string>& names) {
        lookAt_.insert(names.begin(), names.end());
    }

    // One step: what waits is committed and the files are read on from their marks, up to
    // kStepRows rows. True when there is more to do at once (a backlog). A failing index is tried
    // again only once kRetrySeconds have passed since the last attempt.
    bool Step();
    // Steps until nothing is left to do or the index fails (programs without an event loop); a
    // failing index is tried at once. False when it failed.
    bool Finish();
    // Commits what waits now (the end of an import, a timer, shutdown): one step.
    void Flush() { Step(); }

    // A checking pass over one raw file from its start: the records the index lacks go in. A
    // followed file (one of Bill's) gets its mark; any other file is only read.
    bool Check(FollowedFiles& files, const std::string& name, bool followed, CheckCount& count);

    // When the next step is due: 0 at once, the milliseconds until the next attempt while the
    // index fails, -1 when nothing waits.
    int64_t NextStepMs() const;
    // Records waiting in memory (their rows are not in yet).
    size_t Waiting() const { return waiting_.size(); }
    bool Failing() const { return failing_; }
    // Files are still to be read on (a backlog, or the index failing).
    bool Behind() const { return behind_ || !lookAt_.empty(); }
    uint64_t EnteredCount() const { return enteredCount_; }
    // Bytes of the followed files past their marks, as the last look at every file found them.
    uint64_t BytesBehind() const { return bytesBehind_; }

private:
    // A stored record the index does not hold yet. `file` is the raw file of Bill it went into
    // (empty: none).
    struct Stored {
        std::string file;
        std::string body;
        IndexRow row;
        bool again = false;
        bool taken = false;  // its file's record was read in the transaction under way
    };
    // The checking pass under way (one at a time): its file, and where it goes on. The counter
    // holds how many of each record it met so far.
    struct Pass {
        bool active = false;
        std::string file;
        FileIdentity identity;
        uint64_t next = 0;
    };
    enum class Outcome { Done, More, Failed };
    struct Batch;
    struct Transaction;

    void Queue(const BillingMessage& message, const std::array<std::string, 50>& fields,
               RecordSource source, bool again);
    // A database found replaced or deleted: everything is read again from the files' marks in it.
    bool Renew();
    // Reads one file on from its mark, at most `budget` rows in all, in the open transaction. A
    // checking pass that goes on past this step commits what the transaction holds first. Failed
    // leaves the transaction to Abandon.
    Outcome Follow(FollowedFiles& files, const std::string& name, size_t& budget,
                   Transaction& open);
    // Commits the open transaction; false when the commit failed (Abandon it then).
    bool CommitOpen(Transaction& open);
    // Rolls the open transaction back and gives its records back to the waiting ones.
    void Abandon(Transaction& open);
    // Up to `limit` call records of the file from `from`, their rows those of the waiting records
    // they match (useWaiting) or read back; in a checking pass (pass) with their occurrences.
    void ReadBatch(FollowedFile& file, const std::string& name, uint64_t from, size_t limit,
                   bool checking, bool useWaiting, Batch& batch);
    // The waiting records of a batch are in (Committed), or not (Untake).
    void Committed(std::deque<Batch>& batches);
    void Untake(Batch& batch);
    // The records of no followed file, and those whose file was read to its end without them.
    Outcome CommitLeftOver(const std::set<std::string>& done);
    // Always false: a step that failed. A damaged database is set aside at once.
    bool Failed();
    void Recovered();
    // The rows that went in (those given an id), and telling that they did.
    static uint64_t EnteredRows(const std::vector<IndexRow>& rows);
    void Entered(uint64_t rows);

    const AppSettings& settings_;
    const Clock& clock_;
    IndexWriter* index_;
    FollowedFiles* files_;
    FileProblemReport report_;
    EnteredHook entered_;
    FieldDecoder decoder_;
    std::array<std::string, 50> fields_;
    std::vector<Stored> waiting_;
    // The room of the last batches' rows, kept for the next.
    std::vector<std::vector<IndexRow>> spareRows_;
    RecordSource readBackSource_ = RecordSource::RawFile;
    std::map<std::string, uint64_t> readBackAfter_;
    Pass pass_;
    std::set<std::string> lookAt_;  // files said to have grown, to read on without a full look
    MemoryOccurrenceCounter memoryCounter_;
    OccurrenceCounter* counter_ = &memoryCounter_;
    // Why the step failed when the index did not (the counter).
    std::string error_;
    size_t mostWaiting_ = kMostWaiting;
    size_t stepRows_ = kStepRows;
    size_t sinceCommit_ = 0;
    bool importing_ = false;
    bool behind_ = false;
    bool failing_ = false;
    bool gaveUp_ = false;
    int64_t lastAttempt_ = 0;
    uint64_t enteredCount_ = 0;
    uint64_t lost_ = 0;
    uint64_t bytesBehind_ = 0;
};

}  // namespace velk
