#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/link/link_protocol.h"

namespace velk {

// What connection control shows: the window title, the connected field, the duration and the
// menus of the connected or disconnected state.
class ConnectionView {
public:
    virtual ~ConnectionView() = default;
    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetConnectedText(const std::string& text) = 0;
    // The duration restarts from "000 00:00:00".
    virtual void DurationReset() = 0;
    virtual void SetMenusConnected(bool connected) = 0;
};

// The operator's Connect and Disconnect commands and the connection display.
class ConnectionControl {
public:
    ConnectionControl(const AppSettings& settings, cs_smda_prot& protocol, const Clock& clock);
    void SetView(ConnectionView* view) { view_ = view; }

    bool Connect();
    bool Disconnect();
    // NOTIFY_CONNECTION: 0 not connected, 1 connected, 3 waiting for a TCP connection.
    void OnNotifyConnection(int value);

    int64_t StartTime() const { return startTime_; }
    // "DDD HH:MM:SS" since the connection state last changed.
    std::string DurationText() const;
    static std::string DurationText(int64_t seconds);
    // What the title names: the site, else the address (TCP) or the port name (serial).
    std::string Target() const;

private:
    void Changed();

    const AppSettings& settings_;
    cs_smda_prot& protocol_;
    const Clock& clock_;
    ConnectionView* view_ = nullptr;
    int64_t startTime_ = 0;
    int lastValue_ = -1;
};

}  // namespace velk
