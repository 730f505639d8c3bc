#include "core/app/state_publisher.h"

#include <cstdio>

namespace velk {
namespace {

int DayOf(const LocalTime& t) {
    return t.year * 10000 + t.month * 100 + t.day;
}

std::string LocalText(const LocalTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

}  // namespace

StatePublisher::StatePublisher(const Clock& clock, FileStore& files,
                               const std::filesystem::path& baseDirectory)
    : clock_(clock), files_(files), file_(baseDirectory / kCollectorStateFile) {
    state_.running = true;
    state_.started = clock.Seconds();
    state_.day = DayOf(clock.Now());
}

void StatePublisher::Link(const std::string& state, bool up, const std::string& peer) {
    state_.link = state;
    state_.linkUp = up;
    state_.peer = peer;
}

void StatePublisher::CallStored() {
    NewDay();
    ++state_.callsToday;
    ++state_.callsStored;
    state_.lastCall = clock_.Seconds();
    state_.lastCallLocal = LocalText(clock_.Now());
    if (silence_) {
        problem_ = {};
        silence_ = false;
    }
    CollectAlarms();
}

void StatePublisher::TrafficStored() {
    ++state_.trafficStored;
}

void StatePublisher::Alarm(const std::string& line) {
    problem_ = {clock_.Seconds(), line};
    silence_ = false;
    CollectAlarms();
}

void StatePublisher::SilenceAlarm(const std::string& line) {
    Alarm(line);
    silence_ = true;
}

void StatePublisher::DatabaseAlarm(const std::string& line) {
    database_ = {line.empty() ? 0 : clock_.Seconds(), line};
    CollectAlarms();
}

void StatePublisher::DiskBufferAlarm(const std::string& line) {
    diskBuffer_ = {line.empty() ? 0 : clock_.Seconds(), line};
    CollectAlarms();
}

void StatePublisher::Database(const ShipStatus& status) {
    state_.database = !status.line.empty();
    state_.databaseLine = status.line;
    state_.databaseWaiting = state_.database ? status.waiting : -1;
    state_.databaseAwaySince = state_.database ? status.troubleSince : 0;
}

void StatePublisher::Measured(int64_t freeBytes, int64_t indexLagBytes, int64_t indexWaiting) {
    state_.freeBytes = freeBytes;
    state_.indexLagBytes = indexLagBytes;
    state_.indexWaiting = indexWaiting;
}

void StatePublisher::NewDay() {
    const int day = DayOf(clock_.Now());
    if (day != state_.day) {
        state_.day = day;
        state_.callsToday = 0;
    }
}

void StatePublisher::SetAlarmBoard(const AlarmBoard* board) {
    board_ = board;
    CollectAlarms();
}

void StatePublisher::CollectAlarms() {
    state_.alarms.clear();
    if (board_ != nullptr) {
        for (const ActiveAlarm& alarm : board_->Alarms())
            state_.alarms.push_back({alarm.since, alarm.text});
        return;
    }
    for (const CollectorState::Alarm* alarm : {&problem_, &database_, &diskBuffer_}) {
        if (!alarm->text.empty())
            state_.alarms.push_back(*alarm);
    }
}

bool StatePublisher::Publish() {
    NewDay();
    // The board changes without telling the publisher.
    CollectAlarms();
    const int64_t now = clock_.Seconds();
    if (everWritten_ && now == lastWrite_)
        return false;
    CollectorState timeless = state_;
    timeless.written = 0;
    if (everWritten_ && FormatCollectorState(timeless) == published_ && now > lastWrite_ &&
        now - lastWrite_ < kHeartbeatSeconds)
        return false;
    return Write();
}

bool StatePublisher::Stopped() {
    state_.running = false;
    state_.link = "stopped";
    state_.linkUp = false;
    return Write();
}

bool StatePublisher::Write() {
    state_.written = clock_.Seconds();
    if (!files_.Replace(file_, FormatCollectorState(state_)))
        return false;
    CollectorState timeless = state_;
    timeless.written = 0;
    published_ = FormatCollectorState(timeless);
    lastWrite_ = state_.written;
    everWritten_ = true;
    return true;
}

}  // namespace velk
