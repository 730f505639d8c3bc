#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTimer>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/link/link_fakes.h"
#include "core/record/connection_log.h"
#include "platform/qt_timer_host.h"
#include "platform/tcp_channel.h"
#include "record_generator.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

// Sends the connection to the simulator's port instead of the billing port of the system type.
class RedirectedChannel : public LinkChannel {
public:
    RedirectedChannel(MyCSocket& socket, quint16 port) : socket_(socket), port_(port) {}
    bool Create() override { return socket_.Create(); }
    bool Open(const std::string& where, int32_t) override { return socket_.Open(where, port_); }
    bool Write(uint8_t byte) override { return socket_.Write(byte); }
    void Close() override { socket_.Close(); }
    void ResetRecord() override { socket_.ResetRecord(); }
    std::string ErrorText() const override { return socket_.ErrorText(); }
    std::string FailureReason() const override { return socket_.FailureReason(); }

private:
    MyCSocket& socket_;
    quint16 port_;
};

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class TcpLinkTest : public ::testing::Test {
protected:
    TcpLinkTest()
        : timers_([this](int id) { prot_.SMDA_Timer_Expired(id); }),
          log_(dir_ / "VELK.LOG", settings_, clock_, counters_),
          prot_(settings_, counters_, timers_, clock_, prompt_, observer_, dispatcher_, log_),
          control_(settings_, prot_, clock_, prompt_),
          socket_(prot_, observer_, settings_,
                  [this] {
                      prot_.OnPeerClosed();
                      control_.Refresh();
                  }),
          port_(FreePort()),
          channel_(socket_, port_) {
        settings_.IP_Used = 1;
        settings_.RequestDelayAfterNormalData = 50;
        prot_.SetChannels(&channel_, nullptr);
        observer_.control = &control_;
        control_.SetView(&view_);
    }
    ~TcpLinkTest() override {
        sim_.kill();
        sim_.waitForFinished();
    }

    void StartSimulator(QStringList args) {
        args << QStringLiteral("--port") << QString::number(port_);
        sim_.setProgram(QStringLiteral(VELK_PBX_SIM));
        sim_.setArguments(args);
        sim_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim_.start();
        ASSERT_TRUE(sim_.waitForStarted());
        ASSERT_TRUE(sim_.waitForReadyRead(10000));  // "listening on ..."
    }

    // Runs the event loop until the condition holds or the time is up.
    template <typename Condition>
    void RunUntil(Condition done, int ms = 30000) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

    // Runs the event loop until n frames arrived or the time is up.
    void RunUntilFrames(size_t n, int ms = 30000) {
        QElapsedTimer t;
        t.start();
        while (dispatcher_.frames.size() < n && t.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
    }

    test::TempDir dir_;
    AppSettings settings_;
    StatisticCounters counters_;
    SystemClock clock_;
    test::ScriptedPrompt prompt_;
    test::NotifyingObserver observer_;
    test::RecordingDispatcher dispatcher_;
    QtTimerHost timers_;
    ConnectionLog log_;
    cs_smda_prot prot_;
    ConnectionControl control_;
    test::RecordingView view_;
    MyCSocket socket_;
    quint16 port_;
    RedirectedChannel channel_;
    QProcess sim_;
};

// What the simulator generates, computed here from the same generator.
std::vector<std::string> Expected(size_t n, uint32_t seed) {
    sim::RecordGenerator gen(seed);
    std::vector<std::string> frames;
    for (size_t i = 0; i < n; ++i) {
        const std::string f = sim::Frame(gen.NextCallRecord());
        frames.push_back(f.substr(0, f.size() - 1));
    }
    return frames;
}

TEST_F(TcpLinkTest, DeliversEveryRecordOnceInOrderDespiteFaults) {
    constexpr size_t kRecords = 12;
    StartSimulator({"--count", QString::number(kRecords), "--rate", "0", "--traffic-every", "0",
                    "--seed", "7", "--bad-bcc-every", "3", "--split", "--duplicate-every", "4"});
    ASSERT_TRUE(prot_.SMDA_Connect());
    RunUntilFrames(kRecords);
    // Give a duplicate after the last record time to show up if it were delivered.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 600)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    EXPECT_EQ(dispatcher_.frames, Expected(kRecords, 7));
    EXPECT_EQ(counters_.Total(EV_BAD_BCC), 4);
    EXPECT_EQ(counters_.Total(EV_SENT_NAK), 8);
    EXPECT_EQ(counters_.Total(EV_DUPLICATE), 3);
    EXPECT_EQ(counters_.Total(EV_NORMAL_DATA), static_cast<int>(kRecords) + 3);
    EXPECT_EQ(counters_.Total(EV_RCV_EOT), static_cast<int>(kRecords) + 3);
    EXPECT_EQ(counters_.Total(EV_BAD_LENGTH), 0);
    EXPECT_EQ(observer_.connections, 1);
    EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(TcpLinkTest, IpecsMgServerFramesUseTheLengthDigits) {
    settings_.Server_Port_index = 3;
    StartSimulator({"--count", "5", "--rate", "0", "--traffic-every", "0", "--seed", "3",
                    "--system-type", "3", "--split"});
    ASSERT_TRUE(prot_.SMDA_Connect());
    RunUntilFrames(5);
    EXPECT_EQ(dispatcher_.frames, Expected(5, 3));
}

TEST_F(TcpLinkTest, PeerCloseWithReconnectionWaits) {
    settings_.AutoReConnection = 1;
    StartSimulator({"--count", "3", "--rate", "0", "--traffic-every", "0", "--drop-after", "2"});
    ASSERT_TRUE(prot_.SMDA_Connect());
    RunUntilFrames(2);
    QElapsedTimer t;
    t.start();
    while (prot_.ConStat == 1 && t.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_TRUE(timers_.IsRunning(RECONNECTION_PERION_TIMER));
    EXPECT_EQ(observer_.Last(NOTIFY_CONNECTION), 3);
    const std::string log = test::ReadFile(dir_ / "VELK.LOG");
    EXPECT_NE(log.find("Connected          127.0.0.1 CS1000 Main Billing Server\r\n"),
              std::string::npos);
}

TEST_F(TcpLinkTest, RefusedConnectionIsReported) {
    ASSERT_FALSE(prot_.SMDA_Connect());  // nothing listens on the port
    EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"The connection is not established!"});
    EXPECT_EQ(socket_.ErrorText(), "The attempt to connect was rejected.");
}

// A listening socket whose accept queue is full: a connect to it waits until the queue has room.
class FullListener {
public:
    FullListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        // A backlog of 0 holds one connection; a connect after it waits for room.
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~FullListener() {
        ::close(filler_);
        for (int c : accepted_)
            ::close(c);
        ::close(fd_);
    }
    // Takes what waits in the queue, making room for the waiting connect.
    void Drain() {
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK);
        if (c >= 0)
            accepted_.push_back(c);
    }
    quint16 port = 0;

private:
    int fd_ = -1;
    int filler_ = -1;
    std::vector<int> accepted_;
};

