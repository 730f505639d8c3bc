#include "core/decode/billing_message.h"

namespace velk {

void BillingMessage::Index(int base) const {
    slot_.fill(0);
    indexedBase_ = base;
    if (length_ < 82)
        return;
    const uint32_t endMark = base == 16 ? 0xFF : 0xA5;  // 'FF' read in base 16 or base 10
    uint32_t count = 0;
    for (uint64_t p = 82; p < static_cast<uint64_t>(length_) - 1;) {
        const uint32_t id = static_cast<uint32_t>(NumberAt(*this, p, 2, base)) & 0xFF;
        if (id == endMark)
            return;
        const uint32_t len = static_cast<uint32_t>(NumberAt(*this, p + 2, 2, base));
        if (slot_[id] == 0 && count < entries_.size()) {  // the first occurrence counts
            entries_[count] = {static_cast<uint32_t>(p + 4), len >= 47 ? 47 : len};
            slot_[id] = static_cast<uint8_t>(++count);
        }
        p += 4 + len;  // the full length, also above 47
    }
}

bool BillingMessage::FindOptional(uint32_t identifier, int base, OptionalField& out) const {
    if (identifier > 255)
        return false;
    if (indexedBase_ != base)
        Index(base);
    const uint8_t s = slot_[identifier];
    if (s == 0)
        return false;
    out = entries_[s - 1u];
    return true;
}

}  // namespace velk
