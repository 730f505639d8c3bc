#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>

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
          socket_(prot_, observer_, settings_, [this] { prot_.OnPeerClosed(); }),
          port_(FreePort()),
          channel_(socket_, port_) {
        settings_.IP_Used = 1;
        settings_.RequestDelayAfterNormalData = 50;
        prot_.SetChannels(&channel_, nullptr);
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
    test::RecordingObserver observer_;
    test::RecordingDispatcher dispatcher_;
    QtTimerHost timers_;
    ConnectionLog log_;
    cs_smda_prot prot_;
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

}  // namespace
}  // namespace velk
