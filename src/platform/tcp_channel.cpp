#include "platform/tcp_channel.h"

#include <QEventLoop>
#include <QTimer>

#include "core/link/socket_errors.h"

namespace velk {
namespace {

// The socket error codes of the original platform, for the trace texts.
int WinsockCode(QAbstractSocket::SocketError e) {
    switch (e) {
        case QAbstractSocket::ConnectionRefusedError:
            return 10061;
        case QAbstractSocket::HostNotFoundError:
            return 10022;
        case QAbstractSocket::SocketTimeoutError:
            return 10060;
        case QAbstractSocket::NetworkError:
            return 10051;
        case QAbstractSocket::SocketResourceError:
            return 10024;
        case QAbstractSocket::AddressInUseError:
            return 10048;
        case QAbstractSocket::SocketAddressNotAvailableError:
            return 10049;
        default:
            return static_cast<int>(e);
    }
}

}  // namespace

MyCSocket::MyCSocket(cs_smda_prot& owner, LinkObserver& observer, const AppSettings& settings,
                     std::function<void()> onPeerClosed, QObject* parent)
    : QObject(parent),
      owner_(owner),
      settings_(settings),
      onPeerClosed_(std::move(onPeerClosed)),
      splitter_(owner.ReceiveArea(), cs_smda_prot::kReceiveArea,
                {[&owner](uint32_t n) { owner.OnNotifyRx(n); },
                 [&observer](int m) { observer.SetRxProgressRange(m); },
                 [&observer](int p) { observer.SetRxProgressPosition(p); }}) {}

MyCSocket::~MyCSocket() {
    Drop();
}

void MyCSocket::Drop() {
    ready_ = false;
    if (pendingConnect_ != nullptr)
        pendingConnect_->quit();
    if (socket_ == nullptr)
        return;
    QTcpSocket* s = socket_;
    socket_ = nullptr;
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

bool MyCSocket::Create() {
    Drop();
    splitter_.Reset();
    lastError_ = 0;
    reason_.clear();
    socket_ = new QTcpSocket(this);
    socket_->setObjectName(QStringLiteral("pbxSocket"));
    return true;
}

bool MyCSocket::Open(const std::string& address, int32_t port) {
    if (socket_ == nullptr && !Create())
        return false;
    QTcpSocket* s = socket_;
    splitter_.SetLengthFromDigits(settings_.Server_Port_index == kSystemTypeIpecsMg);

    // Connecting blocks the caller, as a blocking socket does, while the event loop runs on. The
    // answer may come before the wait begins (a refused or unreachable address fails at once).
    QEventLoop loop;
    bool finished = false;
    bool connected = false;
    const auto c1 = connect(s, &QTcpSocket::connected, &loop, [&] {
        connected = true;
        finished = true;
        loop.quit();
    });
    const auto c2 =
        connect(s, &QTcpSocket::errorOccurred, &loop, [&](QAbstractSocket::SocketError e) {
            lastError_ = WinsockCode(e);
            reason_ = s->errorString().toStdString();
            finished = true;
            loop.quit();
        });
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, &loop, [&] {
        lastError_ = 10060;
        reason_ = "Connection timed out after " + std::to_string(connectTimeout_ / 1000) + " s";
        loop.quit();
    });
    s->connectToHost(QString::fromStdString(address), static_cast<quint16>(port));
    if (!finished && s->state() != QAbstractSocket::ConnectedState) {
        pendingConnect_ = &loop;  // Close() ends the wait
        timeout.start(connectTimeout_);
        loop.exec();
        pendingConnect_ = nullptr;
    }
    disconnect(c1);
    disconnect(c2);
    if (socket_ != s)
        return false;  // closed while waiting
    if (!connected && s->state() != QAbstractSocket::ConnectedState)
        return false;

    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(s, &QTcpSocket::readyRead, this, &MyCSocket::OnReceive);
    connect(s, &QTcpSocket::disconnected, this, &MyCSocket::OnClose);
    // The first chance to send on the new connection starts polling.
    QTimer::singleShot(0, this, [this, s] {
        if (socket_ == s && s->state() == QAbstractSocket::ConnectedState)
            OnSend();
    });
    return true;
}

void MyCSocket::OnSend() {
    if (ready_)
        return;
    owner_.OnChannelReady();
    ready_ = true;
}

void MyCSocket::OnReceive() {
    QTcpSocket* s = socket_;
    if (s == nullptr)
        return;
    while (socket_ == s && s->bytesAvailable() > 0) {
        const QByteArray data = s->readAll();
        if (data.isEmpty())
            break;  // a failed read counts as nothing available
        splitter_.Feed(reinterpret_cast<const uint8_t*>(data.constData()),
                       static_cast<size_t>(data.size()));
    }
}

void MyCSocket::OnClose() {
    ready_ = false;
    if (onPeerClosed_)
        onPeerClosed_();
}

bool MyCSocket::Write(uint8_t byte) {
    if (socket_ == nullptr || socket_->state() != QAbstractSocket::ConnectedState)
        return false;
    const char c = static_cast<char>(byte);
    if (socket_->write(&c, 1) != 1)
        return false;
    socket_->flush();
    return true;
}

void MyCSocket::Close() {
    Drop();
}

std::string MyCSocket::ErrorText() const {
    return SocketErrorText(lastError_);
}

}  // namespace velk
