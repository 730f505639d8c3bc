#include "core/decode/last_calls_ring.h"

namespace velk {

void LastCallsRing::ClearLastCallsRing() {
    for (Record& r : slots_)
        r.fill(std::string());
    writePosition_ = 0;
    wrapped_ = false;
    refreshCounter_ = 0;
}

void LastCallsRing::Advance() {
    if (++writePosition_ >= kRingSlots) {
        writePosition_ = 0;
        wrapped_ = true;
    }
}

int LastCallsRing::SlotForRow(int row) const {
    if (!wrapped_)
        return row;
    // The write position has already moved past the newest slot, so it names the oldest one.
    return static_cast<int>((writePosition_ + static_cast<uint32_t>(row)) % kRingSlots);
}

}  // namespace velk
