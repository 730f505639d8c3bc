#include "platform/qt_timer_host.h"

#include <chrono>

namespace velk {

QtTimerHost::QtTimerHost(std::function<void(int)> onExpired, QObject* parent)
    : QObject(parent), onExpired_(std::move(onExpired)) {}

void QtTimerHost::StartTimer(int id, int milliseconds) {
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, id] { onExpired_(id); });
    }
    timer->start(milliseconds);
}

void QtTimerHost::KillTimer(int id) {
    const auto it = timers_.find(id);
    if (it != timers_.end())
        it->second->stop();
}

int64_t QtTimerHost::Ticks() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool QtTimerHost::IsRunning(int id) const {
    const auto it = timers_.find(id);
    return it != timers_.end() && it->second->isActive();
}

}  // namespace velk
