#pragma once

#include <QTimer>
#include <string>

#include "core/app/service_status.h"

namespace velk {

// Tells systemd about a service that runs with Type=notify, through libsystemd's sd_notify:
// READY=1, STATUS= lines (at most one a second; the latest wins), STOPPING=1, and WATCHDOG=1 from
// the event loop at half the interval systemd asks for in WATCHDOG_USEC, so that a program whose
// event loop hangs is restarted. Without NOTIFY_SOCKET in the environment it sends nothing and
// runs no timer.
class SystemdNotifier : public ServiceManager {
public:
    SystemdNotifier();

    bool Active() const { return active_; }
    void Ready() override;
    void Status(const std::string& text) override;
    void Stopping() override;

private:
    void SendStatus();

    bool active_ = false;
    QTimer watchdog_;
    QTimer statusPause_;
    std::string pending_;
    std::string sent_;
};

}  // namespace velk
