#include "core/archive/call_indexer.h"

#include <algorithm>
#include <deque>
#include <utility>

#include "core/archive/raw_file_reader.h"
#include "core/archive/stored_records.h"

namespace velk {
namespace {

}  // namespace

// One file's share of a transaction: the rows read from `from` on and where reading stopped.
struct CallIndexer::Batch {
    Batch() = default;
    // A batch whose rows take room kept from earlier batches (thousands of rows while a backlog
    // or an import is read: fresh memory for each batch costs a page fault every few rows), and
    // give it back, as long as the room kept stays below `most` rows.
    Batch(std::vector<std::vector<IndexRow>>& spare, size_t most) : spare_(&spare), most_(most) {
        if (!spare.empty()) {
            rows = std::move(spare.back());
            spare.pop_back();
        }
    }
    ~Batch() {
        if (spare_ == nullptr)
            return;
        rows.clear();
        size_t kept = rows.capacity();
        for (const std::vector<IndexRow>& room : *spare_)
            kept += room.capacity();
        if (rows.capacity() > 0 && kept <= most_)
            spare_->push_back(std::move(rows));
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    std::vector<IndexRow> rows;
    std::vector<size_t> taken;  // waiting records whose rows these are
    // Where the rows moved out of the taken records stand in `rows`, in the order of `taken`
    // (empty when they were copied).
    std::vector<size_t> movedTo;
    std::string error;          // the counter failed
    uint64_t end = 0;
    bool atEnd = false;
    uint64_t badChecks = 0;
    bool readFailed = false;

private:
    std::vector<std::vector<IndexRow>>* spare_ = nullptr;
    size_t most_ = 0;
};

// The transaction under way in a step: the files read in it, committed together. A step that
// follows many files (the days of an import, a backlog) commits once, not once a file.
struct CallIndexer::Transaction {
    bool open = false;
    bool changed = false;  // rows went in or a mark moved
    std::deque<Batch> batches;
};

CallIndexer::CallIndexer(const AppSettings& settings, const Clock& clock, IndexWriter* index,
                         FollowedFiles* files, FileProblemReport report)
    : settings_(settings),
      clock_(clock),
      index_(index),
      files_(files),
      report_(std::move(report)),
      decoder_(settings) {}

void CallIndexer::SetIndex(IndexWriter* index, FollowedFiles* files) {
    index_ = index;
    files_ = files;
}

void CallIndexer::SetImporting(bool importing) {
    importing_ = importing;
    if (!importing)
        Step();
}

void CallIndexer::Add(const BillingMessage& message, const std::array<std::string, 50>& fields,
                      RecordSource source) {
    Queue(message, fields, source, false);
}

void CallIndexer::AddAgain(const BillingMessage& message, const std::array<std::string, 50>& fields,
                           RecordSource source) {
    Queue(message, fields, source, true);
}

void CallIndexer::Queue(const BillingMessage& message, const std::array<std::string, 50>& fields,
                        RecordSource source, bool again) {
    if (index_ == nullptr)
        return;
    const std::string file = settings_.RawSave == 1 && files_ != nullptr
                                 ? RawFileName(settings_, BaseName(fields[4]))
                                 : std::string();
    if (waiting_.size() >= mostWaiting_) {
        // A record of a raw file is read from there with nothing but its source lost; one of no
        // raw file is lost to the index.
        if (file.empty()) {
            ++lost_;
            if (!gaveUp_ && report_) {
                report_("Record index",
                        "more than " + std::to_string(mostWaiting_) +
                            " records wait for the index; later ones stored in no raw file "
                            "(RawSave is off) are left out of it");
            }
            gaveUp_ = true;
        }
        behind_ = behind_ || !file.empty();
        return;
    }
    Stored w;
    w.file = file;
    w.body.assign(reinterpret_cast<const char*>(message.Data()) + 1, message.Length() + 2);
    w.row = MakeIndexRow(message, fields, settings_.Hex_Type, settings_.Server_Port_index, source,
                         clock_.Seconds());
    w.again = again;
    waiting_.push_back(std::move(w));
    if (!importing_ || again || ++sinceCommit_ >= kImportBatch)
        Step();
}

bool CallIndexer::Renew() {
    if (!index_->Renewed())
        return false;
    if (report_) {
        report_("Record index",
                index_->ErrorText() +
                    ": the record index was replaced or deleted while in use; the one there now "
                    "is read on from the record files");
    }
    behind_ = true;
    pass_.active = false;
    return true;
}

bool CallIndexer::Step() {
    if (files_ == nullptr) {
        behind_ = false;  // no files to read: records go in from memory only
        lookAt_.clear();
    }
    if (index_ == nullptr || (!behind_ && lookAt_.empty() && waiting_.empty()))
        return false;
    if (failing_ && clock_.Seconds() - lastAttempt_ < kRetrySeconds)
        return false;
    lastAttempt_ = clock_.Seconds();
    sinceCommit_ = 0;

    std::vector<std::string> names;
    if (behind_) {
        std::vector<FileMark> marks;
        if (!index_->Marks(marks))
            return Failed();
        Renew();
        std::map<std::string, FileMark> byName;
        for (FileMark& m : marks)
            byName[m.file] = std::move(m);
        bytesBehind_ = 0;
        for (const std::string& name : files_->Names()) {
            const auto file = files_->Open(name);
            if (!file)
                continue;
            const auto m = byName.find(name);
            const bool known = m != byName.end() && m->second.identity == file->Identity() &&
                               m->second.position <= file->Size();
            if (known && !m->second.checking && m->second.position == file->Size())
                continue;
            names.push_back(name);
            bytesBehind_ += file->Size() - (known ? m->second.position : 0);
        }
        // Every file is looked at until one step finds nothing behind: those said to have grown
        // are among them.
        lookAt_.clear();
    } else {
        names.assign(lookAt_.begin(), lookAt_.end());
    }
    for (const Stored& w : waiting_) {
        if (!w.file.empty() && std::find(names.begin(), names.end(), w.file) == names.end())
            names.push_back(w.file);
    }
    size_t budget = stepRows_;
    std::set<std::string> done;
    Transaction open;
    Outcome outcome = Outcome::Done;
    for (const std::string& name : names) {
        if (budget == 0) {
            outcome = Outcome::More;
            break;
        }
        outcome = Follow(*files_, name, budget, open);
        if (outcome != Outcome::Done)
            break;
        done.insert(name);
    }
    if (outcome == Outcome::Failed || !CommitOpen(open)) {
        Abandon(open);
        return Failed();
    }
    for (const std::string& name : done)
        lookAt_.erase(name);
    if (outcome == Outcome::More) {
        Recovered();
        return true;
    }
    const Outcome rest = CommitLeftOver(done);
    if (rest == Outcome::Failed)
        return Failed();
    Recovered();
    if (rest == Outcome::More)
        return true;
    behind_ = false;
    bytesBehind_ = 0;
    // Nothing left to read: the room of a backlog's batches is not kept while records come one
    // at a time.
    if (!importing_)
        spareRows_ = {};
    return false;
}

bool CallIndexer::Finish() {
    // A program that ends here tries the failing index once more now rather than give up on an
    // attempt made a while ago.
    if (failing_)
        lastAttempt_ = clock_.Seconds() - kRetrySeconds;
    while (index_ != nullptr &&
           ((files_ != nullptr && (behind_ || !lookAt_.empty())) || !waiting_.empty())) {
        Step();
        if (failing_)
            return false;
    }
    return true;
}

void CallIndexer::ReadBatch(FollowedFile& file, const std::string& name, uint64_t from,
                            size_t limit, bool checking, bool useWaiting, Batch& batch) {
    RawFileReader reader(file, from);
    size_t cursor = 0;  // records are appended in the order they wait
    batch.end = from;
    while (batch.rows.size() < limit) {
        if (!reader.Next()) {
            batch.end = reader.End();
            batch.atEnd = true;
            break;
        }
        batch.end = reader.End();
        if (!IsCallRecord(reader.Frame()))
            continue;
        const std::string body = reader.Body();
        IndexRow* row = nullptr;
        if (useWaiting) {
            for (size_t k = 0; k < waiting_.size() && row == nullptr; ++k) {
                const size_t i = (cursor + k) % waiting_.size();
                Stored& w = waiting_[i];
                if (!w.taken && w.file == name && w.body == body) {
                    w.taken = true;
                    batch.taken.push_back(i);
                    batch.movedTo.push_back(batch.rows.size());
                    batch.rows.push_back(std::move(w.row));
                    row = &batch.rows.back();
                    cursor = i + 1;
                }
            }
        }
        if (row == nullptr) {
            const BillingMessage message(reader.Frame(), reader.Length());
            decoder_.DecodeRecord(message, settings_.Hex_Type, fields_);
            const auto after = readBackAfter_.find(name);
            const bool past = after == readBackAfter_.end() || reader.End() > after->second;
            batch.rows.push_back(MakeIndexRow(message, fields_, settings_.Hex_Type,
                                              settings_.Server_Port_index,
                                              past ? readBackSource_ : RecordSource::RawFile,
                                              clock_.Seconds()));
            row = &batch.rows.back();
        }
        if (checking) {
            // The n-th identical record of the file is looked for as the n-th in the index.
            row->occurrence = counter_->Next(body);
            if (row->occurrence < 0) {
                batch.error = counter_->ErrorText();
                return;
            }
        }
    }
    batch.badChecks = reader.BadChecks();
    batch.readFailed = reader.ReadFailed();
}

void CallIndexer::Untake(Batch& batch) {
    for (size_t k = 0; k < batch.taken.size(); ++k) {
        Stored& w = waiting_[batch.taken[k]];
        w.taken = false;
        if (k < batch.movedTo.size()) {
            // Back as it waited: without the id and occurrence a failed insert may have left.
            w.row = std::move(batch.rows[batch.movedTo[k]]);
            w.row.id = 0;
            w.row.occurrence = 0;
        }
    }
    batch.taken.clear();
    batch.movedTo.clear();
}

void CallIndexer::Committed(std::deque<Batch>& batches) {
    // The positions in `taken` hold until the waiting records are let go, all at once.
    uint64_t entered = 0;
    for (Batch& batch : batches) {
        for (size_t i : batch.taken)
            waiting_[i].taken = true;
        entered += EnteredRows(batch.rows);
    }
    std::erase_if(waiting_, [](const Stored& w) { return w.taken; });
    Entered(entered);
}

CallIndexer::Outcome CallIndexer::Follow(FollowedFiles& files, const std::string& name,
                                         size_t& budget, Transaction& open) {
    const auto file = files.Open(name);
    if (!file)
        return Outcome::Done;  // its waiting records go in as records of no file
    const FileIdentity identity = file->Identity();
    const uint64_t size = file->Size();
    while (true) {
        if (!open.open) {
            if (!index_->Begin())
                return Outcome::Failed;
            if (Renew()) {
                index_->Rollback();
                return Outcome::More;
            }
            open.open = true;
        }
        std::optional<FileMark> mark;
        if (!index_->Mark(name, mark))
            return Outcome::Failed;
        // Read on from the mark of this very file; anything else is checked from the start.
        const bool plain = mark && !mark->checking && mark->identity == identity &&
                           mark->position <= size;
        uint64_t from = plain ? mark->position : 0;
        if (!plain) {
            const bool goesOn = pass_.active && pass_.file == name && pass_.identity == identity &&
                                pass_.next > 0 && mark && mark->checking &&
                                mark->identity == identity && mark->position == pass_.next;
            if (!goesOn) {
                pass_ = Pass{true, name, identity, 0};
                counter_->Clear();
            }
            from = pass_.next;
        }
        // A file shorter than its mark lost appends that may come again: they are looked for.
        uint64_t until = mark ? mark->checkUntil : 0;
        if (mark && mark->identity == identity && mark->position > size)
            until = std::max(until, mark->position);
        Batch& batch = open.batches.emplace_back(spareRows_, 2 * stepRows_);
        ReadBatch(*file, name, from, std::min(budget, stepRows_), !plain, true, batch);
        const bool checking = !plain && (!batch.atEnd || batch.end < until);
        const FileMark next{name, identity, batch.end, checking, checking ? until : 0};
        const bool moved = !mark || !(*mark == next);
        if (!batch.error.empty()) {
            error_ = batch.error;
            return Outcome::Failed;
        }
        if ((!batch.rows.empty() && !index_->Insert(batch.rows, !plain)) ||
            (moved && !index_->SetMark(next)))
            return Outcome::Failed;
        open.changed = open.changed || !batch.rows.empty() || moved;
        const size_t rows = batch.rows.size();
        const uint64_t end = batch.end;
        const bool atEnd = batch.atEnd;
        if (checking) {
            // The counter has counted the batch: it is committed before the pass goes on, in a
            // later transaction.
            if (!CommitOpen(open))
                return Outcome::Failed;
            pass_.next = end;
            pass_.active = checking;
        } else if (!plain) {
            // The file is read to its end: its pass ends with the transaction. Should the
            // transaction fail, the file is checked again from its start.
            pass_.active = false;
        }
        budget -= std::min(budget, rows);
        if (atEnd)
            return Outcome::Done;
        if (budget == 0)
            return Outcome::More;
    }
}

bool CallIndexer::CommitOpen(Transaction& open) {
    if (!open.open)
        return true;
    open.open = false;
    if (!open.changed) {
        index_->Rollback();
        open.batches.clear();
        return true;
    }
    open.changed = false;
    if (!index_->Commit())
        return false;
    Committed(open.batches);
    open.batches.clear();
    return true;
}

void CallIndexer::Abandon(Transaction& open) {
    if (open.open)
        index_->Rollback();
    for (Batch& batch : open.batches)
        Untake(batch);
    open = Transaction{};
    // A pass that fails begins again: its counter may have counted rows that are not in.
    pass_.active = false;
}

bool CallIndexer::Check(FollowedFiles& files, const std::string& name, bool followed,
                        CheckCount& count) {
    if (index_ == nullptr)
        return false;
    const auto file = files.Open(name);
    if (!file) {
        count.readFailed = true;
        return true;
    }
    const FileIdentity identity = file->Identity();
    pass_ = Pass{true, name, identity, 0};
    counter_->Clear();
    const auto fail = [&] {
        pass_.active = false;
        return Failed();
    };
    while (true) {
        // Read before the transaction: every row is looked for inside it, so another writer
        // meanwhile changes nothing, and the transaction stays short for the collector.
        Batch batch;
        ReadBatch(*file, name, pass_.next, stepRows_, true, false, batch);
        if (!batch.error.empty()) {
            count.error = batch.error;
            pass_.active = false;
            return false;
        }
        if (!index_->Begin())
            return fail();
        index_->Renewed();
        std::optional<FileMark> mark;
        bool ok = batch.rows.empty() || index_->Insert(batch.rows, true);
        // The whole file is in: its mark moves here unless the collector read further already.
        if (ok && followed && batch.atEnd) {
            ok = index_->Mark(name, mark);
            const uint64_t until = mark && mark->identity == identity ? mark->checkUntil : 0;
            const bool checking = batch.end < until;
            const FileMark next{name, identity, batch.end, checking, checking ? until : 0};
            const bool ahead = mark && !mark->checking && mark->identity == identity &&
                               mark->position >= batch.end;
            ok = ok && (ahead || index_->SetMark(next));
        }
        if (!ok) {
            index_->Rollback();
            return fail();
        }
        if (!index_->Commit())
            return fail();
        Recovered();
        pass_.next = batch.end;
        count.callRecords += batch.rows.size();
        count.badChecks += batch.badChecks;
        count.readFailed = count.readFailed || batch.readFailed;
        const uint64_t added = EnteredRows(batch.rows);
        Entered(added);
        count.added += added;
        if (batch.atEnd) {
            pass_.active = false;
            return true;
        }
    }
}

CallIndexer::Outcome CallIndexer::CommitLeftOver(const std::set<std::string>& done) {
    // Records of no raw file go in as they are; those whose file was read to its end without
    // them (another writer kept the append out, or a rebuild read them first) only if missing.
    std::deque<Batch> both(2);
    Batch& loose = both[0];
    Batch& missing = both[1];
    for (size_t i = 0; i < waiting_.size(); ++i) {
        Stored& w = waiting_[i];
        const bool own = w.file.empty() && !w.again;
        if (!w.file.empty() && done.count(w.file) == 0)
            continue;
        Batch& batch = own ? loose : missing;
        w.taken = true;
        batch.taken.push_back(i);
        batch.rows.push_back(w.row);
        batch.rows.back().occurrence = 0;
    }
    if (loose.rows.empty() && missing.rows.empty())
        return Outcome::Done;
    const auto undo = [&] {
        Untake(loose);
        Untake(missing);
    };
    if (!index_->Begin()) {
        undo();
        return Outcome::Failed;
    }
    if (Renew()) {
        index_->Rollback();
        undo();
        return Outcome::More;
    }
    if ((!loose.rows.empty() && !index_->Insert(loose.rows, false)) ||
        (!missing.rows.empty() && !index_->Insert(missing.rows, true))) {
        index_->Rollback();
        undo();
        return Outcome::Failed;
    }
    if (!index_->Commit()) {
        undo();
        return Outcome::Failed;
    }
    Committed(both);
    return Outcome::Done;
}

bool CallIndexer::Failed() {
    for (Stored& w : waiting_)
        w.taken = false;
    behind_ = true;
    const std::string error = error_.empty() ? index_->ErrorText() : std::exchange(error_, {});
    if (error == index_->ErrorText() && index_->Damaged()) {
        const std::string damage = index_->ErrorText();
        std::string where;
        if (index_->SetAside(where)) {
            if (report_) {
                report_("Record index", damage + ": the damaged database is set aside as " +
                                            where +
                                            "; a new one is built from the record files");
            }
            pass_.active = false;
            failing_ = false;
            return false;
        }
    }
    if (!failing_ && report_) {
        report_("Record index", error +
                                    "; the record files are written as before, and the index "
                                    "reads them on from where it stopped once it works again "
                                    "(tried every " +
                                    std::to_string(kRetrySeconds) + " s)");
    }
    failing_ = true;
    return false;
}

void CallIndexer::Recovered() {
    if (failing_ && report_) {
        report_("Record index",
                "works again" + (lost_ > 0 ? ": " + std::to_string(lost_) +
                                                 " records stored in no raw file were left out"
                                           : std::string()));
    }
    failing_ = false;
    gaveUp_ = false;
    lost_ = 0;
}

uint64_t CallIndexer::EnteredRows(const std::vector<IndexRow>& rows) {
    return static_cast<uint64_t>(
        std::count_if(rows.begin(), rows.end(), [](const IndexRow& r) { return r.id != 0; }));
}

void CallIndexer::Entered(uint64_t rows) {
    enteredCount_ += rows;
    if (entered_ && rows > 0)
        entered_(rows);
}

int64_t CallIndexer::NextStepMs() const {
    const bool toRead = files_ != nullptr && (behind_ || !lookAt_.empty());
    if (index_ == nullptr || (!toRead && waiting_.empty()))
        return -1;
    if (failing_)
        return std::max<int64_t>(0, (lastAttempt_ + kRetrySeconds - clock_.Seconds()) * 1000);
    if (importing_ && !toRead)
        return -1;  // the import's batch commits
    return 0;
}

}  // namespace velk