TEST_F(TcpLinkTest, SecondConnectWhileTheFirstWaitsIsRefusedAndTheFirstCompletes) {
    FullListener listener;
    RedirectedChannel channel(socket_, listener.port);
    prot_.SetChannels(&channel, nullptr);
    bool secondResult = true;
    LinkMenuState whileWaiting = LinkMenuState::Disconnected;
    QTimer::singleShot(300, [&] {
        whileWaiting = view_.Last();
        secondResult = control_.Connect();
        listener.Drain();
    });
    EXPECT_TRUE(control_.Connect());
    EXPECT_FALSE(secondResult);
    EXPECT_EQ(whileWaiting, LinkMenuState::Connecting);
    EXPECT_EQ(prot_.ConStat, 1);
    EXPECT_EQ(view_.Last(), LinkMenuState::Connected);
    EXPECT_TRUE(prompt_.shown.empty());
    EXPECT_TRUE(socket_.Write(ENQ));  // the socket the first connect waited on is still there
}

TEST_F(TcpLinkTest, AConnectThatTimesOutLeavesTheWindowUsable) {
    FullListener listener;
    RedirectedChannel channel(socket_, listener.port);
    prot_.SetChannels(&channel, nullptr);
    socket_.SetConnectTimeout(700);
    EXPECT_FALSE(control_.Connect());
    EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"The connection is not established!"});
    EXPECT_EQ(socket_.ErrorText(),
              "Attempt to connect timed out without establishing a connection.");
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
    EXPECT_FALSE(timers_.IsRunning(RECONNECTION_PERION_TIMER));
    listener.Drain();
    socket_.SetConnectTimeout(20000);
    EXPECT_TRUE(control_.Connect());
}

