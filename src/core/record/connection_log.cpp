#include "core/record/connection_log.h"

#include "core/decode/statistic_rows.h"

#include <cstdio>
#include <fstream>

namespace velk {

std::string StatisticsDump(const StatisticCounters& counters) {
    std::string out = "VELK Statistic:\r\n";
    for (int k = 0; k < kStatisticColumns; ++k) {
        out += StatisticRowLabel(k);
        out += ",Total:" + std::to_string(counters.Total(k)) + " ";
        for (int h = 0; h < 24; ++h) {
            char hour[8];
            std::snprintf(hour, sizeof hour, ",%02d:", h);
            out += hour + std::to_string(counters.Hour(h, k));
        }
        out += "\r\n";
    }
    out += "\r\n";
    return out;
}

ConnectionLog::ConnectionLog(std::filesystem::path path, const AppSettings& settings,
                             const Clock& clock, const StatisticCounters& counters)
    : path_(std::move(path)), settings_(settings), clock_(clock), counters_(counters) {}

namespace {

std::string Stamp(const LocalTime& t) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return stamp;
}

void AppendTo(const std::filesystem::path& path, const std::string& entry) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    if (out)
        out.write(entry.data(), static_cast<std::streamsize>(entry.size()));
}

}  // namespace

std::string ConnectionLog::Entry(int event) const {
    std::string out = Stamp(clock_.Now());
    if (event == LOG_STATISTICS)
        return out + StatisticsDump(counters_);

    static const char* const kEvents[] = {"Request Connection", "Disconnected      ",
                                          "Connected         ", "Connection Fault  "};
    out += event >= 0 && event <= 3 ? kEvents[event] : "Unknown Event     ";
    out += ' ';
    if (settings_.IP_Used == 1) {
        out += settings_.APP_IPAddr + " " + SystemTypeName(settings_.Server_Port_index);
    } else {
        out += std::string(ComPortName(settings_.COM_Port_number_index)) + " " +
               BaudRateText(settings_.COM_Port_baud_rate_index);
    }
    out += "\r\n";
    if (event == LOG_DISCONNECTED)
        out += StatisticsDump(counters_);
    return out;
}

void ConnectionLog::Log(int event) {
    AppendTo(path_, Entry(event));
}

void ConnectionLog::LogFault(const std::string& reason) {
    std::string entry = Entry(LOG_CONNECTION_FAULT);
    if (!reason.empty()) {
        std::string detail;
        for (char c : reason)
            detail += c == '\r' || c == '\n' ? ' ' : c;  // one entry, one line
        entry.insert(entry.size() - 2, ": " + detail);
    }
    AppendTo(path_, entry);
}

void ConnectionLog::Note(const std::string& event, const std::string& detail) {
    std::string name = event.substr(0, 18);
    name.resize(18, ' ');
    AppendTo(path_, Stamp(clock_.Now()) + name + " " + detail + "\r\n");
}

}  // namespace velk
