#pragma once

#include <filesystem>
#include <optional>

#include "core/analysis/record_watch.h"
#include "core/app/alarm_board.h"
#include "core/app/alert_outbox.h"
#include "core/app/alert_rules.h"
#include "core/decode/field_decoder.h"
#include "core/decode/last_calls_ring.h"
#include "core/decode/record_pipeline.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/foundation/operator_prompt.h"
#include "core/foundation/statistic_counters.h"
#include "core/link/billing_record.h"
#include "core/link/connection_control.h"
#include "core/link/disk_queue.h"
#include "core/link/link_protocol.h"
#include "core/archive/call_indexer.h"
#include "core/record/call_recorder.h"
#include "core/record/connection_log.h"
#include "core/record/delivery_journal.h"
#include "core/record/file_store.h"
#include "core/archive/record_shipper.h"
#include "core/record/resuming_file_store.h"
#include "core/record/saving_filter.h"
#include "core/record/torn_records.h"
#include "core/record/traffic_recorder.h"

namespace velk {

// Everything the operator's view is told: link events and lamps, the pipeline's results and the
// connection display.
class CollectorView : public LinkObserver, public PipelineObserver, public ConnectionView {
public:
    // A sequence gap or repeat (one line), with the numbers missing since start (or Clear).
    virtual void SequenceAlarm(const std::string& line, uint64_t missingSinceStart) {
        (void)line;
        (void)missingSinceStart;
    }
    // No call record for the alarm's minutes while connected (one line).
    virtual void SilenceAlarm(const std::string& line) { (void)line; }
    // The hard-disk buffer gives no records (one line), or gives them again (an empty line).
    virtual void DiskBufferAlarm(const std::string& line) { (void)line; }
    // Records cannot be stored (one line: their files cannot be written, a full disk) and
    // nothing new is taken, or they can again (an empty line).
    virtual void StoreAlarm(const std::string& line) { (void)line; }
    // How the sending to the database server goes (one line), when a database is set up; and
    // what the sender has to say (an outage begins or ends, as in VELK.LOG).
    virtual void DatabaseStatus(const std::string& line) { (void)line; }
    virtual void DatabaseNote(const std::string& line) { (void)line; }
    // The sending to the database server is refused (one line: what a person must do), or not
    // any more (an empty line).
    virtual void DatabaseAlarm(const std::string& line) { (void)line; }
};

// The collector without its view: settings, link protocol, record pipeline, connection log and
// connection control, wired together. The desktop program and the headless collector each give
// it their view, timers and channels.
class Collector {
public:
    // The buffer hand-off timer (a window timer).
    static constexpr int kBufferTimer = 7;
    // The look for a silent PBX, every 10 s while the alarm is set.
    static constexpr int kSilenceTimer = 8;
    static constexpr int kSilenceLookMs = 10000;
    // The record index's next step: at once while it catches up, at its retry time while it
    // fails, otherwise a look now and then.
    static constexpr int kIndexTimer = 9;
    static constexpr int kIndexTimerMs = 30000;
    // A record that cannot be stored (its files refuse the write: a full disk; they cannot be
    // flushed; the journal cannot be written) is held: it stays where it is kept (the PBX, the
    // queue, the journal), nothing new is polled for or taken, one alarm is raised, and the
    // store is tried again every kStoreRetryMs until it works; then collection goes on.
    static constexpr int kStoreRetryTimer = 11;
    static constexpr int kStoreRetryMs = 1000;
    // The look at the free space in the base directory: at start and every minute.
    static constexpr int kSpaceTimer = 12;
    static constexpr int kSpaceLookMs = 60000;
    // The look at the alarms that last (the link or the database server away for long) and at
    // the alerts held back.
    static constexpr int kAlarmTimer = 10;
    static constexpr int kAlarmLookMs = 10000;

