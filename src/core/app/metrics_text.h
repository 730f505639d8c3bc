#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/app/collector_state.h"

namespace velk {

// The collector's state as metrics in Prometheus's text exposition format (version 0.0.4, served
// as "text/plain; version=0.0.4"): counts, times and sizes only, never call data.
//
//   velk_state_readable                  1 when the state file was read, 0 otherwise (nothing
//                                        else is given then but velk_collector_up)
//   velk_collector_up                    1 while the collector runs: it has not stopped in order
//                                        and wrote its state within kStateStaleSeconds
//   velk_collector_start_time_seconds    when it started (since the epoch)
//   velk_link_up                         1 while the link is up
//   velk_link_info{state,peer}           1, the link's state and peer as labels
//   velk_records_stored_total{kind}      records stored since the start: kind "call" or "traffic"
//   velk_records_today{kind="call"}      call records stored today
//   velk_last_record_timestamp_seconds   the last call record's time (none before the first)
//   velk_last_record_age_seconds         seconds since then
//   velk_alarms_active                   alarms now
//   velk_database_up                     1 while the database server takes records (when set up)
//   velk_database_waiting_records        records it has not confirmed (when known)
//   velk_database_away_seconds           how long it has been away (0 while it is there)
//   velk_index_lag_bytes                 raw-file bytes the record index has not read yet
//   velk_index_waiting_records           stored records the index holds in memory
//   velk_disk_free_bytes                 free bytes on the base directory's file system
//   velk_state_age_seconds               seconds since the state was written
inline constexpr int64_t kStateStaleSeconds = 3 * 60;

// `now` is the reader's clock, seconds since the epoch.
std::string MetricsText(const StateReading& reading, int64_t now);

// A label value as the format wants it: backslash, double quote and line feed escaped.
std::string MetricLabelValue(std::string_view value);

}  // namespace velk
