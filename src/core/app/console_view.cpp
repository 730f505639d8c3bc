#include "core/app/console_view.h"

#include <cstdio>

namespace velk {

void ConsoleView::Line(const std::string& text) {
    const LocalTime t = clock_.Now();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d  ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    out_ << stamp << text << std::endl;
}

void ConsoleView::LinkLine(const std::string& text) {
    Line(text);
    if (status_ != nullptr)
        status_->Link(text);
}

void ConsoleView::PublishLink(const std::string& state, bool up, const std::string& peer) {
    if (publisher_ != nullptr)
        publisher_->Link(state, up, peer);
}

void ConsoleView::Problem(const std::string& text) {
    Line(text);
    if (status_ != nullptr)
        status_->Alarm(text);
    if (publisher_ != nullptr)
        publisher_->Alarm(text);
}

void ConsoleView::SilenceAlarm(const std::string& line) {
    Line(line);
    if (status_ != nullptr)
        status_->SilenceAlarm(line);
    if (publisher_ != nullptr)
        publisher_->SilenceAlarm(line);
}

void ConsoleView::DatabaseAlarm(const std::string& line) {
    if (!line.empty()) {
        Line(line);
        if (status_ != nullptr)
            status_->Alarm(line);
    }
    // The published state keeps it as an alarm of its own, until it is over.
    if (publisher_ != nullptr)
        publisher_->DatabaseAlarm(line);
}

void ConsoleView::DiskBufferAlarm(const std::string& line) {
    if (publisher_ != nullptr)
        publisher_->DiskBufferAlarm(line);
}

void ConsoleView::DatabaseStatus(const std::string& line) {
    if (status_ != nullptr)
        status_->Database(line);
}

void ConsoleView::SetTitle(const std::string& title) {
    if (title.find("HD Buffer") == std::string::npos)
        return;
    LinkLine(title.substr(title.find(" - ") + 3));
    const bool reading = title.find("From HD Buffer at ") != std::string::npos;
    PublishLink(reading ? "reading" : "disconnected", reading,
                reading ? "HD Buffer " + settings_.APP_HD_Buffer_Directory : "HD Buffer");
}

std::string ConsoleView::Where() const {
    if (settings_.IP_Used != 1) {
        return std::string(ComPortName(settings_.COM_Port_number_index)) + " at " +
               BaudRateText(settings_.COM_Port_baud_rate_index) + " baud";
    }
    static const int kPorts[] = {6013, 6012, 6014, 6016};
    const int index = settings_.Server_Port_index;
    const int port = index >= 0 && index <= 3 ? kPorts[index] : 6013;
    return settings_.APP_IPAddr + ":" + std::to_string(port) + " (" +
           (index >= 0 && index <= 3 ? SystemTypeName(index) : SystemTypeName(0)) + ")";
}

void ConsoleView::Notify(NotifyCode code, int value) {
    if (code == NOTIFY_CONNECTION) {
        if (value == lastConnection_)
            return;
        const bool wasConnected = lastConnection_ == 1;
        lastConnection_ = value;
        if (value == 1) {
            LinkLine("connected to " + Where());
            PublishLink("connected", true, Where());
        }
        if (value == 0) {
            LinkLine("disconnected from " + Where());
            PublishLink("disconnected", false, Where());
        }
        if (value == 3) {
            LinkLine("waiting for a connection to " + Where());
            PublishLink("waiting", false, Where());
        }
        if (wasConnected && value != 1 && lost_)
            lost_();
        return;
    }
    if (code != NOTIFY_COUNT)
        return;
    switch (value) {
        case EV_BAD_BCC:
            Line("link: bad block check, NAK sent");
            break;
        case EV_BAD_LENGTH:
            Line("link: bad message length");
            break;
        case EV_DATA_WAIT_EXPIRED:
            Line("link: no answer to ENQ");
            break;
        case EV_EOT_WAIT_EXPIRED:
            Line("link: no EOT after ACK");
            break;
        case EV_DUPLICATE:
            Line("link: message received twice, second copy dropped");
            break;
        default:
            break;
    }
}

void ConsoleView::CallRecordStored(const LastCallsRing::Record& f) {
    // sequence, call type, start, calling -> dialled, duration
    std::string line = "record " + f[0] + "  " + (f[9].empty() ? "-" : f[9]) + "  " + f[4] + "  " +
                       (f[3].empty() ? "-" : f[3]) + " -> " + (f[6].empty() ? "-" : f[6]) + "  " +
                       f[32];
    Line(line);
    if (status_ != nullptr)
        status_->RecordStored();
    if (publisher_ != nullptr)
        publisher_->CallStored();
}

void ConsoleView::TrafficReportStored(const std::string& line) {
    Line("traffic report " + line.substr(0, 19) + " stored");
    if (publisher_ != nullptr)
        publisher_->TrafficStored();
}

}  // namespace velk