    Collector(AppSettings& settings, const std::filesystem::path& baseDirectory,
              OperatorPrompt& prompt, const Clock& clock, TimerHost& timers, LastCallsRing& ring,
              FileStore& files);
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    void SetView(CollectorView* view);
    void SetChannels(LinkChannel* tcp, LinkChannel* serial) { protocol_.SetChannels(tcp, serial); }

    // What the window does when it opens: the saving filter's lists are loaded (with a message for
    // a list that cannot be parsed), what the journal kept from the last run is taken up (Resume)
    // and the buffer hand-off timer starts.
    void Start();
    // A timer expired: the buffer hand-off, or one of the protocol's.
    void OnTimer(int id);
    // The buffer timer's period: BufferUpdateMaxTimer minutes.
    int BufferTimerPeriod() const;
    // Records from the hard-disk buffer (on the main thread), read from the queue's slots from
    // firstSlot on: converted into call-record frames, stored like frames from the link and
    // counted as normal data, as one batch (the order of the steps is told beside its code).
    // Returns how many of them the reader may now take out of the queue: the batch the journal
    // names, when the program stopped while or after storing it (then stored again by position,
    // or not at all), otherwise all of them; none while they cannot be stored (a full disk).
    size_t DeliverFromDiskBuffer(uint32_t firstSlot, const std::vector<BillingRecord>& records);
    // True while a record is held because it could not be stored: the hard-disk buffer's records
    // then stay in the queue.
    bool StoreHeld() const { return held_ != Held::None; }
    void SetDiskBuffer(DiskBufferChannel* disk) { connection_.SetDiskBuffer(disk); }
    // What the hard-disk buffer's reader says (on the main thread): into the connection log and
    // to the view as a problem; an alarm also stays on the view until it is over.
    void DiskBufferNotice(QueueNotice kind, const std::string& text);
    // The record index every stored record also goes into, and the raw files it follows (none:
    // records go to the files only).
    void SetRecordIndex(IndexWriter* index, FollowedFiles* files) { indexer_.SetIndex(index, files); }
    CallIndexer& Indexer() { return indexer_; }
    // Called each time an import's batch is in every file it goes to and on the disk (a reader
    // of the files beside the import may read them that far now); never again once a flush of
    // them failed.
    void SetImportStored(std::function<void()> stored) { importStored_ = std::move(stored); }
    // What another part of the program has to say (the index of an import, kept on a thread of
    // its own), said as the collector's own problems are: in the log and to the view.
    void Problem(const std::string& event, const std::string& detail) {
        ReportProblem(event, detail);
    }
    // A message from a raw-file import (on the main thread): stored like a received one and
    // counted as normal data; one whose check failed is only counted. Neither touches the link's
    // status.
    // False when the record could not be written to its files (a full disk): the import stops
    // there, with the files as they were before that record.
    bool ImportMessage(const uint8_t* frame, uint32_t length);
    // The next ImportMessage's record stands in these of its files already (an import run again
    // after it was killed): it is stored only into the others.
    void ImportLeaveOut(std::vector<std::filesystem::path> files) {
        files_.SetLeaveOut(std::move(files));
    }
    void ImportBadCheck();
    // An import (of one file) begins and ends: its records are checked for gaps on their own,
    // from a baseline of their own, not against the live stream. Its files are flushed to the
    // disk every kImportFlushBatch records and at the end: false when that failed (reported).
    static constexpr int kImportFlushBatch = 5000;
    void BeginImport();
    bool EndImport();
    // The batch so far to its files, the disk and the index; false when its files could not be
    // written (reported: the import stops, the batch taken back out of its files).
    bool StoreImportBatch();
    // Call records the recorders wrote in this import that a refused batch took back out.
    uint64_t ImportTakenBack() const { return importTakenBack_; }
    // What the sender to the database server reports (on the main thread): its log lines go to
    // VELK.LOG and the view, its status line to the view.
    void DatabaseReport(const std::vector<ShipNote>& notes, const ShipStatus& status);
    const ShipStatus& Database() const { return database_; }
    // Every alarm goes through here: its line into VELK.LOG (event and detail), to the view as a
    // problem, and onto the board of alarms in force under its kind, whose changes become alerts.
    // An alarm raised again while in force is logged and shown again. ClearAlarm ends it, with a
    // note in VELK.LOG when an event is given (nothing at all when none of the kind is in force).
    void RaiseAlarm(const std::string& kind, const std::string& event, const std::string& detail);
    void ClearAlarm(const std::string& kind, const std::string& event, const std::string& detail);
    const AlarmBoard& Alarms() const { return alarms_; }
    AlarmBoard& Alarms() { return alarms_; }
    // What the delivery of alerts has to say: into VELK.LOG; a failure also to the view.
    void AlertReport(const std::vector<AlertNote>& notes);
    // Where the alerts go (nowhere until set).
    void SetAlertSink(AlertRules::Send sink) { alertSink_ = std::move(sink); }
    // The silence alarm's minutes when VELK.INI does not set them (none unless set here).
    void SetSilenceDefault(int32_t minutes) { silenceDefault_ = minutes; }
    int32_t SilenceMinutes() const;

