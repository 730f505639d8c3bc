#pragma once

#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <functional>
#include <string>

#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"
#include "core/link/link_channel.h"
#include "core/link/link_protocol.h"
#include "core/link/serial_piece_reader.h"

namespace velk {

// The serial channel to the PBX's billing port (m_Comport): 8 data bits, no parity, one stop bit,
// no flow control, on the device the settings give for the COM name. What arrives is read on the
// main thread as it comes and handed to the protocol piece by piece (SerialPieceReader). A device
// that goes away (a USB adapter unplugged) ends the connection as a peer's close does.
class SerialPort : public QObject, public LinkChannel {
    Q_OBJECT
public:
    static constexpr size_t kQueueSize = 2048;

    // onVanished runs when the device fails under an open connection.
    SerialPort(cs_smda_prot& owner, LinkObserver& observer, const AppSettings& settings,
               OperatorPrompt& prompt, std::function<void()> onVanished, QObject* parent = nullptr);
    ~SerialPort() override;

    // portName is a COM name ("COM1".."COM4").
    bool Open(const std::string& portName, int32_t baud) override;
    bool Write(uint8_t byte) override { return Write(&byte, 1) == 1; }
    // Writes count bytes; 0 for a count of 0, a failed write, or one that would bring the transmit
    // queue to 2048 bytes or more (the operator is told).
    size_t Write(const uint8_t* bytes, size_t count);
    void Close() override;
    void ClearRx() override;
    void ClearTx() override;
    std::string ErrorText() const override { return error_; }
    std::string FailureReason() const override { return reason_; }

    bool IsOpen() const { return port_.isOpen(); }
    QString Device() const { return port_.portName(); }
    qint32 Baud() const { return port_.baudRate(); }

protected:
    // Bytes waiting to be sent: Qt's buffer and the driver's queue.
    virtual size_t TransmitQueueLength() const;

private:
    void OnReadyRead();
    void OnError(QSerialPort::SerialPortError error);
    bool HadLineError();

    cs_smda_prot& owner_;
    const AppSettings& settings_;
    OperatorPrompt& prompt_;
    std::function<void()> onVanished_;
    QSerialPort port_;
    SerialPieceReader reader_;
    std::string error_;
    std::string reason_;  // why the last Open failed: the device and the system's words
    int lineErrors_ = -1;  // the driver's error count when last looked at; -1 when it has none
};

}  // namespace velk
