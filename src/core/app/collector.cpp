#include "core/app/collector.h"

#include <algorithm>
#include <array>

namespace velk {

namespace {

// An area without its trailing zero bytes: what the journal keeps of it.
std::string Trimmed(const uint8_t* area, size_t size) {
    while (size > 0 && area[size - 1] == 0)
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
      files_(files),
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
    recorder_.SetHandOffWaitsForRecord(true);
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
// power fails. The steps of one record, what is on the disk after each, what the queue says, and
// what the next start does if the program dies right there:
//
//  1. The reader reads the record R in the slot at the read index i, under the producer's lock;
//     the queue is not changed. Next start: R is read again; the journal does not name (i, R),
//     so it is stored as a new one.
//  2. The journal writes "storing R from slot i" (with the sequence baseline before R) and
//     flushes it. Killed before the flush returned: as 3 (the state is in the system's memory);
//     power failure: as 1.
//  3. R is appended to its files, in the system's memory only. Next start: the slot at the read
//     index still holds R and the journal says storing: R is stored again only into the files
//     that do not end with it already.
//  4. FlushWritten: R is on the disk in every file. Next start: as 3; every file ends with R,
//     nothing is appended.
//  5. The journal writes "stored R from slot i" (with the sequence baseline after R) and flushes
//     it; the buffer files may be handed over. Next start: the journal says stored, R is not
//     stored again, the read index only moves on. (Were this state not flushed, a power failure
//     after step 6 would leave "storing R" with the baseline before R, and the next record would
//     raise a false sequence gap.)
//  6. The reader moves the read index past R, under the lock, if the slot still holds R, and
//     flushes the queue file. Before that flush a power failure may take the index back: as 5.
//     After it the queue no longer offers R, and the journal's entry names a slot behind the
//     read index: nothing is done with it. The next record's step 2 comes only after this flush.
//  A commit that fails leaves the read index at R: the next poll finds R stored (step 5) and
//  only moves the index on.
bool Collector::DeliverFromDiskBuffer(const uint8_t* frame, uint32_t length, uint32_t slot,
                                      const BillingRecord& record) {
    // A record held back is stored first; until it is, this one stays in the queue.
    if (StoreHeld() && !RetryStore())
        return false;
    const std::string bytes = Trimmed(record.data(), record.size());
    JournalState& state = journal_.State();
    const bool named = state.queueStep != JournalState::QueueStep::None &&
                       state.queueSlot == slot && state.queueRecord == bytes;
    if (named && state.queueStep == JournalState::QueueStep::Stored)
        return false;
    if (!named) {
        state.queueStep = JournalState::QueueStep::Storing;
        state.queueSlot = slot;
        state.queueRecord = bytes;
        if (!journal_.Save(true)) {
            // Not durable: it is not taken; it stays in the queue.
            state.queueStep = JournalState::QueueStep::None;
            state.queueSlot = 0;
            state.queueRecord.clear();
            Hold(Held::Journal, journal_.Path().string() + " cannot be written (" +
                                    files_.ErrorText() + ")");
            return false;
        }
    }
    files_.SetResuming(named);
    protocol_.Data_Len = length;
    source_ = RecordSource::DiskBuffer;
    pipeline_.ProcessMessage(frame, length);
    source_ = RecordSource::Link;
    protocol_.SMDA_Count_Event(EV_NORMAL_DATA);
    files_.SetResuming(false);
    heldSequence_ = live_.Baseline();
    if (files_.Owes() || !FlushRecords()) {
        Hold(Held::QueueRecord, "the record files cannot be written (" + files_.ErrorText() + ")");
        return true;
    }
    FinishQueueRecord();
    return true;
}

void Collector::FinishQueueRecord() {
    JournalState& state = journal_.State();
    state.queueStep = JournalState::QueueStep::Stored;
    state.sequence = heldSequence_;
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
        if (!files_.RetryOwed() || !FlushRecords())
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
    pipeline_.ProcessMessage(frame, length);
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
        ReportProblem("Not stored", "the record files cannot be written (" + files_.ErrorText() +
                                        "); the import stops");
        return false;
    }
    recorder_.HandOffAfterRecord();
    if (++importedSinceFlush_ >= kImportFlushBatch)
        FlushRecords();
    return true;
}

void Collector::ImportBadCheck() {
    counters_.Count(EV_BAD_BCC, clock_.Now().hour);
    relay_.StatisticsRowChanged(EV_BAD_BCC);
}

void Collector::BeginImport() {
    import_.Reset();
    pipeline_.SetImportRunning(true);
    indexer_.SetImporting(true);
}

bool Collector::EndImport() {
    pipeline_.SetImportRunning(false);
    // The records' files reach the disk before the index names them.
    const bool flushed = FlushRecords();
    indexer_.SetImporting(false);
    ScheduleIndex();
    return flushed;
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
    importedSinceFlush_ = 0;
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
// The steps of one frame, what is on the disk after each, what the PBX believes, and what the
// next start does if the program dies right there:
//
//  1. The frame passes its checks. Disk: the journal's newest state names the frame before as
//     delivered. PBX: it has no ACK and keeps the record. Next start: the PBX sends the record
//     again and it is stored as a new one.
//  2. Acknowledging: the journal writes "pending: this frame" (with the duplicate check's and the
//     sequence check's baselines as they are) and flushes it: one fdatasync of a few hundred
//     bytes, the only wait before the ACK. Killed before the flush returned: the state is in the
//     system's memory, as after step 3; power failure: as step 1.
//  3. ACK leaves. PBX: the record counts as sent; it sends EOT, or sends the frame again if the
//     ACK was lost. Next start: the pending frame goes through the pipeline before anything else
//     is received; a copy the PBX sends again is dropped by the duplicate check, which now names
//     it.
//  4. EOT (or no EOT, and the link gives up waiting): the pause before the next poll starts, the
//     pipeline appends the record to its files (Bill, Bill_Backup, buffers), in the system's
//     memory only. Next start: as step 3, but the record is stored again only into the files
//     that do not end with it already (a kill may have come between two files; a power failure
//     may have taken some appends back).
//  5. FlushWritten: fdatasync of every file appended to. Disk: the record in all its files, the
//     journal still says pending. Next start: every file ends with it, nothing is appended; the
//     ring, the counters and the sequence check see the record once more, from their baselines
//     before it.
//  6. The journal writes "delivered: this frame is the last" without a flush, into the slot of
//     the next state (never over the newest durable one). Kill: the next start finds it and
//     does nothing; power failure: the write may be lost or cut, the next start is as after 5.
//  7. The buffer files may be handed over (a record is in the in-file before it can be moved).
void Collector::Resume() {
    journal_.Load();
    const JournalState& state = journal_.State();
    std::array<uint8_t, cs_smda_prot::kCompared> last{};
    std::copy(state.lastFrame.begin(), state.lastFrame.end(), last.begin());
    protocol_.RestoreLastFrame(last.data());
    live_.Restore(state.sequence);
    if (state.pending) {
        const std::string area = state.pendingArea;
        files_.SetResuming(true);
        protocol_.DeliverRecovered(reinterpret_cast<const uint8_t*>(area.data()), area.size(),
                                   state.pendingLength);
        files_.SetResuming(false);
    }
}

bool Collector::LinkState::Acknowledging(const uint8_t* area, uint32_t length) {
    if (owner_.StoreHeld())
        return false;
    JournalState& state = owner_.journal_.State();
    state.pending = true;
    state.pendingLength = length;
    state.pendingArea = Trimmed(area, cs_smda_prot::kReceiveArea);
    if (owner_.journal_.Save(true))
        return true;
    state.pending = false;
    state.pendingLength = 0;
    state.pendingArea.clear();
    owner_.Hold(Held::Journal, owner_.journal_.Path().string() + " cannot be written (" +
                                   owner_.files_.ErrorText() + ")");
    return false;
}

void Collector::LinkState::Delivered(const uint8_t* lastFrame) {
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
