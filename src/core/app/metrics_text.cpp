#include "core/app/metrics_text.h"

#include <algorithm>

namespace velk {
namespace {

class Exposition {
public:
    // A metric's help and type lines, once before its samples.
    Exposition& Metric(std::string_view name, std::string_view type, std::string_view help) {
        text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
        text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
        return *this;
    }
    Exposition& Sample(std::string_view name, std::string_view labels, int64_t value) {
        return Sample(name, labels, std::to_string(value));
    }
    Exposition& Sample(std::string_view name, std::string_view labels, std::string_view value) {
        text_.append(name);
        if (!labels.empty())
            text_.append("{").append(labels).append("}");
        text_.append(" ").append(value).append("\n");
        return *this;
    }
    Exposition& Gauge(std::string_view name, std::string_view help, int64_t value) {
        return Metric(name, "gauge", help).Sample(name, "", value);
    }
    std::string Take() { return std::move(text_); }

private:
    std::string text_;
};

std::string Label(std::string_view name, std::string_view value) {
    return std::string(name) + "=\"" + MetricLabelValue(value) + "\"";
}

}  // namespace

std::string MetricLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string MetricsText(const StateReading& reading, int64_t now) {
    Exposition out;
    const bool read = reading.status == StateReading::Status::Read;
    const CollectorState& s = reading.state;
    out.Gauge("velk_state_readable", "Whether the collector's state file could be read.",
              read ? 1 : 0);
    const bool up = read && s.running && now - s.written <= kStateStaleSeconds;
    out.Gauge("velk_collector_up",
              "Whether the collector runs (it wrote its state lately and did not stop).",
              up ? 1 : 0);
    if (!read)
        return out.Take();

    out.Gauge("velk_collector_start_time_seconds",
              "When the collector started, in seconds since the epoch.", s.started);
    out.Gauge("velk_link_up", "Whether the link to the PBX is up.", s.linkUp ? 1 : 0);
    out.Metric("velk_link_info", "gauge", "The link's state and peer.")
        .Sample("velk_link_info", Label("state", s.link) + "," + Label("peer", s.peer), 1);
    out.Metric("velk_records_stored_total", "counter",
               "Records stored since the collector started, by kind.")
        .Sample("velk_records_stored_total", Label("kind", "call"),
                std::to_string(s.callsStored))
        .Sample("velk_records_stored_total", Label("kind", "traffic"),
                std::to_string(s.trafficStored));
    out.Metric("velk_records_today", "gauge",
               "Call records stored today (since midnight, or since the start when later).")
        .Sample("velk_records_today", Label("kind", "call"), std::to_string(s.callsToday));
    out.Metric("velk_last_record_timestamp_seconds", "gauge",
               "When the last call record was stored, in seconds since the epoch.");
    out.Metric("velk_last_record_age_seconds", "gauge",
               "Seconds since the last call record was stored.");
    if (s.lastCall > 0) {
        out.Sample("velk_last_record_timestamp_seconds", "", s.lastCall);
        out.Sample("velk_last_record_age_seconds", "", std::max<int64_t>(0, now - s.lastCall));
    }
    out.Gauge("velk_alarms_active", "Alarms now active.", static_cast<int64_t>(s.alarms.size()));
    if (s.database) {
        out.Gauge("velk_database_up", "Whether the database server takes the records.",
                  s.databaseAwaySince == 0 ? 1 : 0);
        out.Metric("velk_database_waiting_records", "gauge",
                   "Records the database server has not confirmed yet.");
        if (s.databaseWaiting >= 0)
            out.Sample("velk_database_waiting_records", "", s.databaseWaiting);
        out.Gauge("velk_database_away_seconds",
                  "Seconds the database server has been away (0 while it is there).",
                  s.databaseAwaySince > 0 ? std::max<int64_t>(0, now - s.databaseAwaySince) : 0);
    }
    out.Metric("velk_index_lag_bytes", "gauge",
               "Bytes of raw files the record index has not read yet.");
    if (s.indexLagBytes >= 0)
        out.Sample("velk_index_lag_bytes", "", s.indexLagBytes);
    out.Metric("velk_index_waiting_records", "gauge",
               "Stored records the record index holds in memory until they are in.");
    if (s.indexWaiting >= 0)
        out.Sample("velk_index_waiting_records", "", s.indexWaiting);
    out.Metric("velk_disk_free_bytes", "gauge",
               "Free bytes on the file system of the collector's base directory.");
    if (s.freeBytes >= 0)
        out.Sample("velk_disk_free_bytes", "", s.freeBytes);
    out.Gauge("velk_state_age_seconds", "Seconds since the collector wrote its state.",
              std::max<int64_t>(0, now - s.written));
    return out.Take();
}

}  // namespace velk
