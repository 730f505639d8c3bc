#pragma once

#include <cstdint>

namespace velk {

// Window-style timers: a started timer expires every period until it is killed. Starting a
// running timer restarts it. Expiries are delivered one at a time on the main thread.
class TimerHost {
public:
    virtual ~TimerHost() = default;
    virtual void StartTimer(int id, int milliseconds) = 0;
    virtual void KillTimer(int id) = 0;
    // Milliseconds on a clock that only goes forward (the system's tick count), to tell how long
    // a step took. A host that keeps no such clock says 0 throughout.
    virtual int64_t Ticks() const { return 0; }
};

}  // namespace velk
