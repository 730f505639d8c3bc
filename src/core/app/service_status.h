#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/clock.h"

namespace velk {

// The service manager a program runs under (systemd), told when the program is ready, what it
// is doing and when it stops.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    virtual void Ready() = 0;
    virtual void Status(const std::string& text) = 0;
    virtual void Stopping() = 0;
};

// The one line about the headless collector an administrator sees in the service manager
// ("systemctl status"): the link's state, the call records stored today with the last one's time,
// and the latest alarm, e.g.
//   connected to 10.0.0.5:6013 (CS1000 Main Billing Server); 152 call records stored today, the
//   last at 14:03:07; alarm at 14:02:55: Sequence gap: expected 0004, received 0006, 2 missing
// "Today" counts from midnight; at start the count begins with the records today's files hold
// already. The line goes to the manager whenever it changes.
class ServiceStatus {
public:
    ServiceStatus(const Clock& clock, ServiceManager& manager);

    // The link's state as the console says it ("connected to ...", "waiting for ...").
    void Link(const std::string& state);
    // The call records today's record files held at start: the day's count goes on from them.
    // This and the note are sent with the next change (at start, the link's first state).
    void StoredBefore(uint64_t today);
    void RecordStored();
    // A standing remark on the settings ("no record files are written: ..."), shown after the
    // records until replaced; empty: none.
    void Note(const std::string& text);
    // A sequence gap or repeat, a silent PBX, a file that could not be written. The latest one
    // is shown until another replaces it; a silence alarm also ends with the next record.
    void Alarm(const std::string& line);
    void SilenceAlarm(const std::string& line);
    // How the sending to the database server goes ("Database: every record sent"), when one is
    // set up: shown after the records.
    void Database(const std::string& line);
    // Looks at the clock: after midnight the day's count starts again from zero.
    void Refresh();

    std::string Text() const;

private:
    void NewDay();
    void Changed();

    const Clock& clock_;
    ServiceManager& manager_;
    std::string link_ = "starting";
    int day_ = 0;  // yyyymmdd of the count
    uint64_t today_ = 0;
    LocalTime last_;
    bool lastKnown_ = false;
    std::string note_;
    std::string alarm_;
    std::string database_;
    bool silence_ = false;
    std::string sent_;
};

}  // namespace velk
