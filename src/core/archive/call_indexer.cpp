#include "core/archive/call_indexer.h"

#include <algorithm>

namespace velk {

CallIndexer::CallIndexer(const AppSettings& settings, const Clock& clock, RecordIndex* index,
                         FileProblemReport report)
    : settings_(settings), clock_(clock), index_(index), report_(std::move(report)) {}

void CallIndexer::SetImporting(bool importing) {
    importing_ = importing;
    if (!importing)
        Flush();
}

void CallIndexer::Add(const BillingMessage& message, const std::array<std::string, 50>& fields,
                      RecordSource source) {
    Queue(message, fields, source, 0);
}

void CallIndexer::AddAgain(const BillingMessage& message, const std::array<std::string, 50>& fields,
                           RecordSource source) {
    again_ = true;
    Queue(message, fields, source, 0);
    Flush();
    again_ = false;
}

void CallIndexer::CatchUp(const BillingMessage& message, const std::array<std::string, 50>& fields,
                          int64_t occurrence) {
    catchingUp_ = true;
    importing_ = true;
    Queue(message, fields, RecordSource::RawFile, occurrence);
}

void CallIndexer::Queue(const BillingMessage& message, const std::array<std::string, 50>& fields,
                        RecordSource source, int64_t occurrence) {
    if (index_ == nullptr)
        return;
    if (waiting_.size() >= mostWaiting_) {
        ++lost_;
        if (!gaveUp_ && report_) {
            report_("Record index", "more than " + std::to_string(mostWaiting_) +
                                        " records wait for the index; later ones are left out "
                                        "until velk-index rebuild puts them in from the raw files");
        }
        gaveUp_ = true;
        return;
    }
    waiting_.push_back(MakeIndexRow(message, fields, settings_.Hex_Type,
                                    settings_.Server_Port_index, source, clock_.Seconds()));
    waiting_.back().occurrence = occurrence;
    if (Due(false))
        Commit();
}

void CallIndexer::Flush() {
    if (Due(true))
        Commit();
}

bool CallIndexer::Due(bool now) const {
    if (waiting_.empty())
        return false;
    if (failing_)
        return clock_.Seconds() - lastAttempt_ >= kRetrySeconds;
    return now || !importing_ || waiting_.size() >= kImportBatch;
}

bool CallIndexer::Commit() {
    lastAttempt_ = clock_.Seconds();
    // Rows that waited through a failure may have been put in by a rebuild meanwhile.
    const bool wasFailing = failing_;
    if (!index_->Add(waiting_, wasFailing || catchingUp_ || again_)) {
        if (!failing_ && report_) {
            report_("Record index", index_->ErrorText() +
                                        "; the record files are written as before and the "
                                        "index is tried again every " +
                                        std::to_string(kRetrySeconds) + " s");
        }
        failing_ = true;
        return false;
    }
    failing_ = false;
    if (wasFailing && report_) {
        report_("Record index", "works again: " + std::to_string(waiting_.size()) +
                                    " waiting records entered" +
                                    (lost_ > 0 ? ", " + std::to_string(lost_) +
                                                     " left out (velk-index rebuild puts them in)"
                                               : std::string()));
    }
    gaveUp_ = false;
    lost_ = 0;
    enteredCount_ += static_cast<uint64_t>(std::count_if(
        waiting_.begin(), waiting_.end(), [](const IndexRow& r) { return r.id != 0; }));
    // Rows the index had already are not entered again.
    std::erase_if(waiting_, [](const IndexRow& row) { return row.id == 0; });
    if (entered_ && !waiting_.empty())
        entered_(waiting_);
    waiting_.clear();
    return true;
}

}  // namespace velk
