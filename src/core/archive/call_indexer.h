#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/decode/billing_message.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/record/call_recorder.h"
#include "core/archive/record_index.h"

namespace velk {

// Puts every stored call record into the record index, after its files were written. A batch
// is one transaction: one record on the link, thousands during an import. An index that cannot
// be written (a full disk, a locked or damaged database) never holds up the record files: its
// rows wait in memory and are tried again every kRetrySeconds; the failure goes to the log once,
// and once more when the index works again. Rows beyond kMostWaiting are given up (the log says
// so once): the index then needs a rebuild from the raw files.
class CallIndexer {
public:
    static constexpr int64_t kRetrySeconds = 30;
    static constexpr size_t kMostWaiting = 100000;
    static constexpr size_t kImportBatch = 2000;

    CallIndexer(const AppSettings& settings, const Clock& clock, RecordIndex* index,
                FileProblemReport report);

    // The point where records are known to be in the index: after each commit, with the rows
    // just committed (ids given). Something forwarding records elsewhere hooks in here.
    using EnteredHook = std::function<void(const std::vector<IndexRow>& rows)>;
    void SetEntered(EnteredHook entered) { entered_ = std::move(entered); }

    void SetIndex(RecordIndex* index) { index_ = index; }
    // How many rows may wait for a failing index (kMostWaiting unless set).
    void SetMostWaiting(size_t rows) { mostWaiting_ = rows; }
    // Rows are committed when kImportBatch are waiting instead of one at a time.
    void SetImporting(bool importing);
    // A stored record: its row waits for the next commit.
    void Add(const BillingMessage& message, const std::array<std::string, 50>& fields,
             RecordSource source);
    // A record stored again because the program stopped before it knew the record was stored
    // (the journal's resume): put in only when the index lacks it, at once.
    void AddAgain(const BillingMessage& message, const std::array<std::string, 50>& fields,
                  RecordSource source);
    // A record read back from a raw file, the occurrence-th identical one there (0 for the
    // first): it is put in only when the index lacks it. Commits in batches like an import.
    void CatchUp(const BillingMessage& message, const std::array<std::string, 50>& fields,
                 int64_t occurrence);
    // Commits what waits now (the end of an import, the retry timer, shutdown); a failing index
    // is tried again only once kRetrySeconds have passed since the last attempt.
    void Flush();

    size_t Waiting() const { return waiting_.size(); }
    bool Failing() const { return failing_; }
    uint64_t EnteredCount() const { return enteredCount_; }

private:
    // Whether the waiting rows are committed now: a failing index only after the retry time;
    // otherwise at once, or during an import once a batch is full (now: whatever waits).
    bool Due(bool now) const;
    void Queue(const BillingMessage& message, const std::array<std::string, 50>& fields,
               RecordSource source, int64_t occurrence);
    bool Commit();

    const AppSettings& settings_;
    const Clock& clock_;
    RecordIndex* index_;
    FileProblemReport report_;
    EnteredHook entered_;
    std::vector<IndexRow> waiting_;
    size_t mostWaiting_ = kMostWaiting;
    bool importing_ = false;
    bool catchingUp_ = false;
    bool again_ = false;  // the rows may stand in the index already
    bool failing_ = false;
    bool gaveUp_ = false;
    int64_t lastAttempt_ = 0;
    uint64_t enteredCount_ = 0;
    uint64_t lost_ = 0;
};

}  // namespace velk
