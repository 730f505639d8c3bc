#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velk {

// What the sequence check found: numbers left out before the one received, the previous
// number once more, or a counter that started again from a lower number (a PBX restarted).
struct SequenceEvent {
    enum class Kind { Gap, Repeat, Restart };
    Kind kind = Kind::Gap;
    uint32_t expected = 0;
    uint32_t received = 0;
    uint32_t missing = 0;   // for a gap
    uint32_t previous = 0;  // for a restart: the number before it

    // The connection log's event name and details, and the one-line form of both.
    const char* Event() const;
    std::string Detail() const;
    std::string Line() const;
};

// The PBX numbers its call records (field 0, four digits in the record's base, wrapping to 0
// after 9999 or FFFF). The first record sets the baseline; each later one must be the previous
// number + 1. After the highest number both 0000 and 0001 follow without a gap (a PBX may
// count from either). A number that went back (nearer below the previous one than above it
// through the wrap) is a restarted counter, not a gap: it is told once and becomes the baseline.
class SequenceCheck {
public:
    // The sequence number of a record, read in base 10 or 16.
    std::optional<SequenceEvent> Take(uint32_t number, int base);
    // A new baseline: the next record starts the count again, and the missing total is 0.
    void Reset();
    // The number of the last record taken (none after a Reset), and the same set again at start,
    // so that the count goes on across a restart.
    std::optional<uint32_t> Baseline() const { return previous_; }
    void Restore(std::optional<uint32_t> baseline) { previous_ = baseline; }
    uint64_t Missing() const { return missing_; }
    const std::optional<SequenceEvent>& LastGap() const { return lastGap_; }

private:
    std::optional<uint32_t> previous_;
    uint64_t missing_ = 0;
    std::optional<SequenceEvent> lastGap_;
};

// A PBX that stops sending looks like a quiet night: minutes without any call record while
// connected raise one alarm, and the next only after records have come back.
class SilenceCheck {
public:
    // 0 or less: no alarm.
    void SetMinutes(int32_t minutes) { minutes_ = minutes; }
    int32_t Minutes() const { return minutes_; }
    // A call record arrived (from the PBX, not from an import).
    void Record(int64_t now);
    // A look at the time; true when the alarm is due now. The silence is counted from the last
    // record, or from the first look while connected; not connected, nothing is counted.
    bool Tick(bool connected, int64_t now);
    std::string Detail() const;

private:
    int32_t minutes_ = 0;
    std::optional<int64_t> since_;
    bool alarmed_ = false;
};

}  // namespace velk
