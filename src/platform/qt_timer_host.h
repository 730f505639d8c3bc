#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>

#include "core/link/timer_host.h"

namespace velk {

// Window-style timers on the Qt event loop: periodic until killed, expiries passed to a handler.
class QtTimerHost : public QObject, public TimerHost {
    Q_OBJECT
public:
    explicit QtTimerHost(std::function<void(int)> onExpired, QObject* parent = nullptr);
    void StartTimer(int id, int milliseconds) override;
    void KillTimer(int id) override;
    int64_t Ticks() const override;
    bool IsRunning(int id) const;

private:
    std::function<void(int)> onExpired_;
    std::map<int, QTimer*> timers_;
};

}  // namespace velk
