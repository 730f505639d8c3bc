#include "core/link/connection_control.h"

#include <gtest/gtest.h>

#include "core/link/link_fakes.h"
#include "support/scripted_prompt.h"

namespace velk {
namespace {

class ConnectionControlTest : public ::testing::Test {
protected:
    ConnectionControlTest()
        : prot_(settings_, counters_, timers_, clock_, prompt_, observer_, dispatcher_, log_),
          control_(settings_, prot_, clock_, prompt_) {
        settings_.IP_Used = 1;
        settings_.APP_IPAddr = "10.1.1.1";
        prot_.SetChannels(&tcp_, &serial_);
        observer_.control = &control_;
        control_.SetView(&view_);
    }

    AppSettings settings_;
    StatisticCounters counters_;
    test::FakeTimers timers_;
    test::FakeClock clock_;
    test::ScriptedPrompt prompt_;
    test::NotifyingObserver observer_;
    test::RecordingDispatcher dispatcher_;
    test::RecordingLog log_;
    test::FakeChannel tcp_, serial_;
    cs_smda_prot prot_;
    ConnectionControl control_;
    test::RecordingView view_;
};

TEST_F(ConnectionControlTest, ASecondConnectWhileTheFirstWaitsIsRefused) {
    bool secondAccepted = true;
    LinkMenuState whileWaiting = LinkMenuState::Disconnected;
    tcp_.duringOpen = [&] {
        whileWaiting = view_.Last();
        secondAccepted = control_.Connect();
        EXPECT_FALSE(prot_.SMDA_Connect());
    };
    ASSERT_TRUE(control_.Connect());
    EXPECT_FALSE(secondAccepted);
    EXPECT_EQ(whileWaiting, LinkMenuState::Connecting);
    EXPECT_EQ(tcp_.opens, 1);
    EXPECT_EQ(tcp_.closes, 0);
    EXPECT_EQ(prot_.ConStat, 1);
    EXPECT_EQ(view_.Last(), LinkMenuState::Connected);
    EXPECT_EQ(log_.events, (std::vector<int>{LOG_REQUEST_CONNECTION, LOG_CONNECTED}));
    EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(ConnectionControlTest, AFailedAttemptLeavesTheMenusUsable) {
    tcp_.openOk = false;
    EXPECT_FALSE(control_.Connect());
    EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"The connection is not established!"});
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
    EXPECT_FALSE(prot_.ConnectPending());
    tcp_.openOk = true;
    EXPECT_TRUE(control_.Connect());
    EXPECT_EQ(view_.Last(), LinkMenuState::Connected);
}

TEST_F(ConnectionControlTest, DisconnectStopsAWaitingAttempt) {
    tcp_.duringOpen = [&] { EXPECT_TRUE(control_.Disconnect()); };
    EXPECT_FALSE(control_.Connect());
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_TRUE(prompt_.shown.empty());  // the operator asked for it
    EXPECT_FALSE(timers_.Running(RECONNECTION_PERION_TIMER));
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
    EXPECT_EQ(view_.connected, "No  ");
    EXPECT_EQ(log_.events.back(), LOG_DISCONNECTED);
    tcp_.duringOpen = nullptr;
    EXPECT_TRUE(control_.Connect());  // the next attempt is not refused
}

TEST_F(ConnectionControlTest, DisconnectStopsTheReconnectionCycleAfterAFailedAttempt) {
    settings_.AutoReConnection = 1;
    tcp_.openOk = false;
    EXPECT_FALSE(control_.Connect());
    ASSERT_TRUE(timers_.Running(RECONNECTION_PERION_TIMER));
    EXPECT_EQ(view_.connected, "Wait");
    EXPECT_EQ(view_.Last(), LinkMenuState::Reconnecting);
    // While it waits the link shows as not OK and nothing is being received.
    EXPECT_EQ(observer_.Last(NOTIFY_LINK), 0);
    EXPECT_EQ(observer_.progress, 0);

    EXPECT_TRUE(control_.Disconnect());
    EXPECT_TRUE(timers_.running.empty());
    EXPECT_FALSE(prot_.ReconnectPending());
    EXPECT_EQ(view_.connected, "No  ");
    EXPECT_EQ(view_.title, "VELK - Not connected to 10.1.1.1");
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
    EXPECT_EQ(log_.events.back(), LOG_DISCONNECTED);
    EXPECT_FALSE(control_.Disconnect());  // nothing left to stop
}

TEST_F(ConnectionControlTest, DisconnectStopsTheReconnectionCycleAfterUnansweredPolls) {
    settings_.AutoReConnection = 1;
    ASSERT_TRUE(control_.Connect());
    prot_.OnChannelReady();
    for (int i = 0; i < 4; ++i)
        prot_.SMDA_Timer_Expired(DATA_WAIT_TIMER);
    ASSERT_EQ(prot_.ConStat, 0);
    ASSERT_TRUE(timers_.Running(RECONNECTION_PERION_TIMER));
    EXPECT_EQ(view_.Last(), LinkMenuState::Reconnecting);
    EXPECT_TRUE(control_.Disconnect());
    EXPECT_FALSE(timers_.Running(RECONNECTION_PERION_TIMER));
    EXPECT_EQ(view_.connected, "No  ");
}

TEST_F(ConnectionControlTest, PeerCloseWithReconnectionKeepsDisconnectEnabled) {
    settings_.AutoReConnection = 1;
    ASSERT_TRUE(control_.Connect());
    prot_.OnChannelReady();
    prot_.OnPeerClosed();
    control_.Refresh();
    EXPECT_EQ(prot_.ConStat, 0);
    EXPECT_EQ(tcp_.closes, 1);
    EXPECT_EQ(view_.Last(), LinkMenuState::Reconnecting);
    EXPECT_EQ(view_.connected, "Wait");
    prot_.SMDA_Timer_Expired(RECONNECTION_PERION_TIMER);  // the Connect command is due
    EXPECT_EQ(observer_.reconnects, 1);
    EXPECT_FALSE(timers_.Running(RECONNECTION_PERION_TIMER));
}

TEST_F(ConnectionControlTest, PeerCloseWithoutReconnectionEndsDisconnected) {
    ASSERT_TRUE(control_.Connect());
    prot_.OnChannelReady();
    prot_.OnPeerClosed();
    control_.Refresh();
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
    EXPECT_TRUE(timers_.running.empty());
    EXPECT_EQ(log_.events.back(), LOG_DISCONNECTED);
}

TEST_F(ConnectionControlTest, DeferredDisconnectSwitchesTheMenusAtOnce) {
    ASSERT_TRUE(control_.Connect());
    prot_.Link_Ok = 1;
    EXPECT_TRUE(control_.Disconnect());
    EXPECT_EQ(prot_.ConStat, 1);
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
}

class FakeDiskBuffer : public DiskBufferChannel {
public:
    bool Start(const std::string& directory, std::string& error) override {
        started = directory;
        if (!ok)
            error = kHdDirectoryUnreadable + directory + "\nNo such file or directory";
        running = ok;
        return ok;
    }
    void Stop() override {
        running = false;
        ++stops;
    }
    bool Running() const override { return running; }
    std::string started;
    bool ok = true, running = false;
    int stops = 0;
};

TEST_F(ConnectionControlTest, HardDiskBufferConnectAndDisconnect) {
    FakeDiskBuffer disk;
    control_.SetDiskBuffer(&disk);
    settings_.HD_Used = 1;
    settings_.APP_HD_Buffer_Directory = "/srv/buf";
    clock_.seconds += 100;
    ASSERT_TRUE(control_.Connect());
    EXPECT_EQ(disk.started, "/srv/buf");
    EXPECT_EQ(view_.title, "VELK - From HD Buffer at /srv/buf");
    EXPECT_EQ(view_.connected, "Yes ");
    EXPECT_EQ(control_.StartTime(), clock_.seconds);
    EXPECT_EQ(view_.durationResets, 1);
    EXPECT_EQ(view_.Last(), LinkMenuState::Connected);
    EXPECT_EQ(tcp_.opens, 0);          // the link protocol stays idle
    EXPECT_FALSE(control_.Connect());  // already reading

    EXPECT_TRUE(control_.Disconnect());
    EXPECT_EQ(disk.stops, 1);
    EXPECT_EQ(view_.title, "VELK - Disconnected to HD Buffer");
    EXPECT_EQ(view_.connected, "No ");
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
    EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(ConnectionControlTest, HardDiskBufferDirectoryThatCannotBeReadIsReported) {
    FakeDiskBuffer disk;
    disk.ok = false;
    control_.SetDiskBuffer(&disk);
    settings_.HD_Used = 1;
    settings_.APP_HD_Buffer_Directory = "/srv/none";
    EXPECT_FALSE(control_.Connect());
    EXPECT_EQ(prompt_.Texts(),
              std::vector<std::string>{"The Hard Disk Data Buffer directory cannot be read:\n"
                                       "/srv/none\nNo such file or directory"});
    EXPECT_EQ(view_.Last(), LinkMenuState::Disconnected);
    EXPECT_NE(view_.connected, "Yes ");
}

}  // namespace
}  // namespace velk
