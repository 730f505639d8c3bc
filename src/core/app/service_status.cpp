#include "core/app/service_status.h"

#include <cstdio>

namespace velk {
namespace {

int DayOf(const LocalTime& t) {
    return t.year * 10000 + t.month * 100 + t.day;
}

std::string TimeOf(const LocalTime& t) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return text;
}

// One line: the log's column padding and any line break become single spaces.
std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (!space)
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    if (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

}  // namespace

ServiceStatus::ServiceStatus(const Clock& clock, ServiceManager& manager)
    : clock_(clock), manager_(manager), day_(DayOf(clock.Now())) {}

void ServiceStatus::Link(const std::string& state) {
    link_ = state;
    Changed();
}

void ServiceStatus::StoredBefore(uint64_t today) {
    NewDay();
    today_ = today;
    lastKnown_ = false;
}

void ServiceStatus::Note(const std::string& text) {
    note_ = OneLine(text);
}

void ServiceStatus::RecordStored() {
    NewDay();
    ++today_;
    last_ = clock_.Now();
    lastKnown_ = true;
    if (silence_) {
        alarm_.clear();
        silence_ = false;
    }
    Changed();
}

void ServiceStatus::Alarm(const std::string& line) {
    alarm_ = "alarm at " + TimeOf(clock_.Now()) + ": " + OneLine(line);
    silence_ = false;
    Changed();
}

void ServiceStatus::SilenceAlarm(const std::string& line) {
    Alarm(line);
    silence_ = true;
}

void ServiceStatus::Database(const std::string& line) {
    database_ = line;
    Changed();
}

void ServiceStatus::Refresh() {
    NewDay();
    Changed();
}

void ServiceStatus::NewDay() {
    const int day = DayOf(clock_.Now());
    if (day != day_) {
        day_ = day;
        today_ = 0;
        lastKnown_ = false;
    }
}

std::string ServiceStatus::Text() const {
    std::string text = link_ + "; ";
    if (today_ == 0) {
        text += "no call record stored today";
    } else {
        text += std::to_string(today_) + (today_ == 1 ? " call record" : " call records") +
                " stored today";
        if (lastKnown_)
            text += ", the last at " + TimeOf(last_);
    }
    if (!note_.empty())
        text += "; " + note_;
    if (!database_.empty())
        text += "; " + database_;
    if (!alarm_.empty())
        text += "; " + alarm_;
    return text;
}

void ServiceStatus::Changed() {
    std::string text = Text();
    if (text == sent_)
        return;
    sent_ = std::move(text);
    manager_.Status(sent_);
}

}  // namespace velk
