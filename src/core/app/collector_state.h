#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/record/file_store.h"

namespace velk {

// The file in the base directory in which the running collector publishes its state for other
// programs (the web console): replaced whole, never written in place.
inline constexpr const char* kCollectorStateFile = "VELK.state";

// What the collector says about itself: the link, the records, the alarms, the database server,
// the disk. No call data. Times are seconds since the epoch (0: none); a count or size of -1 is
// not known.
struct CollectorState {
    struct Alarm {
        int64_t since = 0;
        std::string text;  // one line of UTF-8
        bool operator==(const Alarm&) const = default;
    };

    bool running = false;  // false once the collector stopped in order
    int64_t written = 0;   // when the file was written
    int64_t started = 0;   // when the collector started

    // The link: "starting", "connected", "disconnected", "waiting" (for a connection) or
    // "reading" (the hard-disk buffer); the peer as the console names it.
    std::string link = "starting";
    bool linkUp = false;
    std::string peer;

    // Call records stored since midnight, or since the start when that was later (day: yyyymmdd
    // of that count); since the start, call records and traffic reports; the last call record's
    // time, also as the local time text "YYYY-MM-DD HH:MM:SS".
    int day = 0;
    uint64_t callsToday = 0;
    uint64_t callsStored = 0;
    uint64_t trafficStored = 0;
    int64_t lastCall = 0;
    std::string lastCallLocal;

    std::vector<Alarm> alarms;

    // The sending to the database server, when one is set up: its status line, the rows it has
    // not confirmed yet, and since when it has been away (0: it is there).
    bool database = false;
    std::string databaseLine;
    int64_t databaseWaiting = -1;
    int64_t databaseAwaySince = 0;

    // Free bytes on the base directory's file system; the bytes of raw files the record index
    // has not read yet, and the stored records it holds in memory until they are in.
    int64_t freeBytes = -1;
    int64_t indexLagBytes = -1;
    int64_t indexWaiting = -1;

    bool operator==(const CollectorState&) const = default;
};

// Bounds of a state, applied by the writer and again by every reader: a line's text, the alarms.
inline constexpr size_t kStateTextLimit = 400;
inline constexpr size_t kStateAlarmLimit = 16;
// A file longer than this is not a state.
inline constexpr size_t kStateFileLimit = 32 * 1024;

// The file's text: a first line naming the format, one "key=value" line per field, one
// "alarm=SINCE TEXT" line per alarm, and a last line "end".
std::string FormatCollectorState(const CollectorState& state);

// What a reader found. The file comes from another program and may be missing, cut short,
// replaced by anything: every value is checked, texts are bounded to one line of UTF-8 and at
// most kStateTextLimit bytes, alarms to kStateAlarmLimit, unknown keys are skipped.
struct StateReading {
    enum class Status {
        Missing,     // no file (no collector has run here, or it could not be read)
        Unreadable,  // not a state: another format, cut short, too long
        Read,
    };
    Status status = Status::Missing;
    CollectorState state;
};

StateReading ParseCollectorState(std::string_view text);
// Reads the file kCollectorStateFile in the base directory.
StateReading ReadCollectorState(FileStore& files, const std::filesystem::path& baseDirectory);

}  // namespace velk
