#include "core/app/collector_state.h"

#include <charconv>

#include "core/foundation/latin1_text.h"

namespace velk {
namespace {

constexpr std::string_view kFirstLine = "VELK state 1";
constexpr std::string_view kLastLine = "end";

// One line of UTF-8 of at most kStateTextLimit bytes: control characters become spaces, a text
// that is not UTF-8 is taken as Latin-1, a cut never splits a character.
std::string OneLine(std::string_view text) {
    std::string utf8 = IsUtf8(text) ? std::string(text) : Latin1ToUtf8(text);
    for (char& c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = ' ';
    }
    if (utf8.size() > kStateTextLimit) {
        size_t cut = kStateTextLimit;
        while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80)
            --cut;
        utf8.resize(cut);
    }
    return utf8;
}

void Put(std::string& out, std::string_view key, std::string_view value) {
    out.append(key).append("=").append(value).append("\n");
}

void Put(std::string& out, std::string_view key, int64_t value) {
    Put(out, key, std::to_string(value));
}

template <typename Number>
bool NumberOf(std::string_view text, Number& value) {
    if (text.empty())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool FlagOf(std::string_view text, bool& value) {
    if (text != "0" && text != "1")
        return false;
    value = text == "1";
    return true;
}

// A time or a size: never below -1.
bool AtLeastMinusOne(std::string_view text, int64_t& value) {
    return NumberOf(text, value) && value >= -1;
}

bool Field(CollectorState& s, std::string_view key, std::string_view value) {
    if (key == "running")
        return FlagOf(value, s.running);
    if (key == "written")
        return AtLeastMinusOne(value, s.written);
    if (key == "started")
        return AtLeastMinusOne(value, s.started);
    if (key == "link") {
        s.link = OneLine(value);
        return true;
    }
    if (key == "link_up")
        return FlagOf(value, s.linkUp);
    if (key == "peer") {
        s.peer = OneLine(value);
        return true;
    }
    if (key == "day")
        return NumberOf(value, s.day) && s.day >= 0 && s.day <= 99991231;
    if (key == "calls_today")
        return NumberOf(value, s.callsToday);
    if (key == "calls_stored")
        return NumberOf(value, s.callsStored);
    if (key == "traffic_stored")
        return NumberOf(value, s.trafficStored);
    if (key == "last_call")
        return AtLeastMinusOne(value, s.lastCall);
    if (key == "last_call_local") {
        s.lastCallLocal = OneLine(value);
        return true;
    }
    if (key == "alarm") {
        const size_t space = value.find(' ');
        CollectorState::Alarm alarm;
        if (space == std::string_view::npos || !AtLeastMinusOne(value.substr(0, space), alarm.since))
            return false;
        alarm.text = OneLine(value.substr(space + 1));
        if (s.alarms.size() < kStateAlarmLimit)
            s.alarms.push_back(std::move(alarm));
        return true;
    }
    if (key == "database")
        return FlagOf(value, s.database);
    if (key == "database_line") {
        s.databaseLine = OneLine(value);
        return true;
    }
    if (key == "database_waiting")
        return AtLeastMinusOne(value, s.databaseWaiting);
    if (key == "database_away_since")
        return AtLeastMinusOne(value, s.databaseAwaySince);
    if (key == "free_bytes")
        return AtLeastMinusOne(value, s.freeBytes);
    if (key == "index_lag_bytes")
        return AtLeastMinusOne(value, s.indexLagBytes);
    if (key == "index_waiting")
        return AtLeastMinusOne(value, s.indexWaiting);
    return true;  // a key of a later version
}

}  // namespace

std::string FormatCollectorState(const CollectorState& s) {
    std::string out;
    out.append(kFirstLine).append("\n");
    Put(out, "running", s.running ? 1 : 0);
    Put(out, "written", s.written);
    Put(out, "started", s.started);
    Put(out, "link", OneLine(s.link));
    Put(out, "link_up", s.linkUp ? 1 : 0);
    Put(out, "peer", OneLine(s.peer));
    Put(out, "day", s.day);
    Put(out, "calls_today", std::to_string(s.callsToday));
    Put(out, "calls_stored", std::to_string(s.callsStored));
    Put(out, "traffic_stored", std::to_string(s.trafficStored));
    Put(out, "last_call", s.lastCall);
    Put(out, "last_call_local", OneLine(s.lastCallLocal));
    for (size_t i = 0; i < s.alarms.size() && i < kStateAlarmLimit; ++i)
        Put(out, "alarm", std::to_string(s.alarms[i].since) + " " + OneLine(s.alarms[i].text));
    Put(out, "database", s.database ? 1 : 0);
    Put(out, "database_line", OneLine(s.databaseLine));
    Put(out, "database_waiting", s.databaseWaiting);
    Put(out, "database_away_since", s.databaseAwaySince);
    Put(out, "free_bytes", s.freeBytes);
    Put(out, "index_lag_bytes", s.indexLagBytes);
    Put(out, "index_waiting", s.indexWaiting);
    out.append(kLastLine).append("\n");
    return out;
}

StateReading ParseCollectorState(std::string_view text) {
    StateReading reading;
    reading.status = StateReading::Status::Unreadable;
    if (text.size() > kStateFileLimit)
        return reading;
    CollectorState state;
    bool first = true;
    bool ended = false;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        // A last line without its line break was cut short.
        if (newline == std::string_view::npos || ended)
            return reading;
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (first) {
            if (line != kFirstLine)
                return reading;
            first = false;
            continue;
        }
        if (line == kLastLine) {
            ended = true;
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos ||
            !Field(state, line.substr(0, equals), line.substr(equals + 1)))
            return reading;
    }
    if (!ended)
        return reading;
    reading.status = StateReading::Status::Read;
    reading.state = std::move(state);
    return reading;
}

StateReading ReadCollectorState(FileStore& files, const std::filesystem::path& baseDirectory) {
    std::string text;
    // One byte more than a state may have tells a longer file from one just long enough.
    if (!files.ReadWhole(baseDirectory / kCollectorStateFile, text, kStateFileLimit + 1))
        return {};
    return ParseCollectorState(text);
}

}  // namespace velk
