#pragma once

#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <functional>

#include "core/link/link_channel.h"
#include "core/link/link_protocol.h"
#include "core/link/tcp_record_splitter.h"

namespace velk {

// The TCP channel to the PBX's billing port: the client socket of the link protocol. A new
// socket is made for every connection; the first moment it can send starts polling, and the
// records it receives are taken apart into the protocol's read events.
class MyCSocket : public QObject, public LinkChannel {
    Q_OBJECT
public:
    // onPeerClosed runs when the PBX closes the connection.
    MyCSocket(cs_smda_prot& owner, LinkObserver& observer, const AppSettings& settings,
              std::function<void()> onPeerClosed, QObject* parent = nullptr);
    ~MyCSocket() override;

    bool Create() override;
    bool Open(const std::string& address, int32_t port) override;
    bool Write(uint8_t byte) override;
    void Close() override;
    void ResetRecord() override { splitter_.Reset(); }
    std::string ErrorText() const override;
    std::string FailureReason() const override { return reason_; }

    bool Ready() const { return ready_; }
    // How long a connection attempt may take before it counts as failed.
    void SetConnectTimeout(int milliseconds) { connectTimeout_ = milliseconds; }

private:
    void OnSend();
    void OnReceive();
    void OnClose();
    void Drop();

    cs_smda_prot& owner_;
    const AppSettings& settings_;
    std::function<void()> onPeerClosed_;
    QPointer<QTcpSocket> socket_;
    TcpRecordSplitter splitter_;
    bool ready_ = false;
    int lastError_ = 0;
    std::string reason_;  // why the last Open failed, in the system's words
    int connectTimeout_ = 20000;
    QEventLoop* pendingConnect_ = nullptr;
};

}  // namespace velk
