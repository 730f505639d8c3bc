#include "platform/serial_channel.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace velk {

SerialPort::SerialPort(cs_smda_prot& owner, LinkObserver& observer, const AppSettings& settings,
                       OperatorPrompt& prompt, std::function<void()> onVanished, QObject* parent)
    : QObject(parent),
      owner_(owner),
      settings_(settings),
      prompt_(prompt),
      onVanished_(std::move(onVanished)),
      reader_(owner.ReceiveArea(), cs_smda_prot::kReceiveArea, owner.Bytes_To_Read,
              {[&owner](uint32_t n) { owner.OnNotifyRx(n); },
               [&observer](int position) { observer.SetRxProgressPosition(position); }}) {
    port_.setObjectName(QStringLiteral("pbxSerialPort"));
    connect(&port_, &QSerialPort::readyRead, this, &SerialPort::OnReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialPort::OnError);
    reader_.SetActive(false);
}

SerialPort::~SerialPort() {
    port_.disconnect(this);
    Close();
}

bool SerialPort::Open(const std::string& portName, int32_t baud) {
    Close();
    reason_.clear();
    const std::string device = SerialDevice(settings_, portName);
    if (device.empty()) {
        error_ = portName + " is not a known port";
        reason_ = error_;
        return false;
    }
    port_.setPortName(QString::fromStdString(device));
    if (!port_.open(QIODevice::ReadWrite)) {
        error_ = port_.errorString().toStdString();
        reason_ = device + ": " + error_;
        // Serial devices belong to the group dialout, which a user must be in to open them.
        if (port_.error() == QSerialPort::PermissionError)
            reason_ += " (is the user in the group dialout?)";
        return false;
    }
    const bool configured = port_.setBaudRate(baud) && port_.setDataBits(QSerialPort::Data8) &&
                            port_.setParity(QSerialPort::NoParity) &&
                            port_.setStopBits(QSerialPort::OneStop) &&
                            port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        error_ = port_.errorString().toStdString();
        reason_ = device + ": " + error_;
        port_.close();  // an open port would make the next attempt fail
        return false;
    }
    port_.setDataTerminalReady(false);
    port_.setRequestToSend(false);
    // The driver's queue is what the port holds; Qt keeps no more than the same again.
    port_.setReadBufferSize(kQueueSize);
    port_.clear(QSerialPort::AllDirections);
    reader_.Purge();
    reader_.SetActive(true);
    lineErrors_ = -1;
    HadLineError();
    return true;
}

size_t SerialPort::TransmitQueueLength() const {
    int waiting = 0;
    if (port_.isOpen() && ::ioctl(static_cast<int>(port_.handle()), TIOCOUTQ, &waiting) != 0)
        waiting = 0;
    return static_cast<size_t>(port_.bytesToWrite()) + static_cast<size_t>(waiting);
}

size_t SerialPort::Write(const uint8_t* bytes, size_t count) {
    if (count == 0 || !port_.isOpen())
        return 0;
    if (count + TransmitQueueLength() >= kQueueSize) {
        prompt_.Message("Impossible to locate the variable in Out_Buffer!");
        return 0;
    }
    const qint64 written =
        port_.write(reinterpret_cast<const char*>(bytes), static_cast<qint64>(count));
    if (written <= 0)
        return 0;
    port_.flush();
    // The protocol asks for its answer right after writing: bytes already waiting serve it.
    QTimer::singleShot(0, this, [this] { reader_.Pump(); });
    return static_cast<size_t>(written);
}

void SerialPort::Close() {
    reader_.SetActive(false);
    reader_.Purge();
    if (port_.isOpen())
        port_.close();
}

void SerialPort::ClearRx() {
    if (port_.isOpen())
        port_.clear(QSerialPort::Input);
    reader_.Purge();
}

void SerialPort::ClearTx() {
    if (port_.isOpen())
        port_.clear(QSerialPort::Output);
}

// A line error (framing, parity, overrun, break) the driver counted since the last look; devices
// without such counters (a pseudo-terminal) never report one.
bool SerialPort::HadLineError() {
    serial_icounter_struct counts{};
    if (!port_.isOpen() || ::ioctl(static_cast<int>(port_.handle()), TIOCGICOUNT, &counts) != 0)
        return false;
    const int errors =
        counts.frame + counts.parity + counts.overrun + counts.brk + counts.buf_overrun;
    const bool more = lineErrors_ >= 0 && errors != lineErrors_;
    lineErrors_ = errors;
    return more;
}

void SerialPort::OnReadyRead() {
    const QByteArray data = port_.readAll();
    if (HadLineError())
        reader_.LineError();
    reader_.Feed(reinterpret_cast<const uint8_t*>(data.constData()),
                 static_cast<size_t>(data.size()));
}

void SerialPort::OnError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    error_ = port_.errorString().toStdString();
    // A device that went away (unplugged, or the other end of a pseudo-terminal closed) keeps
    // failing: the port is closed at once so that nothing polls it, then the link is ended.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
        error == QSerialPort::WriteError || error == QSerialPort::DeviceNotFoundError) {
        if (!port_.isOpen())
            return;
        Close();
        QTimer::singleShot(0, this, [this] {
            if (onVanished_)
                onVanished_();
        });
    }
}

}  // namespace velk
