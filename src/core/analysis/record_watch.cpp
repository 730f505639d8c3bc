#include "core/analysis/record_watch.h"

#include <cstdio>

namespace velk {
namespace {

// A sequence number as the last-calls list shows field 0: decimal, at least four digits.
std::string Number(uint32_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u", n);
    return text;
}

}  // namespace

const char* SequenceEvent::Event() const {
    switch (kind) {
    case Kind::Gap:
        return "Sequence gap";
    case Kind::Repeat:
        return "Sequence repeat";
    case Kind::Restart:
        return "Sequence restart";
    }
    return "";
}

std::string SequenceEvent::Line() const {
    if (kind == Kind::Restart)
        return "Sequence restarted " + Detail();
    return std::string(Event()) + ": " + Detail();
}

std::string SequenceEvent::Detail() const {
    if (kind == Kind::Restart)
        return "at " + Number(received) + " (was " + Number(previous) + ")";
    std::string d = "expected " + Number(expected) + ", received " + Number(received);
    if (kind == Kind::Gap)
        d += ", " + std::to_string(missing) + " missing";
    return d;
}

std::optional<SequenceEvent> SequenceCheck::Take(uint32_t number, int base) {
    const uint32_t wrap = base == 16 ? 0x10000u : 10000u;
    number %= wrap;
    if (!previous_) {
        previous_ = number;
        return std::nullopt;
    }
    const uint32_t expected = (*previous_ + 1) % wrap;
    // 9999 (FFFF) is followed by 0000 or 0001.
    if (number == expected || (expected == 0 && number == 1)) {
        previous_ = number;
        return std::nullopt;
    }
    SequenceEvent e;
    e.expected = expected;
    e.received = number;
    if (number == *previous_) {
        e.kind = SequenceEvent::Kind::Repeat;
        return e;
    }
    if (number < *previous_ && *previous_ - number < (number + wrap - expected) % wrap) {
        e.kind = SequenceEvent::Kind::Restart;
        e.previous = *previous_;
        previous_ = number;
        return e;
    }
    e.kind = SequenceEvent::Kind::Gap;
    e.missing = (number + wrap - expected) % wrap;
    missing_ += e.missing;
    lastGap_ = e;
    previous_ = number;
    return e;
}

void SequenceCheck::Reset() {
    previous_.reset();
    missing_ = 0;
    lastGap_.reset();
}

void SilenceCheck::Record(int64_t now) {
    since_ = now;
    alarmed_ = false;
}

bool SilenceCheck::Tick(bool connected, int64_t now) {
    if (minutes_ <= 0)
        return false;
    if (!connected) {
        since_.reset();
        return false;
    }
    if (!since_)
        since_ = now;
    if (alarmed_ || now - *since_ < int64_t{minutes_} * 60)
        return false;
    alarmed_ = true;
    return true;
}

std::string SilenceCheck::Detail() const {
    return "no call record for " + std::to_string(minutes_) +
           (minutes_ == 1 ? " minute" : " minutes") + " while connected";
}

}  // namespace velk
