#include "core/link/connection_control.h"

#include <cstdio>

namespace velk {

ConnectionControl::ConnectionControl(const AppSettings& settings, cs_smda_prot& protocol,
                                     const Clock& clock, OperatorPrompt& prompt)
    : settings_(settings),
      protocol_(protocol),
      clock_(clock),
      prompt_(prompt),
      startTime_(clock.Seconds()) {}

bool ConnectionControl::ConnectDiskBuffer() {
    if (disk_ == nullptr || disk_->Running())
        return false;
    std::string error;
    if (!disk_->Start(settings_.APP_HD_Buffer_Directory, error)) {
        // An idle reader of a queue it cannot use would look like a quiet night.
        prompt_.Message(error);
        return false;
    }
    if (view_ != nullptr) {
        view_->SetTitle("VELK - From HD Buffer at " + settings_.APP_HD_Buffer_Directory);
        view_->SetConnectedText("Yes ");
    }
    Changed();
    Refresh();
    return true;
}

bool ConnectionControl::Connect() {
    if (DiskBufferMode())
        return ConnectDiskBuffer();
    if (connectRunning_ || protocol_.ConnectPending() || protocol_.ConStat == 1)
        return false;
    disconnectAsked_ = false;
    connectRunning_ = true;
    if (view_ != nullptr)
        view_->SetMenuState(LinkMenuState::Connecting);
    const bool connected = protocol_.SMDA_Connect();
    connectRunning_ = false;
    Refresh();
    return connected;
}

bool ConnectionControl::Disconnect() {
    if (DiskBufferMode()) {
        if (disk_ != nullptr && disk_->Running())
            disk_->Stop();
        if (view_ != nullptr) {
            view_->SetTitle("VELK - Disconnected to HD Buffer");
            view_->SetConnectedText("No ");
        }
        Changed();
        Refresh();
        return true;
    }
    if (!protocol_.SMDA_Disconnect())
        return false;
    // A deferred disconnect counts as done: the menus switch at once, the title follows later.
    disconnectAsked_ = protocol_.ConStat == 1;
    Refresh();
    return true;
}

LinkMenuState ConnectionControl::MenuState() const {
    if (DiskBufferMode() && disk_ != nullptr && disk_->Running())
        return LinkMenuState::Connected;
    if (connectRunning_ || protocol_.ConnectPending())
        return LinkMenuState::Connecting;
    if (protocol_.ConStat == 1)
        return disconnectAsked_ ? LinkMenuState::Disconnected : LinkMenuState::Connected;
    if (protocol_.ReconnectPending())
        return LinkMenuState::Reconnecting;
    return LinkMenuState::Disconnected;
}

void ConnectionControl::Refresh() {
    if (protocol_.ConStat == 0)
        disconnectAsked_ = false;
    if (view_ != nullptr)
        view_->SetMenuState(MenuState());
}

std::string ConnectionControl::Target() const {
    if (!settings_.Site_Name.empty())
        return settings_.Site_Name;
    if (settings_.IP_Used == 1)
        return settings_.APP_IPAddr;
    return ComPortName(settings_.COM_Port_number_index);
}

void ConnectionControl::Changed() {
    startTime_ = clock_.Seconds();
    if (view_ != nullptr)
        view_->DurationReset();
}

void ConnectionControl::OnNotifyConnection(int value) {
    const bool changed = value != lastValue_;
    switch (value) {
        case 1:
            if (view_ != nullptr)
                view_->SetConnectedText("Yes ");
            if (changed) {
                Changed();
                if (view_ != nullptr)
                    view_->SetTitle("VELK - Connected to " + Target());
            }
            break;
        case 3:
            if (view_ != nullptr)
                view_->SetConnectedText("Wait");
            if (changed) {
                Changed();
                const std::string target =
                    settings_.Site_Name.empty() ? settings_.APP_IPAddr : settings_.Site_Name;
                if (view_ != nullptr)
                    view_->SetTitle("VELK - Wait for connection to " + target);
            }
            break;
        case 0:
            if (view_ != nullptr)
                view_->SetConnectedText("No  ");
            if (changed) {
                Changed();
                if (view_ != nullptr)
                    view_->SetTitle("VELK - Not connected to " + Target());
            }
            break;
        default:
            startTime_ = clock_.Seconds();
            break;
    }
    lastValue_ = value;
    // While Connect runs it sets the menus itself when it returns.
    if (!connectRunning_)
        Refresh();
}

std::string ConnectionControl::DurationText(int64_t d) {
    if (d < 0)
        d = 0;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%03lld %02d:%02d:%02d", static_cast<long long>(d / 86400),
                  static_cast<int>(d / 3600 % 24), static_cast<int>(d / 60 % 60),
                  static_cast<int>(d % 60));
    return buf;
}

std::string ConnectionControl::DurationText() const {
    return DurationText(clock_.Seconds() - startTime_);
}

}  // namespace velk
