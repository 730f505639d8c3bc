#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "core/foundation/operator_prompt.h"
#include "core/link/disk_buffer_channel.h"
#include "core/link/link_protocol.h"

namespace velk {

// The menus of the connection states.
//   Disconnected: Connect and the settings entries enabled, Disconnect grey.
//   Connecting:   an attempt waits for its answer: Connect and the settings grey, Disconnect
//                 stops the attempt.
//   Connected:    Connect and the settings grey, Disconnect enabled.
//   Reconnecting: the link waits for its next automatic attempt: Connect tries at once,
//                 Disconnect stops the cycle, the settings stay grey.
enum class LinkMenuState { Disconnected, Connecting, Connected, Reconnecting };

// What connection control shows: the window title, the connected field, the duration and the
// menus of the connection state.
class ConnectionView {
public:
    virtual ~ConnectionView() = default;
    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetConnectedText(const std::string& text) = 0;
    // The duration restarts from "000 00:00:00".
    virtual void DurationReset() = 0;
    virtual void SetMenuState(LinkMenuState state) = 0;
};

// The operator's Connect and Disconnect commands and the connection display, for the link
// protocol (serial or TCP) and for the hard-disk buffer (HD_Used).
class ConnectionControl {
public:
    ConnectionControl(const AppSettings& settings, cs_smda_prot& protocol, const Clock& clock,
                      OperatorPrompt& prompt);
    void SetView(ConnectionView* view) { view_ = view; }
    void SetDiskBuffer(DiskBufferChannel* disk) { disk_ = disk; }

    // False when the link did not connect (or an attempt is already under way).
    bool Connect();
    // Disconnects, stops a waiting attempt or stops the reconnection cycle; false when there was
    // nothing to stop.
    bool Disconnect();
    // The link changed by itself (the peer closed it, a reconnection started): the menus follow.
    void Refresh();
    LinkMenuState MenuState() const;
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
    bool ConnectDiskBuffer();
    bool DiskBufferMode() const { return settings_.HD_Used != 0; }

    const AppSettings& settings_;
    cs_smda_prot& protocol_;
    const Clock& clock_;
    OperatorPrompt& prompt_;
    ConnectionView* view_ = nullptr;
    DiskBufferChannel* disk_ = nullptr;
    int64_t startTime_ = 0;
    int lastValue_ = -1;
    bool disconnectAsked_ = false;
    bool connectRunning_ = false;
};

}  // namespace velk