    // The statistics were cleared: the sequence check starts from the next record again.
    void ResetSequence();
    const SequenceCheck& Sequence() const { return live_; }
    const SilenceCheck& Silence() const { return silence_; }
    // The PBX closed the connection: the link is closed, then reconnected when wanted.
    void OnPeerClosed();

    // The observer the channels report reception progress to.
    LinkObserver& LinkEvents() { return relay_; }
    AppSettings& Settings() { return settings_; }
    const Clock& TimeSource() const { return clock_; }
    StatisticCounters& Counters() { return counters_; }
    LastCallsRing& Ring() { return ring_; }
    cs_smda_prot& Protocol() { return protocol_; }
    RecordPipeline& Pipeline() { return pipeline_; }
    ConnectionControl& Connection() { return connection_; }
    ConnectionLog& Log() { return log_; }
    CallRecorder& Recorder() { return recorder_; }
    SavingFilter& Filter() { return filter_; }
    TrafficRecorder& Traffic() { return traffic_; }
    const std::filesystem::path& BaseDirectory() const { return base_; }
    DeliveryJournal& Journal() { return journal_; }

private:
    // The link's side of the journal; see Collector::Resume for the order of the steps.
    class LinkState : public LinkJournal {
    public:
        explicit LinkState(Collector& owner) : owner_(owner) {}
        bool Acknowledging(const uint8_t* area, uint32_t length) override;
        void Delivered(const uint8_t* lastFrame) override;
        bool MayPoll() override { return !owner_.StoreHeld(); }

    private:
        Collector& owner_;
    };

    // Passes everything on to the view once there is one; the window appears after the collector.
    class Relay : public LinkObserver, public PipelineObserver {
    public:
        explicit Relay(Collector& owner) : owner_(owner) {}
        void Notify(NotifyCode code, int value) override;
        void TxLamp() override;
        void RxLamp() override;
        void ErrLamp() override;
        void SetRxProgressRange(int maximum) override;
        void SetRxProgressPosition(int position) override;
        void MessageReceived() override;
        void ConnectionEstablished() override;
        void ReconnectDue() override;
        void ConnectionFailed(const std::string& reason) override;
        void ShowRawMessage(const std::string& text) override;
        void ShowRecordDetail(const LastCallsRing::Record& fields) override;
        void RefreshLastCalls() override;
        void StatisticsRowChanged(int column) override;
        void CallRecordSeen(const BillingMessage& message) override;
        void CallRecordStored(const LastCallsRing::Record& fields) override;
        void TrafficReportStored(const std::string& line) override;
        void Problem(const std::string& text) override;

    private:
        Collector& owner_;
    };

    // Saves a kept record into its files, then into the record index.
    class IndexingSaver : public RecordSaver {
    public:
        explicit IndexingSaver(Collector& owner) : owner_(owner) {}
        bool SaveCall_All(const BillingMessage& message) override;
        bool SaveDecoded(const BillingMessage& message, const LastCallsRing::Record& fields) override;

