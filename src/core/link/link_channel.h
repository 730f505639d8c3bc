#pragma once

#include <cstdint>
#include <string>

namespace velk {

// A byte channel under the link protocol (the TCP socket or the serial port).
class LinkChannel {
public:
    virtual ~LinkChannel() = default;
    // TCP: creates the socket anew; false when that fails.
    virtual bool Create() { return true; }
    // Opens the connection (TCP: address and port; serial: port name and baud rate, 8N1).
    virtual bool Open(const std::string& where, int32_t portOrBaud) = 0;
    // Writes one control byte; false when it could not be written.
    virtual bool Write(uint8_t byte) = 0;
    virtual void Close() = 0;
    // Discards what is waiting to be received or sent (serial only).
    virtual void ClearRx() {}
    virtual void ClearTx() {}
    // Starts the reader that reports received bytes (serial: a worker thread).
    virtual void StartReader() {}
    // A new poll begins: a record that was being received is given up (TCP).
    virtual void ResetRecord() {}
    // The last error as text, for the diagnostic trace.
    virtual std::string ErrorText() const { return {}; }
    // Why the last Create or Open failed, in the system's words ("Connection refused",
    // "/dev/ttyS0: Permission denied"); empty when not known.
    virtual std::string FailureReason() const { return {}; }
};

}  // namespace velk
