#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/foundation/clock.h"

namespace velk {

// The kinds of alarm the collector raises; the alerts carry them as they are written here.
namespace alarm_kind {
inline constexpr const char* kNoRecords = "no-records";        // a silent PBX
inline constexpr const char* kSequence = "sequence";           // a gap or a repeat
inline constexpr const char* kDiskBuffer = "hd-buffer";        // the hard-disk buffer gives none
inline constexpr const char* kNotWritten = "not-written";      // a record file refused a record
inline constexpr const char* kNotFlushed = "not-flushed";      // record files do not reach the disk
inline constexpr const char* kDatabase = "database";           // the server refuses this site
inline constexpr const char* kDatabaseAway = "database-away";  // the server away for long
inline constexpr const char* kLinkDown = "link-down";          // the link down for long
}  // namespace alarm_kind

// An alarm in force: its kind, its latest one-line text, when it began and how often it was
// raised since.
struct ActiveAlarm {
    std::string kind;
    std::string text;
    int64_t since = 0;  // seconds since the epoch
    LocalTime sinceLocal;
    uint64_t raised = 1;
};

// Told of every change of the alarms in force.
class AlarmListener {
public:
    virtual ~AlarmListener() = default;
    // An alarm began (repeat false), or one in force was raised once more.
    virtual void AlarmRaised(const ActiveAlarm& alarm, bool repeat) = 0;
    // An alarm is over; the alarm as it was.
    virtual void AlarmOver(const ActiveAlarm& alarm) = 0;
};

// The alarms in force, one per kind, in the order they began. Whatever reports an alarm raises it
// here under its kind, and clears it when the trouble is over; the listener (the alerts) hears of
// both. Texts are kept as one line of at most kMostTextBytes bytes.
class AlarmBoard {
public:
    static constexpr size_t kMostTextBytes = 400;

    explicit AlarmBoard(const Clock& clock) : clock_(clock) {}
    void SetListener(AlarmListener* listener) { listener_ = listener; }

    void Raise(const std::string& kind, const std::string& text);
    // Nothing when no alarm of the kind is in force.
    void Clear(const std::string& kind);
    bool Active(const std::string& kind) const;
    const ActiveAlarm* Find(const std::string& kind) const;
    const std::vector<ActiveAlarm>& Alarms() const { return alarms_; }

private:
    const Clock& clock_;
    AlarmListener* listener_ = nullptr;
    std::vector<ActiveAlarm> alarms_;
};

// A text as one line: control characters and runs of blanks become one space, and a text longer
// than most bytes is cut (at a character's start) and ends in "...".
std::string AlarmLine(const std::string& text, size_t most);

}  // namespace velk