    private:
        Collector& owner_;
    };


    // Takes up what the journal kept: the baselines, then a frame acknowledged and never stored.
    void Resume();
    enum class Held { None, Journal, LinkFrame, QueueRecord };
    // What could not be stored is held; the first hold raises the alarm.
    void Hold(Held what, const std::string& why);
    // Tries the held record's files again; true, and the alarm over, once it is stored.
    bool RetryStore();
    // The journal names the link's frame delivered, or the queue's record stored; the buffer
    // files may be handed over.
    void FinishLinkFrame();
    void FinishQueueRecord();
    // Starts the index timer for the indexer's next step.
    void ScheduleIndex();
    // How a unit of storing keeps a position it adds: the journal is written and flushed.
    std::function<bool()> KeepPositions();
    // After a frame or queue record was stored again from the journal: a journal the files show
    // to be older than they are is told and set aside.
    void SetAsideIfOlder();
    // Makes what the recorders wrote durable; a failure is reported once until flushes work again.
    bool FlushRecords();
    void ReportProblem(const std::string& event, const std::string& detail);
    // Every call record: its sequence number checked (live or import), the silence reset.
    void OnCallRecord(const BillingMessage& message);
    void OnSilenceLook();
    // The "Disk space low" alarm: raised once when the free space falls below DiskSpaceAlarmMB,
    // over when it is back above.
    void OnSpaceLook();
    // Every kAlarmLookMs: the link and the database server away for long, held-back alerts.
    void OnAlarmLook();

    AppSettings& settings_;
    std::filesystem::path base_;
    OperatorPrompt& prompt_;
    const Clock& clock_;
    TimerHost& timers_;
    LastCallsRing& ring_;
    CollectorView* view_ = nullptr;
    Relay relay_{*this};
    StatisticCounters counters_;
    FieldDecoder decoder_;
    ConnectionLog log_;
    RecordPipeline pipeline_;
    cs_smda_prot protocol_;
    ConnectionControl connection_;
    BillingRecordConverter hdConverter_;
    ResumingFileStore files_;
    DeliveryJournal journal_;
    LinkState linkState_{*this};
    CallRecorder recorder_;
    CallIndexer indexer_;
    std::function<void()> importStored_;
    bool importUnflushed_ = false;
    IndexingSaver saver_{*this};
    RecordSource source_ = RecordSource::Link;
    SavingFilter filter_;
    TrafficRecorder traffic_;
    SequenceCheck live_;
    SequenceCheck import_;
    SilenceCheck silence_;
    // The records of the import batch in progress, for the index once the batch is stored.
    struct ImportRow {
        std::string frame;
        uint32_t length = 0;
        LastCallsRing::Record fields;
        bool again = false;  // completed in the files that lacked it
    };
    std::vector<ImportRow> importRows_;
    // Reports that the import stops at records its files refuse.
    void ImportNotStored();
    bool importStopped_ = false;  // a batch was refused: the import stops
    int importBatch_ = 0;          // records of the batch in progress
    uint64_t writtenAtBatch_ = 0;  // the recorders' count when the import's batch began
    uint64_t importTakenBack_ = 0;
    int indexTimerMs_ = -1;
    bool flushFailing_ = false;
    Held held_ = Held::None;
    bool spaceLow_ = false;
    // The delivered frame's baselines, written to the journal once its record is stored.
    std::string heldLastFrame_;
    std::optional<uint32_t> heldSequence_;
    ShipStatus database_;
    AlarmBoard alarms_;
    AlertRules::Send alertSink_;
    AlertRules rules_;
    int32_t silenceDefault_ = 0;
    std::optional<int64_t> linkDownSince_;  // the first look that found the link wanted and down
    uint64_t notWritten_ = 0;               // "Not written" reports so far
};

}  // namespace velk
