#include "core/app/collector.h"

namespace velk {

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
      recorder_(settings, files, OutputDirectories::Under(baseDirectory)),
      indexer_(settings, clock, nullptr,
               [this](const std::string& event, const std::string& detail) {
                   log_.Note(event, detail);
                   relay_.Problem(event + ": " + detail);
               }),
      filter_(settings, [this] { protocol_.SMDA_Count_Event(EV_PASSED_FILTER); }),
      traffic_(files, OutputDirectories::Under(baseDirectory).trf) {
    protocol_.SetHdConverter(&hdConverter_);
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
        log_.Note(event, detail);
        relay_.Problem(event + ": " + detail);
    };
    recorder_.SetProblemReport(report);
    traffic_.SetProblemReport(report);
}

void Collector::Start() {
    filter_.LoadAtStartup(prompt_);
    timers_.StartTimer(kBufferTimer, BufferTimerPeriod());
    timers_.StartTimer(kIndexTimer, kIndexTimerMs);
    silence_.SetMinutes(settings_.NoRecordsAlarmMinutes);
    if (silence_.Minutes() > 0)
        timers_.StartTimer(kSilenceTimer, kSilenceLookMs);
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
    if (id == kIndexTimer) {
        indexer_.Flush();
        return;
    }
    protocol_.SMDA_Timer_Expired(id);
}

void Collector::SetView(CollectorView* view) {
    view_ = view;
    connection_.SetView(view);
}

void Collector::DeliverFromDiskBuffer(const uint8_t* frame, uint32_t length) {
    protocol_.Data_Len = length;
    source_ = RecordSource::DiskBuffer;
    pipeline_.ProcessMessage(frame, length);
    source_ = RecordSource::Link;
    protocol_.SMDA_Count_Event(EV_NORMAL_DATA);
}

void Collector::DiskBufferNotice(QueueNotice kind, const std::string& text) {
    log_.Note("HD Buffer", text);
    relay_.Problem("HD Buffer: " + text);
    if (view_ != nullptr && kind != QueueNotice::Note)
        view_->DiskBufferAlarm(kind == QueueNotice::Alarm ? "HD Buffer: " + text : std::string());
}

void Collector::ImportMessage(const uint8_t* frame, uint32_t length) {
    source_ = RecordSource::Import;
    pipeline_.ProcessMessage(frame, length);
    source_ = RecordSource::Link;
    counters_.Count(EV_NORMAL_DATA, clock_.Now().hour);
    relay_.StatisticsRowChanged(EV_NORMAL_DATA);
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

void Collector::EndImport() {
    pipeline_.SetImportRunning(false);
    indexer_.SetImporting(false);
}

bool Collector::IndexingSaver::SaveCall_All(const BillingMessage& message) {
    return owner_.recorder_.SaveCall_All(message);
}

bool Collector::IndexingSaver::SaveDecoded(const BillingMessage& message,
                                           const LastCallsRing::Record& fields) {
    // The files first: the index never holds them up.
    owner_.recorder_.SaveDecoded(message, fields);
    owner_.indexer_.Add(message, fields, owner_.source_);
    return true;
}

void Collector::ResetSequence() {
    live_.Reset();
}

void Collector::OnCallRecord(const BillingMessage& message) {
    const bool importing = pipeline_.ImportRunning();
    if (!importing)
        silence_.Record(clock_.Seconds());
    // A record too short to hold its sequence number is not counted.
    if (!message.Has(11))
        return;
    const int base = RecordBase::FromHexType(settings_.Hex_Type).numbers;
    SequenceCheck& check = importing ? import_ : live_;
    const auto event = check.Take(static_cast<uint32_t>(NumberAt(message, 8, 4, base)), base);
    if (!event)
        return;
    log_.Note(event->Event(), event->Detail() + (importing ? " in the import" : ""));
    if (view_ != nullptr)
        view_->SequenceAlarm(event->Line() + (importing ? " in the import" : ""), live_.Missing());
}

void Collector::OnSilenceLook() {
    const bool connected = connection_.MenuState() == LinkMenuState::Connected;
    if (!silence_.Tick(connected, clock_.Seconds()))
        return;
    log_.Note("No records", silence_.Detail());
    if (view_ != nullptr)
        view_->SilenceAlarm("No records: " + silence_.Detail());
}

void Collector::OnPeerClosed() {
    protocol_.OnPeerClosed();
    connection_.Refresh();
}

void Collector::Relay::Notify(NotifyCode code, int value) {
    if (code == NOTIFY_CONNECTION)
        owner_.connection_.OnNotifyConnection(value);
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
