#pragma once

#include <string>

namespace velk {

// Connection log events.
enum ConnectionEvent : int {
    LOG_REQUEST_CONNECTION = 0,
    LOG_DISCONNECTED = 1,
    LOG_CONNECTED = 2,
    LOG_CONNECTION_FAULT = 3,
    LOG_STATISTICS = 4,
};

// Where the link reports its connection events (the connection log).
class ConnectionLogger {
public:
    virtual ~ConnectionLogger() = default;
    virtual void Log(int event) = 0;
    // A "Connection Fault" entry with the system's reason after the channel.
    virtual void LogFault(const std::string& reason) {
        (void)reason;
        Log(LOG_CONNECTION_FAULT);
    }
};

}  // namespace velk