TEST_F(TcpLinkTest, DisconnectStopsAWaitingConnect) {
    FullListener listener;
    RedirectedChannel channel(socket_, listener.port);
    prot_.SetChannels(&channel, nullptr);
    QElapsedTimer t;
    t.start();
    QTimer::singleShot(200, [&] { EXPECT_TRUE(control_.Disconnect()); });
    EXPECT_FALSE(control_.Connect());
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_TRUE(prompt_.shown.empty());
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
}

TEST_F(TcpLinkTest, RefusedConnectWithReconnectionCanBeStopped) {
    settings_.AutoReConnection = 1;
    EXPECT_FALSE(control_.Connect());  // nothing listens on the port
    EXPECT_TRUE(timers_.IsRunning(RECONNECTION_PERION_TIMER));
    EXPECT_EQ(view_.Last(), LinkMenuState::Reconnecting);
    EXPECT_EQ(view_.connected, "Wait");
    EXPECT_TRUE(control_.Disconnect());
    EXPECT_FALSE(timers_.IsRunning(RECONNECTION_PERION_TIMER));
    EXPECT_EQ(view_.connected, "No  ");
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
    const std::string log = test::ReadFile(dir_ / "VELK.LOG");
    const size_t fault = log.find("Connection Fault   127.0.0.1 ");
    ASSERT_NE(fault, std::string::npos) << log;
    EXPECT_EQ(log.substr(log.find('\n', fault) - 21, 22), ": Connection refused\r\n") << log;
    EXPECT_NE(log.rfind("Disconnected"), std::string::npos);
}

// The PBX closes the link between the ACK and the EOT of record 3: the record counts as sent.
TEST_F(TcpLinkTest, RecordWhoseEotIsLostIsStoredOnce) {
    StartSimulator({"--count", "5", "--rate", "0", "--traffic-every", "0", "--seed", "5",
                    "--close-after-ack", "3"});
    ASSERT_TRUE(control_.Connect());
    RunUntil([this] { return prot_.ConStat == 0; }, 20000);
    ASSERT_EQ(dispatcher_.frames.size(), 3u);
    ASSERT_TRUE(control_.Connect());  // the operator connects again
    RunUntilFrames(5);
    EXPECT_EQ(dispatcher_.frames, Expected(5, 5));
    EXPECT_EQ(counters_.Total(EV_DUPLICATE), 0);
}

// The same, but the PBX sends record 3 again on the next connection: the copy is dropped.
TEST_F(TcpLinkTest, RecordWhoseEotIsLostAndThatIsSentAgainIsStoredOnce) {
    StartSimulator({"--count", "5", "--rate", "0", "--traffic-every", "0", "--seed", "5",
                    "--close-after-ack", "3", "--resend-unconfirmed"});
    ASSERT_TRUE(control_.Connect());
    RunUntil([this] { return prot_.ConStat == 0; }, 20000);
    ASSERT_EQ(dispatcher_.frames.size(), 3u);
    ASSERT_TRUE(control_.Connect());
    RunUntilFrames(5);
    RunUntil([this] { return counters_.Total(EV_DUPLICATE) > 0; }, 3000);
    EXPECT_EQ(dispatcher_.frames, Expected(5, 5));
    EXPECT_EQ(counters_.Total(EV_DUPLICATE), 1);
}

// Run in a network namespace of its own whose loopback is down (ctest runs it so): the connect
// fails before any wait begins, and the real reason is traced.
TEST_F(TcpLinkTest, UnreachableNetworkIsReportedAtOnce) {
    if (std::getenv("VELK_TEST_NETNS") == nullptr)
        GTEST_SKIP() << "runs only inside a network namespace made by the test (in_netns.sh)";
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(control_.Connect());
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"The connection is not established!"});
    ASSERT_FALSE(observer_.traces.empty());
    EXPECT_EQ(observer_.traces.back(),
              "The network cannot be reached from this host at this time.");
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
}

}  // namespace
}  // namespace velk
