#include "core/decode/record_pipeline.h"

#include <cassert>

namespace velk {

RecordPipeline::RecordPipeline(const AppSettings& settings, FieldDecoder& decoder,
                               LastCallsRing& ring, StatisticCounters& counters, const Clock& clock,
                               PipelineObserver& observer)
    : settings_(settings),
      decoder_(decoder),
      ring_(ring),
      counters_(counters),
      clock_(clock),
      observer_(observer) {}

bool RecordPipeline::ProcessMessage(const uint8_t* frame, uint32_t length) {
    // One frame at a time: the decoder, the ring and the counters are shared by every caller.
    assert(!processing_);
    processing_ = true;
    const BillingMessage message(frame, length);
    messageText_.assign(reinterpret_cast<const char*>(frame), message.End());
    observer_.ShowRawMessage(messageText_);

    const uint32_t type = DigitValue(message.At(4)) * 16 + DigitValue(message.At(5));
    bool result = false;
    if (type == 0x35) {
        result = traffic_ != nullptr && traffic_->OnTrafficMessage(message);
    } else if (type == 0x52) {
        result = ProcessCallRecord(message);
    }
    processing_ = false;
    return result;
}

bool RecordPipeline::ProcessCallRecord(const BillingMessage& message) {
    LastCallsRing::Record& slot = ring_.Slot(static_cast<int>(ring_.WritePosition()));
    const RecordBase base = RecordBase::FromHexType(settings_.Hex_Type);
    decoder_.DecodeRecord(message, settings_.Hex_Type, slot);
    observer_.ShowRecordDetail(slot);

    // The ring moves on before the list is drawn, so the list always sees a consistent ring.
    ++ring_.RefreshCounter();
    ring_.Advance();
    if (!importRunning_) {
        observer_.RefreshLastCalls();
    } else if (ring_.RefreshCounter() >= 200) {
        observer_.RefreshLastCalls();
        ring_.RefreshCounter() = 0;
    }

    // Call types are counted as read in base 16, whatever the billing message type says.
    std::string scratch;
    decoder_.DecodeField(9, message, RecordBase{16, 16}, scratch);
    const uint32_t callType = decoder_.CurrentCallType();
    if (callType < kCallTypeCount) {
        const int column = static_cast<int>(callType) + kFirstCallTypeColumn;
        decoder_.DecodeField(4, message, base, scratch);
        int hour = decoder_.CurrentHour();
        if (hour < 0 || hour > 23)
            hour = clock_.Now().hour;
        counters_.Count(column, hour);
        observer_.StatisticsRowChanged(column);
    }

    observer_.CallRecordSeen(message);
    if (filter_ != nullptr && !filter_->Keep(message))
        return true;
    if (saver_ != nullptr) {
        saver_->SaveDecoded(message, slot);
        observer_.CallRecordStored(slot);
    }
    return true;
}

}  // namespace velk
