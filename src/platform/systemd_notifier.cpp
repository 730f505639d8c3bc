#include "platform/systemd_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

namespace velk {

namespace {
constexpr int kStatusPauseMs = 1000;
}

SystemdNotifier::SystemdNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    active_ = socket != nullptr && *socket != '\0';
    if (!active_)
        return;
    statusPause_.setSingleShot(true);
    QObject::connect(&statusPause_, &QTimer::timeout, [this] { SendStatus(); });
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Half the interval, so that one late turn of the event loop does not miss it.
        const uint64_t ms = usec / 2000;
        watchdog_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&watchdog_, &QTimer::timeout, [] { sd_notify(0, "WATCHDOG=1"); });
        watchdog_.start(static_cast<int>(ms > 0 ? ms : 1));
    }
}

void SystemdNotifier::Ready() {
    if (active_)
        sd_notify(0, "READY=1");
}

void SystemdNotifier::Status(const std::string& text) {
    if (!active_)
        return;
    pending_ = text;
    if (!statusPause_.isActive())
        SendStatus();
}

void SystemdNotifier::SendStatus() {
    if (pending_ == sent_)
        return;
    sent_ = pending_;
    sd_notify(0, ("STATUS=" + sent_).c_str());
    statusPause_.start(kStatusPauseMs);
}

void SystemdNotifier::Stopping() {
    if (!active_)
        return;
    statusPause_.stop();
    sd_notify(0, ("STOPPING=1\nSTATUS=" + pending_).c_str());
    sent_ = pending_;
}

}  // namespace velk
