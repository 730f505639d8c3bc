#pragma once

#include <filesystem>
#include <string>

#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/foundation/statistic_counters.h"
#include "core/link/connection_logger.h"

namespace velk {

// The statistics dump: "VELK Statistic:", one row per counter, then an empty line.
std::string StatisticsDump(const StatisticCounters& counters);

// "VELK.LOG" in the base directory: one line per connection event, opened, appended and closed
// each time; after "Disconnected" (and for a statistics entry) the statistics dump. A log that
// cannot be opened is skipped.
class ConnectionLog : public ConnectionLogger {
public:
    ConnectionLog(std::filesystem::path path, const AppSettings& settings, const Clock& clock,
                  const StatisticCounters& counters);
    void Log(int event) override;
    void LogFault(const std::string& reason) override;
    // An entry of another kind: the time stamp, the event name in 18 characters (cut or padded
    // with blanks), a blank and the details.
    void Note(const std::string& event, const std::string& detail);

    // The text of one entry, as appended.
    std::string Entry(int event) const;

private:
    std::filesystem::path path_;
    const AppSettings& settings_;
    const Clock& clock_;
    const StatisticCounters& counters_;
};

}  // namespace velk
