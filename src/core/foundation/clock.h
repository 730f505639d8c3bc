#pragma once

#include <cstdint>

namespace velk {

struct LocalTime {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// The time as the program sees it; tests set it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime Now() const = 0;
    // Seconds since the epoch.
    virtual int64_t Seconds() const = 0;
};

// The machine's local time.
class SystemClock : public Clock {
public:
    LocalTime Now() const override;
    int64_t Seconds() const override;
};

}  // namespace velk
