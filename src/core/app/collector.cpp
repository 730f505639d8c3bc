#include "core/app/collector.h"

#include <algorithm>
#include <array>

namespace velk {

namespace {

// An area without its trailing zero bytes, but never shorter than keep bytes: what the journal
// keeps of it. A frame's own last bytes (its BCC digits and ETX) may be zero bytes and stay.
std::string Trimmed(const uint8_t* area, size_t size, size_t keep = 0) {
    while (size > keep && area[size - 1] == 0)
        --size;
    return std::string(reinterpret_cast<const char*>(area), size);
}

}  // namespace

Collector::Collector(AppSettings& settings, const std::filesystem::path& baseDirectory,
                     OperatorPrompt& prompt, const Clock& clock, TimerHost& timers,
                     LastCallsRing& ring, FileStore& files)
    : settings_(settings),
      base_(baseDirectory),
      prompt_(prompt),
      clock_(clock),
      timers_(timers),
      ring_(ring),
      decoder_(settings),
      log_(baseDirectory / "VELK.LOG", settings, clock, counters_),
      pipeline_(settings, decoder_, ring, counters_, clock, relay_),
      protocol_(settings, counters_, timers, clock, prompt, relay_, pipeline_, log_),
      connection_(settings, protocol_, clock, prompt),
      hdConverter_(settings),
      files_(files, baseDirectory),
      journal_(files_, baseDirectory,
               [this](const std::string& event, const std::string& detail) {
                   ReportProblem(event, detail);
               }),
      recorder_(settings, files_, OutputDirectories::Under(baseDirectory)),
      indexer_(settings, clock, nullptr, nullptr,
               [this](const std::string& event, const std::string& detail) {
                   ReportProblem(event, detail);
               }),
      filter_(settings, [this] { protocol_.SMDA_Count_Event(EV_PASSED_FILTER); }),
      traffic_(files_, OutputDirectories::Under(baseDirectory).trf),
      alarms_(clock),
      rules_(alarms_, clock, static_cast<int64_t>(settings.Alerts_HoldBackMinutes) * 60,
             [this](const Alert& alert) {
                 if (alertSink_)
                     alertSink_(alert);
             }) {
    alarms_.SetListener(&rules_);
    protocol_.SetHdConverter(&hdConverter_);
    protocol_.SetJournal(&linkState_);
    files_.Track(&journal_.State().positions);
    recorder_.SetHandOffWaitsForRecord(true);
    // A hand-off comes only after the journal's newest state is on the disk; the move itself
    // reaches the disk before anything else is written, and only then does the journal say that
    // the in-file starts again empty.
    recorder_.SetBeforeHandOff([this](const std::filesystem::path&) {
        // An import's batch reaches every file and the disk first (and the index, or the reader
        // that keeps it, is told): the billing application never gets a record that the other
        // files lack.
        if (pipeline_.ImportRunning() && (!StoreImportBatch() || flushFailing_))
            return false;
        return journal_.MakeDurable();
    });
    recorder_.SetAfterHandOff([this](const std::filesystem::path& in) {
        FlushRecords();
        if (files_.Moved(in))
            journal_.Save(true);
    });
    pipeline_.SetSaver(&saver_);
    pipeline_.SetFilter(&filter_);
    pipeline_.SetTrafficSink(&traffic_);
    recorder_.SetBufferTimerRestart([this] {
        timers_.KillTimer(kBufferTimer);
        timers_.StartTimer(kBufferTimer, BufferTimerPeriod());
    });
    traffic_.SetStoredCallback(
        [this](const std::string& line) { relay_.TrafficReportStored(line); });
    const auto report = [this](const std::string& event, const std::string& detail) {
        ReportProblem(event, detail);
    };
    recorder_.SetProblemReport(report);
    traffic_.SetProblemReport(report);
}

void Collector::ReportProblem(const std::string& event, const std::string& detail) {
    if (event == "Not written") {
        ++notWritten_;
        RaiseAlarm(alarm_kind::kNotWritten, event, detail);
        return;
    }
    log_.Note(event, detail);
    relay_.Problem(event + ": " + detail);
}

void Collector::RaiseAlarm(const std::string& kind, const std::string& event,
                           const std::string& detail) {
    log_.Note(event, detail);
    relay_.Problem(event + ": " + detail);
    alarms_.Raise(kind, event + ": " + detail);
}

void Collector::ClearAlarm(const std::string& kind, const std::string& event,
                           const std::string& detail) {
    if (!alarms_.Active(kind))
        return;
    if (!event.empty())
        log_.Note(event, detail);
    alarms_.Clear(kind);
}

void Collector::AlertReport(const std::vector<AlertNote>& notes) {
    for (const AlertNote& note : notes) {
        log_.Note(note.event, note.detail);
        if (note.event != "Alert sent")
            relay_.Problem(note.event + ": " + note.detail);
    }
}

int32_t Collector::SilenceMinutes() const {
    return settings_.NoRecordsAlarmMinutes == AppSettings::kUnsetMinutes
               ? silenceDefault_
               : settings_.NoRecordsAlarmMinutes;
}

void Collector::Start() {
    filter_.LoadAtStartup(prompt_);
    recorder_.DropDoubledInFiles();
    // A record cut short by a kill inside an append never meets a reader, nor a record glued
    // after it.
    CutTornRecords(files_, settings_, OutputDirectories::Under(base_),
                   [this](const std::string& event, const std::string& detail) {
                       ReportProblem(event, detail);
                   });
    // Whatever a kill or a failing index left out of the index is read from the record files.
    indexer_.CatchUp();
    Resume();
    timers_.StartTimer(kBufferTimer, BufferTimerPeriod());
    ScheduleIndex();
    OnSpaceLook();
    if (settings_.DiskSpaceAlarmMB > 0)
        timers_.StartTimer(kSpaceTimer, kSpaceLookMs);
    rules_.SetHoldBack(static_cast<int64_t>(settings_.Alerts_HoldBackMinutes) * 60);
    silence_.SetMinutes(SilenceMinutes());
    if (silence_.Minutes() > 0)
        timers_.StartTimer(kSilenceTimer, kSilenceLookMs);
    timers_.StartTimer(kAlarmTimer, kAlarmLookMs);
}

void Collector::ScheduleIndex() {
    const int64_t next = indexer_.NextStepMs();
    // A step at once still lets the link's events in between.
    const int ms = next < 0 ? kIndexTimerMs : static_cast<int>(std::clamp<int64_t>(next, 1, kIndexTimerMs));
    if (ms == indexTimerMs_)
        return;
    indexTimerMs_ = ms;
    timers_.StartTimer(kIndexTimer, ms);
}

int Collector::BufferTimerPeriod() const {
    // A hand-edited period of zero or less would hand off without pause: one minute then.
    const int minutes = settings_.BufferUpdateMaxTimer > 0 ? settings_.BufferUpdateMaxTimer : 1;
    return minutes * 60000;
}

void Collector::OnTimer(int id) {
    if (id == kBufferTimer) {
        recorder_.BuffersOnTimer();
        return;
    }
    if (id == kSilenceTimer) {
        OnSilenceLook();
        return;
    }
    if (id == kSpaceTimer) {
        OnSpaceLook();
        return;
    }
    if (id == kStoreRetryTimer) {
        RetryStore();
        return;
    }
    if (id == kAlarmTimer) {
        OnAlarmLook();
        return;
    }
    if (id == kIndexTimer) {
        indexer_.Step();
        ScheduleIndex();
        return;
    }
    protocol_.SMDA_Timer_Expired(id);
}

void Collector::SetView(CollectorView* view) {
    view_ = view;
    connection_.SetView(view);
}

// Every record of the hard-disk buffer is stored once whenever the program is killed or the
// power fails. Records are taken in batches (up to DiskQueueReader::kBatch): the steps of one
// batch B of n records from slot i, what is on the disk after each, and what the next start does
// if the program dies right there:
//
//  1. The reader reads B under the producer's lock; the queue is not changed. Next start: B is
//     read again; the journal does not name it, so it is stored as a new batch.
//  2. The journal writes "storing B" (slot i, n, the check of their bytes) with the sequence
//     baseline before B and the length of each record file the last batch went to (the
//     positions), and flushes it: one fdatasync for the whole batch. Killed before the flush
//     returned: as 3 (the state is in the system's memory); power failure: as 1.
//  3. The records are appended to their files, in the system's memory only; a file the journal
//     has no position for is positioned, and the journal flushed, before its first append. Next
//     start: the read index still stands at i and the journal names B as being stored: B is
//     stored again by position (bytes found at a file's position are left, a file that ends
//     there gets them, one that ends inside them is cut back and gets them whole).
//  4. FlushWritten, the checkpoint: B is on the disk in every file. Next start: as 3; every file
//     holds B at its positions, nothing is appended.
//  5. The journal writes "stored B" (with the sequence baseline and the positions after B) and
//     flushes it; the buffer files may be handed over. Next start: B is not stored again, the
//     read index only moves on. (Were this state not flushed, a power failure after step 6 would
//     leave "storing B" with the baseline before B, and the next batch would raise a false
//     sequence gap.)
//  6. The reader moves the read index past B, under the lock, if the slots still hold B, and
//     flushes the queue file. Before that flush a power failure may take the index back: as 5.
//     After it the queue no longer offers B, and the journal names slots behind the read index:
//     nothing is done with them. The next batch's step 2 comes only after this flush.
//  A commit that fails leaves the read index at i: the next poll finds B stored (step 5) and
//  only moves the index on. A record of B that a file refuses (a full disk) ends B there: the
//  journal names B up to that record from the retry on, the batch is held and stays in the queue,
//  and the retry flushes the journal, appends what was refused, then goes on at step 4.
size_t Collector::DeliverFromDiskBuffer(uint32_t firstSlot,
                                        const std::vector<BillingRecord>& records) {
    if (records.empty())
        return 0;
    // A batch held back is stored first; until it is, these stay in the queue.
    if (StoreHeld() && !RetryStore())
        return 0;
    // Each record's area without its trailing zero bytes names it (a slot of zero bytes is an
    // empty one, and a record all the same).
    std::vector<std::string> kept;
    kept.reserve(records.size());
    for (const BillingRecord& r : records)
        kept.push_back(Trimmed(r.data(), r.size()));
    JournalState& state = journal_.State();
    const auto first = [&kept](size_t n) {
        return std::vector<std::string>(kept.begin(), kept.begin() + static_cast<long>(n));
    };
    // The batch the journal names comes first again after a restart: the read index did not move
    // past it. Stored: it only leaves the queue; being stored: it is stored again by position.
    const bool named = state.queueStep != JournalState::QueueStep::None &&
                       state.queueSlot == firstSlot && state.queueCount > 0 &&
                       state.queueCount <= records.size() &&
                       DeliveryJournal::QueueCheck(first(state.queueCount)) == state.queueCheck;
    if (named && state.queueStep == JournalState::QueueStep::Stored)
        return state.queueCount;
    const size_t n = named ? state.queueCount : records.size();
    if (!named) {
        state.queueStep = JournalState::QueueStep::Storing;
        state.queueSlot = firstSlot;
        state.queueCount = static_cast<uint32_t>(n);
        state.queueCheck = DeliveryJournal::QueueCheck(kept);
        state.positions = files_.StartPositions();
        state.byPosition = true;
        if (!journal_.Save(true)) {
            // Not durable: they are not taken; they stay in the queue.
            state.queueStep = JournalState::QueueStep::None;
            state.queueSlot = 0;
            state.queueCount = 0;
            state.queueCheck = 0;
            Hold(Held::Journal, journal_.Path().string() + " cannot be written (" +
                                    files_.ErrorText() + ")");
            return 0;
        }
    }
    files_.Begin(named ? ResumingFileStore::Mode::Resuming : ResumingFileStore::Mode::Storing,
                 state.byPosition, KeepPositions());
    source_ = RecordSource::DiskBuffer;
    // The index takes the batch's rows in one commit, not one commit a record (it reads them back
    // from the files, so a kill between the two only delays them).
    const bool batchIndex = !pipeline_.ImportRunning();
    if (batchIndex)
        indexer_.SetImporting(true);
    size_t done = 0;
    while (done < n && !files_.Owes()) {
        const std::vector<uint8_t> frame =
            ConvertBillingRecord(records[done], settings_.Hex_Type, settings_.APP_LCRinMandatory);
        const uint32_t length = ParseLengthDigits(&frame[1]);
        protocol_.Data_Len = length;
        pipeline_.ProcessMessage(frame.data(), length);
        protocol_.SMDA_Count_Event(EV_NORMAL_DATA);
        ++done;
    }
    source_ = RecordSource::Link;
    if (batchIndex) {
        indexer_.SetImporting(false);
        ScheduleIndex();
    }
    if (done < n) {
        // A record its files refused ends the batch there: nothing after it may reach a file
        // before it does. The journal names the shorter batch from the retry on (a kill before
        // that stores the longer one again by position, which is as sound); the rest stays in
        // the queue for the next batch.
        state.queueCount = static_cast<uint32_t>(done);
        state.queueCheck = DeliveryJournal::QueueCheck(first(done));
    }
    files_.End();
    if (named)
        SetAsideIfOlder();
    // The checkpoint of the batch: its records on the disk in every file, then the journal says
    // so, then (the reader) the read index moves past them. Records whose files refused them are
    // held: the journal keeps naming the batch as being stored, the batch stays in the queue.
    heldSequence_ = live_.Baseline();
    if (files_.Owes() || !FlushRecords()) {
        Hold(Held::QueueRecord, "the record files cannot be written (" + files_.ErrorText() + ")");
        return 0;
    }
    FinishQueueRecord();
    return done;
}

void Collector::FinishQueueRecord() {
    JournalState& state = journal_.State();
    state.queueStep = JournalState::QueueStep::Stored;
    state.sequence = heldSequence_;
    state.positions = files_.StartPositions();
    state.byPosition = true;
    journal_.Save(true);
    recorder_.HandOffAfterRecord();
}

void Collector::Hold(Held what, const std::string& why) {
    if (held_ != Held::None)
        return;
    held_ = what;
    timers_.StartTimer(kStoreRetryTimer, kStoreRetryMs);
    const std::string detail =
        why + "; the record is kept and nothing new is taken until it is stored (tried again "
              "every " + std::to_string(kStoreRetryMs / 1000) + " s)";
    RaiseAlarm("not-stored", "Not stored", detail);
    if (view_ != nullptr)
        view_->StoreAlarm("Not stored: " + detail);
}

bool Collector::RetryStore() {
    if (held_ == Held::None)
        return true;
    if (held_ == Held::Journal) {
        if (!journal_.Save(true))
            return false;
    } else {
        // The positions a refused append added are on the disk before its bytes go out again.
        if (!journal_.Save(true) || !files_.RetryOwed() || !FlushRecords())
            return false;
        if (held_ == Held::LinkFrame)
            FinishLinkFrame();
        else
            FinishQueueRecord();
    }
    held_ = Held::None;
    timers_.KillTimer(kStoreRetryTimer);
    // The PBX is polled again after the usual pause, not after the long one of a held link.
    if (protocol_.ConStat == 1 && protocol_.State == IDLE)
        protocol_.SMDA_Start_Timer(ENQ_DATA_PERIOD_TIMER);
    ReportProblem("Not stored", "over: the records are stored again and collection goes on");
    alarms_.Clear("not-stored");
    if (view_ != nullptr)
        view_->StoreAlarm(std::string());
    return true;
}

std::function<bool()> Collector::KeepPositions() {
    return [this] { return journal_.Save(true); };
}

void Collector::SetAsideIfOlder() {
    // A stale journal (a copy put back) never stores twice: its positions lie behind records
    // the files hold, and bytes found at a position are left. It is told and set aside.
    std::string reason;
    for (const std::string& file : files_.Longer())
        reason += (reason.empty() ? "" : "; ") + file + " holds more than it knew";
    for (const std::string& file : files_.Misfits())
        reason += (reason.empty() ? "" : "; ") + file + " holds other bytes at its position";
    if (!reason.empty())
        journal_.SetAside("it is older than the files: " + reason);
}

void Collector::DiskBufferNotice(QueueNotice kind, const std::string& text) {
    log_.Note("HD Buffer", text);
    relay_.Problem("HD Buffer: " + text);
    if (kind == QueueNotice::Alarm)
        alarms_.Raise(alarm_kind::kDiskBuffer, "HD Buffer: " + text);
    if (kind == QueueNotice::AlarmOver)
        alarms_.Clear(alarm_kind::kDiskBuffer);
    if (view_ != nullptr && kind != QueueNotice::Note)
        view_->DiskBufferAlarm(kind == QueueNotice::Alarm ? "HD Buffer: " + text : std::string());
}

bool Collector::ImportMessage(const uint8_t* frame, uint32_t length) {
    // A record held from before (the journal's, at a start on a full disk) goes first.
    if (StoreHeld() && !RetryStore()) {
        files_.SetLeaveOut({});
        return false;
    }
    source_ = RecordSource::Import;
    files_.BeginRecord();
    const size_t rowsBefore = importRows_.size();
    // A store that can hold the appends of an import keeps them until the batch is written.
    files_.HoldAppends(true);
    pipeline_.ProcessMessage(frame, length);
    files_.HoldAppends(false);
    source_ = RecordSource::Link;
    files_.SetLeaveOut({});
    counters_.Count(EV_NORMAL_DATA, clock_.Now().hour);
    relay_.StatisticsRowChanged(EV_NORMAL_DATA);
    if (files_.Owes()) {
        // The import file still holds the record: it is taken out of the files that got it, and
        // a run of the import later stores it whole. Nothing more is stored now, and no buffer
        // file is handed over.
        files_.ForgetOwed();
        files_.Undo();
        importRows_.resize(rowsBefore);
        ImportNotStored();
        return false;
    }
    files_.EndRecord();
    ++importBatch_;
    recorder_.HandOffAfterRecord();
    if (importStopped_)
        return false;  // a hand-off's batch could not be stored (reported)
    if (importBatch_ >= kImportFlushBatch)
        return StoreImportBatch();
    return true;
}

bool Collector::StoreImportBatch() {
    // The batch reaches its files, then the disk, and only then the index, which reads the raw
    // files: it never names a record its raw file does not hold.
    importBatch_ = 0;
    if (!files_.WritePending()) {
        // Every file the batch went to is back where the batch began: each of its records is in
        // none of its files, and the import file still holds them for a run again. The index
        // learns what the files hold by reading them.
        importTakenBack_ += recorder_.RecordsWritten() - writtenAtBatch_;
        writtenAtBatch_ = recorder_.RecordsWritten();
        importRows_.clear();
        importStopped_ = true;
        indexer_.CatchUp();
        ImportNotStored();
        FlushRecords();
        return false;
    }
    writtenAtBatch_ = recorder_.RecordsWritten();
    // After a flush that failed, whatever it left off the disk is in the files past what was
    // said stored: nothing more is said (a reader takes it up at the next start).
    if (!FlushRecords())
        importUnflushed_ = true;
    else if (importStored_ && !importUnflushed_)
        importStored_();
    for (ImportRow& r : importRows_) {
        const BillingMessage message(reinterpret_cast<const uint8_t*>(r.frame.data()), r.length);
        if (r.again)
            indexer_.AddAgain(message, r.fields, RecordSource::Import);
        else
            indexer_.Add(message, r.fields, RecordSource::Import);
    }
    importRows_.clear();
    ScheduleIndex();
    return true;
}

void Collector::ImportNotStored() {
    ReportProblem("Not stored",
                  "the record files cannot be written (" + files_.ErrorText() + "); the import stops");
}

void Collector::ImportBadCheck() {
    counters_.Count(EV_BAD_BCC, clock_.Now().hour);
    relay_.StatisticsRowChanged(EV_BAD_BCC);
}

void Collector::BeginImport() {
    import_.Reset();
    importStopped_ = false;
    importBatch_ = 0;
    writtenAtBatch_ = recorder_.RecordsWritten();
    importTakenBack_ = 0;
    pipeline_.SetImportRunning(true);
    indexer_.SetImporting(true);
}

bool Collector::EndImport() {
    pipeline_.SetImportRunning(false);
    // The records' files reach the disk before the index names them.
    const bool stored = StoreImportBatch();
    const bool flushed = !flushFailing_;
    indexer_.SetImporting(false);
    ScheduleIndex();
    return stored && flushed;
}

bool Collector::IndexingSaver::SaveCall_All(const BillingMessage& message) {
    return owner_.recorder_.SaveCall_All(message);
}

bool Collector::IndexingSaver::SaveDecoded(const BillingMessage& message,
                                           const LastCallsRing::Record& fields) {
    // The files first: the index never holds them up. A record stored again at a resume may
    // have reached the index before the program stopped.
    const uint64_t refusedBefore = owner_.notWritten_;
    owner_.recorder_.SaveDecoded(message, fields);
    // A record every file took: the files are writable again.
    if (owner_.notWritten_ == refusedBefore) {
        owner_.alarms_.Clear(alarm_kind::kNotWritten);
    }
    if (owner_.source_ == RecordSource::Import) {
        if (!owner_.indexer_.HasIndex())
            return true;
        // An import's records reach the index once their batch is in the files.
        const auto* data = reinterpret_cast<const char*>(message.Data());
        owner_.importRows_.push_back({std::string(data, data + message.End()), message.Length(),
                                      fields, owner_.files_.Resuming()});
        return true;
    }
    if (owner_.files_.Resuming())
        owner_.indexer_.AddAgain(message, fields, owner_.source_);
    else
        owner_.indexer_.Add(message, fields, owner_.source_);
    owner_.ScheduleIndex();
    return true;
}

void Collector::DatabaseReport(const std::vector<ShipNote>& notes, const ShipStatus& status) {
    for (const ShipNote& note : notes) {
        log_.Note(note.event, note.detail);
        if (view_ != nullptr)
            view_->DatabaseNote(note.event + " " + note.detail);
    }
    const bool alarmChanged = status.alarm != database_.alarm;
    database_ = status;
    if (alarmChanged && !status.alarm.empty())
        alarms_.Raise(alarm_kind::kDatabase, status.alarm);
    if (alarmChanged && status.alarm.empty())
        alarms_.Clear(alarm_kind::kDatabase);
    if (status.troubleSince == 0) {
        ClearAlarm(alarm_kind::kDatabaseAway, "Database away",
                   "over: the database server takes the records again");
    }
    if (view_ != nullptr) {
        view_->DatabaseStatus(status.line);
        if (alarmChanged)
            view_->DatabaseAlarm(status.alarm);
    }
}

void Collector::ResetSequence() {
    live_.Reset();
    journal_.State().sequence.reset();
    journal_.Save(false);
}

bool Collector::FlushRecords() {
    if (files_.FlushWritten()) {
        if (flushFailing_) {
            ReportProblem("Not flushed", "the record files reach the disk again");
            alarms_.Clear(alarm_kind::kNotFlushed);
        }
        flushFailing_ = false;
        return true;
    }
    if (!flushFailing_) {
        RaiseAlarm(alarm_kind::kNotFlushed, "Not flushed",
                   files_.ErrorText() + "; records written may be lost if the power fails");
    }
    flushFailing_ = true;
    return false;
}

// Every frame over the link is stored once whenever the program is killed or the power fails.
// The journal is the write-ahead log: before the ACK only the journal entry is flushed; the
// record files reach the disk at the checkpoint after the EOT, while the pause before the next
// poll runs. The steps of one frame, what is on the disk after each, what the PBX believes, and
// what the next start does if the program dies right there:
//
//  1. The frame passes its checks. Disk: the journal's newest state names the frame before as
//     delivered, and where each file the frame before went to ends. PBX: it has no ACK and keeps
//     the record. Next start: the PBX sends the record again and it is stored as a new one.
//  2. Acknowledging: the journal writes "pending: this frame" with the duplicate check's and the
//     sequence check's baselines as they are and the positions (the length of each file the
//     frame before went to), and flushes it: one fdatasync of a few hundred bytes, the only wait
//     before the ACK. Killed before the flush returned: the state is in the system's memory, as
//     after step 3; power failure: as step 1.
//  3. ACK leaves. PBX: the record counts as sent; it sends EOT, or sends the frame again if the
//     ACK was lost. Next start: the pending frame goes through the pipeline before anything else
//     is received; a copy the PBX sends again is dropped by the duplicate check, which now names
//     it.
//  4. EOT (or no EOT, and the link gives up waiting): the pause before the next poll starts, the
//     pipeline appends the record to its files (Bill, Bill_Backup, buffers, traffic), in the
//     system's memory only; a file the journal has no position for (a new day's, a buffer
//     in-file made anew) is positioned first and the journal flushed before the append. Next
//     start: as step 3, and the record is stored by position: a file that holds its bytes at the
//     position keeps them, one that ends at the position gets them, one that ends inside them
//     (an append cut short) is cut back and gets them whole. Equal bytes elsewhere (a record
//     before with the same line) never count.
//  5. The checkpoint, FlushWritten: fdatasync of every file appended to, side by side. Disk: the
//     record in all its files, the journal still says pending. Next start: every file holds it
//     at its position, nothing is appended; the ring, the counters and the sequence check see
//     the record once more, from their baselines before it.
//  6. The journal writes "delivered: this frame is the last" with the positions after it,
//     without a flush, into the slot of the next state (never over the newest durable one).
//     Kill: the next start finds it and does nothing; power failure: the write may be lost or
//     cut, the next start is as after 5. The next frame's step 2 makes it durable.
//  7. The buffer files may be handed over: first the journal's newest state is flushed (a
//     power failure after the move must not bring back "pending" for a record already in the
//     handed-over file), and the in-file's position is 0 from then on.
//  A file that refuses its append in step 4 (a full disk) is left as it was before it; the record
//  is held: the journal keeps it pending, the PBX is not polled, and a retry first flushes the
//  journal (with any position added meanwhile), then appends what was refused, then goes on at
//  step 5. A kill or a power failure while it is held is as after step 3.
void Collector::Resume() {
    journal_.Load();
    const JournalState& state = journal_.State();
    files_.Remember(state.positions);
    std::array<uint8_t, cs_smda_prot::kCompared> last{};
    std::copy(state.lastFrame.begin(), state.lastFrame.end(), last.begin());
    protocol_.RestoreLastFrame(last.data());
    live_.Restore(state.sequence);
    if (state.pending) {
        const std::string area = state.pendingArea;
        files_.Begin(ResumingFileStore::Mode::Resuming, state.byPosition, KeepPositions());
        protocol_.DeliverRecovered(reinterpret_cast<const uint8_t*>(area.data()), area.size(),
                                   state.pendingLength);
        SetAsideIfOlder();
    }
}

bool Collector::LinkState::Acknowledging(const uint8_t* area, uint32_t length) {
    if (owner_.StoreHeld())
        return false;
    JournalState& state = owner_.journal_.State();
    state.pending = true;
    state.pendingLength = length;
    state.pendingArea = Trimmed(area, cs_smda_prot::kReceiveArea,
                                std::min<size_t>(length + 4, cs_smda_prot::kReceiveArea));
    state.positions = owner_.files_.StartPositions();
    state.byPosition = true;
    if (owner_.journal_.Save(true)) {
        owner_.files_.Begin(ResumingFileStore::Mode::Storing, true, owner_.KeepPositions());
        return true;
    }
    state.pending = false;
    state.pendingLength = 0;
    state.pendingArea.clear();
    owner_.Hold(Held::Journal, owner_.journal_.Path().string() + " cannot be written (" +
                                   owner_.files_.ErrorText() + ")");
    return false;
}

void Collector::LinkState::Delivered(const uint8_t* lastFrame) {
    owner_.files_.End();
    owner_.heldLastFrame_ = Trimmed(lastFrame, cs_smda_prot::kCompared);
    owner_.heldSequence_ = owner_.live_.Baseline();
    if (owner_.files_.Owes() || !owner_.FlushRecords()) {
        // The journal keeps the frame pending: a kill now stores it at the next start.
        owner_.Hold(Held::LinkFrame,
                    "the record files cannot be written (" + owner_.files_.ErrorText() + ")");
        return;
    }
    owner_.FinishLinkFrame();
}

void Collector::FinishLinkFrame() {
    JournalState& state = journal_.State();
    state.pending = false;
    state.pendingLength = 0;
    state.pendingArea.clear();
    // What the journal knows of the files from now on: where the next frame will begin.
    state.positions = files_.StartPositions();
    state.byPosition = true;
    state.lastFrame = heldLastFrame_;
    state.sequence = heldSequence_;
    journal_.Save(false);
    recorder_.HandOffAfterRecord();
}

void Collector::OnCallRecord(const BillingMessage& message) {
    const bool importing = pipeline_.ImportRunning();
    if (!importing) {
        silence_.Record(clock_.Seconds());
        alarms_.Clear(alarm_kind::kNoRecords);
    }
    // A record too short to hold its sequence number is not counted.
    if (!message.Has(11))
        return;
    const int base = RecordBase::FromHexType(settings_.Hex_Type).numbers;
    SequenceCheck& check = importing ? import_ : live_;
    const auto event = check.Take(static_cast<uint32_t>(NumberAt(message, 8, 4, base)), base);
    if (!event) {
        if (!importing)
            alarms_.Clear(alarm_kind::kSequence);
        return;
    }
    log_.Note(event->Event(), event->Detail() + (importing ? " in the import" : ""));
    // An import's gaps are told to the person running it, not sent away.
    if (!importing)
        alarms_.Raise(alarm_kind::kSequence, event->Line());
    if (view_ != nullptr)
        view_->SequenceAlarm(event->Line() + (importing ? " in the import" : ""), live_.Missing());
}

void Collector::OnSilenceLook() {
    const bool connected = connection_.MenuState() == LinkMenuState::Connected;
    if (!silence_.Tick(connected, clock_.Seconds()))
        return;
    log_.Note("No records", silence_.Detail());
    alarms_.Raise(alarm_kind::kNoRecords, "No records: " + silence_.Detail());
    if (view_ != nullptr)
        view_->SilenceAlarm("No records: " + silence_.Detail());
}

void Collector::OnSpaceLook() {
    if (settings_.DiskSpaceAlarmMB <= 0)
        return;
    const std::optional<uint64_t> free = files_.FreeBytes(base_);
    if (!free)
        return;
    const uint64_t threshold = static_cast<uint64_t>(settings_.DiskSpaceAlarmMB) << 20;
    const std::string figures = base_.string() + ": " + std::to_string(*free >> 20) +
                                " MB free, the alarm is set at " +
                                std::to_string(settings_.DiskSpaceAlarmMB) + " MB (DiskSpaceAlarmMB)";
    if (*free < threshold && !spaceLow_) {
        spaceLow_ = true;
        RaiseAlarm("disk-space-low", "Disk space low",
                   figures + "; records stop being stored when it is full");
    } else if (*free >= threshold && spaceLow_) {
        spaceLow_ = false;
        ReportProblem("Disk space low", "over: " + figures);
        alarms_.Clear("disk-space-low");
    }
}

namespace {

std::string Minutes(int64_t minutes) {
    return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

}  // namespace

void Collector::OnAlarmLook() {
    const int64_t now = clock_.Seconds();
    // The link counts as down while it is wanted (being connected, or reconnected) and not up;
    // one the operator disconnected is not wanted.
    const LinkMenuState link = connection_.MenuState();
    const bool down = link == LinkMenuState::Connecting || link == LinkMenuState::Reconnecting;
    const int64_t linkMinutes = settings_.Alerts_LinkDownMinutes;
    if (!down) {
        linkDownSince_.reset();
        ClearAlarm(alarm_kind::kLinkDown, "Link down", "over: the link is up again");
    } else {
        if (!linkDownSince_)
            linkDownSince_ = now;
        if (linkMinutes > 0 && now - *linkDownSince_ >= linkMinutes * 60 &&
            !alarms_.Active(alarm_kind::kLinkDown)) {
            RaiseAlarm(alarm_kind::kLinkDown, "Link down",
                       "no connection to the PBX for " + Minutes(linkMinutes));
        }
    }
    const int64_t databaseMinutes = settings_.Alerts_DatabaseAwayMinutes;
    if (databaseMinutes > 0 && database_.troubleSince != 0 &&
        now - database_.troubleSince >= databaseMinutes * 60 &&
        !alarms_.Active(alarm_kind::kDatabaseAway)) {
        RaiseAlarm(alarm_kind::kDatabaseAway, "Database away",
                   "the database server has taken no records for " + Minutes(databaseMinutes) +
                       "; they wait in VELK.db");
    }
    rules_.Tick();
}

void Collector::OnPeerClosed() {
    protocol_.OnPeerClosed();
    connection_.Refresh();
}

void Collector::Relay::Notify(NotifyCode code, int value) {
    if (code == NOTIFY_CONNECTION)
        owner_.connection_.OnNotifyConnection(value);
    if (code == NOTIFY_CONNECTION && value == 1) {
        owner_.linkDownSince_.reset();
        owner_.ClearAlarm(alarm_kind::kLinkDown, "Link down", "over: the link is up again");
    }
    if (owner_.view_ != nullptr)
        owner_.view_->Notify(code, value);
}

#define VELK_RELAY(call)         \
    if (owner_.view_ != nullptr) \
    owner_.view_->call

void Collector::Relay::TxLamp() {
    VELK_RELAY(TxLamp());
}
void Collector::Relay::RxLamp() {
    VELK_RELAY(RxLamp());
}
void Collector::Relay::ErrLamp() {
    VELK_RELAY(ErrLamp());
}
void Collector::Relay::SetRxProgressRange(int m) {
    VELK_RELAY(SetRxProgressRange(m));
}
void Collector::Relay::SetRxProgressPosition(int p) {
    VELK_RELAY(SetRxProgressPosition(p));
}
void Collector::Relay::MessageReceived() {
    VELK_RELAY(MessageReceived());
}
void Collector::Relay::ConnectionEstablished() {
    VELK_RELAY(ConnectionEstablished());
}
void Collector::Relay::ReconnectDue() {
    // The reconnection timer runs the Connect command.
    owner_.connection_.Connect();
}
void Collector::Relay::ConnectionFailed(const std::string& r) {
    VELK_RELAY(ConnectionFailed(r));
}
void Collector::Relay::ShowRawMessage(const std::string& t) {
    VELK_RELAY(ShowRawMessage(t));
}
void Collector::Relay::ShowRecordDetail(const LastCallsRing::Record& f) {
    VELK_RELAY(ShowRecordDetail(f));
}
void Collector::Relay::RefreshLastCalls() {
    VELK_RELAY(RefreshLastCalls());
}
void Collector::Relay::StatisticsRowChanged(int c) {
    VELK_RELAY(StatisticsRowChanged(c));
}
void Collector::Relay::CallRecordSeen(const BillingMessage& m) {
    owner_.OnCallRecord(m);
    VELK_RELAY(CallRecordSeen(m));
}
void Collector::Relay::CallRecordStored(const LastCallsRing::Record& f) {
    VELK_RELAY(CallRecordStored(f));
}
void Collector::Relay::TrafficReportStored(const std::string& l) {
    VELK_RELAY(TrafficReportStored(l));
}
void Collector::Relay::Problem(const std::string& t) {
    VELK_RELAY(Problem(t));
}

#undef VELK_RELAY

}  // namespace velk
