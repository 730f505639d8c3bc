#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/decode/field_decoder.h"
#include "core/decode/last_calls_ring.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/foundation/statistic_counters.h"
#include "core/link/frame_dispatcher.h"

namespace velk {

// What the record pipeline shows to the operator.
class PipelineObserver {
public:
    virtual ~PipelineObserver() = default;
    // The text of every message: the raw-data line and the raw data display.
    virtual void ShowRawMessage(const std::string& text) = 0;
    // The fields of the latest call record (the detail list).
    virtual void ShowRecordDetail(const LastCallsRing::Record& fields) = 0;
    // The ring changed: the last-calls list is drawn again.
    virtual void RefreshLastCalls() = 0;
    // A statistics row changed (NOTIFY_COUNT).
    virtual void StatisticsRowChanged(int column) = 0;
    // Every call record, kept by the saving filter or not (the sequence check sees them all).
    virtual void CallRecordSeen(const BillingMessage& message) { (void)message; }
    // A call record was kept and saved (sequence number, fields).
    virtual void CallRecordStored(const LastCallsRing::Record& fields) { (void)fields; }
    virtual void TrafficReportStored(const std::string& line) { (void)line; }
    // Something went wrong that the operator should know of (also in the connection log).
    virtual void Problem(const std::string& text) { (void)text; }
};

// Joins traffic messages (type "35") into the daily traffic files.
class TrafficSink {
public:
    virtual ~TrafficSink() = default;
    virtual bool OnTrafficMessage(const BillingMessage& message) = 0;
};

// Decides whether a call record is saved.
class RecordFilter {
public:
    virtual ~RecordFilter() = default;
    virtual bool Keep(const BillingMessage& message) = 0;
};

// Saves a kept call record (raw and decoded files, buffers).
class RecordSaver {
public:
    virtual ~RecordSaver() = default;
    virtual bool SaveCall_All(const BillingMessage& message) = 0;
    // The same with the field texts the pipeline has just decoded from the message.
    virtual bool SaveDecoded(const BillingMessage& message, const LastCallsRing::Record& fields) {
        (void)fields;
        return SaveCall_All(message);
    }
};

// Every complete message enters here: it is shown, traffic goes to the traffic recorder, and call
// records are decoded, kept in the ring, counted by call type and hour, filtered and saved.
class RecordPipeline : public FrameDispatcher {
public:
    RecordPipeline(const AppSettings& settings, FieldDecoder& decoder, LastCallsRing& ring,
                   StatisticCounters& counters, const Clock& clock, PipelineObserver& observer);

    void SetTrafficSink(TrafficSink* sink) { traffic_ = sink; }
    void SetFilter(RecordFilter* filter) { filter_ = filter; }
    void SetSaver(RecordSaver* saver) { saver_ = saver; }
    // While an import runs the last-calls list is drawn only every 200 records.
    void SetImportRunning(bool running) { importRunning_ = running; }
    bool ImportRunning() const { return importRunning_; }

    // Returns false for an unhandled type, the traffic recorder's answer for traffic, true for a
    // call record (kept or not).
    bool ProcessMessage(const uint8_t* frame, uint32_t length);
    void Dispatch(const uint8_t* frame, uint32_t length) override { ProcessMessage(frame, length); }

    const std::string& MessageText() const { return messageText_; }

private:
    bool ProcessCallRecord(const BillingMessage& message);

    const AppSettings& settings_;
    FieldDecoder& decoder_;
    LastCallsRing& ring_;
    StatisticCounters& counters_;
    const Clock& clock_;
    PipelineObserver& observer_;
    TrafficSink* traffic_ = nullptr;
    RecordFilter* filter_ = nullptr;
    RecordSaver* saver_ = nullptr;
    bool importRunning_ = false;
    bool processing_ = false;
    std::string messageText_;
};

}  // namespace velk
