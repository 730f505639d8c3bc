#include "core/web/web_state.h"

#include "core/app/metrics_text.h"  // kStateStaleSeconds

namespace velk {

WebStatus WebStatusOf(const StateReading& reading, int64_t now) {
    WebStatus status;
    switch (reading.status) {
        case StateReading::Status::Missing:
            status.why = "The collector has published no state here: velk-collector does not run "
                         "in this directory, or its state cannot be read.";
            return status;
        case StateReading::Status::Unreadable:
            status.why = "The collector's state file cannot be read.";
            return status;
        case StateReading::Status::Read:
            break;
    }
    const CollectorState& s = reading.state;
    status.known = true;
    status.ageSeconds = now > s.written ? now - s.written : 0;
    const bool stale = status.ageSeconds >= kStateStaleSeconds;
    status.linkUp = s.linkUp && s.running && !stale;
    status.link = !s.running ? std::string("stopped") : s.link;
    if (s.running && stale)
        status.link += " (no word from the collector for " + std::to_string(status.ageSeconds) +
                       " s)";
    status.peer = s.peer;
    status.recordsToday = static_cast<int64_t>(s.callsToday);
    status.lastRecord = s.lastCallLocal;
    for (const CollectorState::Alarm& a : s.alarms)
        status.alarms.push_back(a.text);
    if (!s.database)
        status.database = "not set up";
    else
        status.database = s.databaseLine + (s.databaseWaiting > 0
                                                 ? " (" + std::to_string(s.databaseWaiting) +
                                                       " records waiting)"
                                                 : std::string());
    status.freeDiskBytes = s.freeBytes;
    return status;
}

}  // namespace velk
