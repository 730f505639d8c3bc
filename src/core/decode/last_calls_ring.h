#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velk {

constexpr int kFieldCount = 50;
constexpr int kRingSlots = 30;

// The texts of the last 30 call records, written in turn; the list shows them oldest first.
class LastCallsRing {
public:
    using Record = std::array<std::string, kFieldCount>;

    void ClearLastCallsRing();

    // Stores the fields of a record in the slot at the write position (without advancing).
    void Store(const Record& fields) { slots_[writePosition_] = fields; }
    Record& Slot(int slot) { return slots_[slot]; }
    const Record& Slot(int slot) const { return slots_[slot]; }
    // Moves the write position on; after slot 29 it starts again at 0 and the ring has wrapped.
    void Advance();

    // The slot shown in list row 0..29: slot n in row n until the ring has wrapped; after that the
    // slots after the newest first, so that the newest record is in row 29.
    int SlotForRow(int row) const;

    uint32_t WritePosition() const { return writePosition_; }
    bool Wrapped() const { return wrapped_; }
    uint32_t& RefreshCounter() { return refreshCounter_; }
    uint32_t RefreshCounter() const { return refreshCounter_; }

private:
    // Default-initialised: every text starts empty. (Written "slots_{}", clang 14 crashes while
    // compiling a construction of the ring.)
    std::array<Record, kRingSlots> slots_;
    uint32_t writePosition_ = 0;
    bool wrapped_ = false;
    uint32_t refreshCounter_ = 0;
};

}  // namespace velk
