#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTest>
#include <QThread>

#include "core/decode/record_builder.h"
#include "core/record/connection_log.h"
#include "platform/main_thread_dispatcher.h"
#include "support/collector_fixture.h"
#include "support/qt_app.h"
#include "ui/call_lists.h"
#include "ui/list_clipboard.h"
#include "ui/main_window.h"
#include "ui/message_detail.h"
#include "ui/raw_data_display.h"

namespace velk {
namespace {

using test::RecordBuilder;

class WindowTest : public ::testing::Test, protected test::CollectorFixture {
protected:
    WindowTest() : window_(*collector, store, prompt, ShutdownTiming{0, 0, 0}) {}

    QString Text(const char* name) {
        auto* label = window_.findChild<QLabel*>(QString::fromLatin1(name));
        return label ? label->text() : QStringLiteral("<missing>");
    }
    QAbstractItemModel* List(const char* name) {
        return window_.findChild<QTableView*>(QString::fromLatin1(name))->model();
    }
    void Record(int sequence, const std::string& callType = "02") {
        RecordBuilder r;
        char seq[8];
        std::snprintf(seq, sizeof seq, "%04X", sequence);
        r.sequence = seq;
        r.optional = RecordBuilder::Opt("03", callType) + "FF";
        const std::string f = r.Frame();
        collector->Pipeline().ProcessMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                             static_cast<uint32_t>(f.size() - 4));
    }
    static void Wait(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    test::QtApp app_;
    CVELKDlg window_;
};

TEST_F(WindowTest, RecordAppearsInEveryList) {
    Record(0x2A, "0B");
    auto* last = List("lastCallsList");
    EXPECT_EQ(last->index(0, 1).data().toString(), "0042");
    EXPECT_EQ(last->index(0, 10).data().toString(), "Incoming Call");
    EXPECT_EQ(List("detailList")->index(9, 2).data().toString(), "Incoming Call");
    auto* stats = List("statisticsList");
    EXPECT_EQ(stats->index(23, 1).data().toString(), "1");
    EXPECT_EQ(stats->index(23, 2 + 12).data().toString(), "1");  // hour 12 of the record
    EXPECT_TRUE(Text("rawDataLine").contains(QStringLiteral("52030")));
    EXPECT_TRUE(window_.RawDataDisplay()->Text().contains(QStringLiteral("52030")));
}

TEST_F(WindowTest, RingOrderAfter31Records) {
    for (int i = 1; i <= 31; ++i)
        Record(i);
    auto* last = List("lastCallsList");
    EXPECT_EQ(last->index(0, 1).data().toString(), "0002");
    EXPECT_EQ(last->index(28, 1).data().toString(), "0030");
    EXPECT_EQ(last->index(29, 1).data().toString(), "0031");
    EXPECT_EQ(last->index(29, 0).data().toString(), "30");
}

TEST_F(WindowTest, LampsGoDarkAfterTheirTimes) {
    auto* tx = window_.findChild<QLabel*>("txLamp");
    auto* err = window_.findChild<QLabel*>("errLamp");
    window_.TxLamp();
    window_.ErrLamp();
    EXPECT_FALSE(tx->isHidden());
    EXPECT_FALSE(err->isHidden());
    Wait(450);
    EXPECT_TRUE(tx->isHidden());    // 300 ms
    EXPECT_FALSE(err->isHidden());  // 1000 ms
    window_.ErrLamp();              // a new fault restarts its timer
    Wait(600);
    EXPECT_FALSE(err->isHidden());
    Wait(1000);
    EXPECT_TRUE(err->isHidden());
}

TEST_F(WindowTest, ConnectionDisplayAndDuration) {
    settings.APP_IPAddr = "10.0.0.7";
    clock.seconds = 5000;
    window_.Notify(NOTIFY_CONNECTION, 1);
    collector->Connection().OnNotifyConnection(1);
    EXPECT_EQ(window_.windowTitle(), "VELK - Connected to 10.0.0.7");
    EXPECT_EQ(Text("connectedText"), "Yes ");
    EXPECT_EQ(Text("durationText"), "000 00:00:00");
    clock.seconds = 5000 + 86400 + 3723;
    window_.OnDurationTick();
    EXPECT_EQ(Text("durationText"), "001 01:02:03");
    // A second 1 changes neither the title nor the duration.
    settings.Site_Name = "Head office";
    collector->Connection().OnNotifyConnection(1);
    EXPECT_EQ(window_.windowTitle(), "VELK - Connected to 10.0.0.7");
    window_.OnDurationTick();
    EXPECT_EQ(Text("durationText"), "001 01:02:03");
    collector->Connection().OnNotifyConnection(3);
    EXPECT_EQ(window_.windowTitle(), "VELK - Wait for connection to Head office");
    EXPECT_EQ(Text("connectedText"), "Wait");
    EXPECT_EQ(Text("durationText"), "000 00:00:00");
    collector->Connection().OnNotifyConnection(0);
    EXPECT_EQ(window_.windowTitle(), "VELK - Not connected to Head office");
    EXPECT_EQ(Text("connectedText"), "No  ");
}

TEST_F(WindowTest, MessageRateIsTheCountTimes360) {
    for (int i = 0; i < 12; ++i)
        window_.MessageReceived();
    window_.OnMessageRateTick();
    EXPECT_EQ(Text("messageRateLabel"), "MSGs per hour : 4320");
    window_.OnMessageRateTick();
    EXPECT_EQ(Text("messageRateLabel"), "MSGs per hour : 0");
}

TEST_F(WindowTest, StatisticsCaptionsFollowTheMouse) {
    Record(1, "03");
    window_.OnStatisticsHover(15);
    EXPECT_EQ(window_.ChartCaption(),
              "VELK Statistic Event : Selected  -  Call Type : DDD Call . "
              "Total  1. Peak  1 at 12 o'clock.");
    EXPECT_EQ(window_.ChartValue(12), 1);
    window_.OnStatisticsHover(-1);
    EXPECT_EQ(window_.ChartCaption(),
              "VELK Statistic Event : Auto  -  Statictic Event Not Selected");
    EXPECT_EQ(window_.ChartValue(12), 0);
    for (int s = 0; s < 6; ++s)
        window_.OnDurationTick();
    EXPECT_TRUE(window_.ChartCaption().startsWith(
        QStringLiteral("VELK Statistic Event : Auto  -  Sent  :   ENQ . Total  0.")));
}

TEST_F(WindowTest, ClearAnsweredNoThenYes) {
    Record(1);
    prompt.answers = {false, true};
    window_.OnStatisticClear();
    EXPECT_EQ(prompt.shown.back().caption, "Statistic cleaning!");
    EXPECT_EQ(prompt.shown.back().text, "    Are you sure?");
    EXPECT_EQ(collector->Counters().Total(14), 1);
    EXPECT_EQ(List("lastCallsList")->index(0, 1).data().toString(), "0001");
    window_.OnStatisticClear();
    EXPECT_EQ(collector->Counters().Total(14), 0);
    EXPECT_EQ(List("statisticsList")->index(14, 1).data().toString(), "");
    EXPECT_EQ(List("lastCallsList")->index(0, 1).data().toString(), "");
    EXPECT_EQ(collector->Ring().WritePosition(), 0u);
    const std::string log = test::ReadFile(dir / "VELK.LOG");
    EXPECT_EQ(log.substr(19, 18), " VELK Statistic:\r\n");
    EXPECT_NE(log.find("Call Type : Local Call,Total:1 ,"), std::string::npos);
    EXPECT_TRUE(Text("startedAtLabel")
                    .startsWith(QStringLiteral("VELK Statistic Started at : 2026-12-08 14:30:00")));
}

// The status panel counts the call records the PBX numbered but never sent; Clear starts again.
TEST_F(WindowTest, MissingRecordsLineAndItsTip) {
    auto* label = window_.findChild<QLabel*>("missingRecordsLabel");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "Missing records : 0");
    EXPECT_EQ(label->toolTip(), "");
    Record(1);
    Record(2);
    EXPECT_EQ(label->text(), "Missing records : 0");
    Record(5);
    Record(6);
    Record(9);
    EXPECT_EQ(label->text(), "Missing records : 4");
    EXPECT_EQ(label->toolTip(), "Sequence gap: expected 0007, received 0009, 2 missing");
    Record(9);  // a repeat is logged, not counted
    EXPECT_EQ(label->text(), "Missing records : 4");

    prompt.answers = {true};
    window_.OnStatisticClear();
    EXPECT_EQ(label->text(), "Missing records : 0");
    EXPECT_EQ(label->toolTip(), "");
    Record(30);  // a new baseline
    EXPECT_EQ(label->text(), "Missing records : 0");
    Record(32);
    EXPECT_EQ(label->text(), "Missing records : 1");
}

TEST_F(WindowTest, ClipboardTextOfAThreeColumnList) {
    QStandardItemModel model(2, 3);
    model.setHorizontalHeaderLabels({"A", "B", "C"});
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 3; ++c)
            model.setItem(r, c, new QStandardItem(QStringLiteral("%1%2").arg(r).arg(c)));
    }
    EXPECT_EQ(ListText(model), "A\tB\tC\r\n00\t01\t02\r\n10\t11\t12\r\n");
    QStandardItemModel empty(0, 2);
    empty.setHorizontalHeaderLabels({"X", "Y"});
    EXPECT_EQ(ListText(empty), "X\tY\r\n");
    CopyListToClipboard(model, prompt);
    EXPECT_EQ(QApplication::clipboard()->text(), ListText(model));
}

TEST_F(WindowTest, DetailWindowsUpToThirty) {
    Record(5);
    DetaleMessage* first = window_.OpenDetail(4);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->windowTitle(), "VELK - Message 05 in detail");
    DetaleMessage* zero = window_.OpenDetail(0);
    EXPECT_EQ(zero->List()->model()->index(0, 2).data().toString(), "0005");
    EXPECT_EQ(zero->List()->model()->index(32, 1).data().toString(), "Duration");
    for (int i = 2; i < 30; ++i)
        ASSERT_NE(window_.OpenDetail(i), nullptr) << i;
    EXPECT_EQ(window_.OpenDetail(1), nullptr);  // the 31st is refused
    first->close();
    QCoreApplication::processEvents();
    EXPECT_NE(window_.OpenDetail(1), nullptr);  // closing one frees its slot
}

// The detail of a message: the right button on its row as before, Enter on the current row, and
// "Message Detail" in the list's menu (the menu key); a double-click still names the field.
TEST_F(WindowTest, MessageDetailFromEnterAndTheListsMenu) {
    Record(5);
    auto* lists = window_.findChild<CallLists*>("pageTabs");
    ASSERT_NE(lists, nullptr);
    QTableView* list = lists->LastCalls();
    QSignalSpy asked(lists, &CallLists::DetailRequested);
    QTest::keyClick(list, Qt::Key_Return);  // no current row: nothing
    EXPECT_EQ(asked.count(), 0);
    list->setCurrentIndex(list->model()->index(3, 2));
    QTest::keyClick(list, Qt::Key_Return);
    QTest::keyClick(list, Qt::Key_Enter);
    ASSERT_EQ(asked.count(), 2);
    EXPECT_EQ(asked.at(0).at(0).toInt(), 3);
    EXPECT_EQ(asked.at(1).at(0).toInt(), 3);
    bool opened = false;
    for (auto* detail : window_.findChildren<DetaleMessage*>())
        opened = opened || detail->windowTitle() == "VELK - Message 04 in detail";
    EXPECT_TRUE(opened);

    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(), QPoint());
    QCoreApplication::sendEvent(list->viewport(), &menuKey);
    auto* menu = lists->findChild<QMenu*>("listMenu");
    ASSERT_NE(menu, nullptr);
    auto* detail = menu->findChild<QAction*>("messageDetailAction");
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->text(), "Message Detail\tEnter");
    ASSERT_TRUE(detail->isEnabled());
    detail->trigger();
    ASSERT_EQ(asked.count(), 3);
    EXPECT_EQ(asked.at(2).at(0).toInt(), 3);
    menu->close();
}

TEST_F(WindowTest, RawDataDisplayKeepsThe30NewestLines) {
    CRawDataDisplay display(nullptr);
    for (int i = 1; i <= 31; ++i)
        display.AppendLine(QStringLiteral("m%1").arg(i));
    const QStringList lines = display.Text().split('\n');
    ASSERT_EQ(lines.size(), 31);  // 30 messages and the empty last line
    EXPECT_EQ(lines.front(), "m2");
    EXPECT_EQ(lines[29], "m31");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(display.windowTitle(), "VELK Raw Data Display");
}

TEST_F(WindowTest, FieldNamePopupAfterDoubleClick) {
    window_.OnLastCallsHover(3);
    EXPECT_EQ(window_.FieldNamePopup(), nullptr);  // not armed
    window_.OnLastCallsDoubleClick();
    window_.OnLastCallsHover(3);
    ASSERT_NE(window_.FieldNamePopup(), nullptr);
    EXPECT_EQ(window_.FieldNamePopup()->actions().front()->text(), "Charge Information");
    window_.OnLastCallsHover(5);  // disarmed: the popup closes, no new one
    QCoreApplication::processEvents();
    EXPECT_EQ(window_.FieldNamePopup(), nullptr);
}

TEST_F(WindowTest, DefaultViewHidesColumnsOfTheOtherSystem) {
    settings.Server_Port_index = 3;
    window_.OnDefaultView();
    EXPECT_TRUE(window_.LastCallsList()->isColumnHidden(2));    // field 1: CS1000 only
    EXPECT_FALSE(window_.LastCallsList()->isColumnHidden(34));  // field 33
    // The table's width at least; wider where the header needs it.
    EXPECT_GE(window_.LastCallsList()->columnWidth(34), 61);
    settings.Server_Port_index = 0;
    window_.OnDefaultView();
    EXPECT_FALSE(window_.LastCallsList()->isColumnHidden(2));
    EXPECT_TRUE(window_.LastCallsList()->isColumnHidden(34));
}

TEST_F(WindowTest, MinimizeWithoutANotificationAreaKeepsTheWindowReachable) {
    window_.show();
    window_.Minimize();
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        EXPECT_FALSE(window_.isVisible());
        window_.Restore();
    }
    EXPECT_TRUE(window_.isVisible());
}

TEST(TrayTip, LongBaseDirectoriesAreShortened) {
    const std::string base = "/" + std::string(69, 'd');
    const std::string tip = TrayTipText(base);
    EXPECT_EQ(tip.size(), 63u);
    EXPECT_EQ(tip.substr(0, 3), "...");
    EXPECT_EQ(tip.substr(tip.size() - 5), "/VELK");
    EXPECT_EQ(TrayTipText("/srv/velk"), "/srv/velk/VELK");
    // 62 characters are shown whole; 63 become "..." and the last 60.
    const std::string whole62 = "/" + std::string(56, 'd') + "/VELK";
    const std::string whole63 = "/" + std::string(57, 'd') + "/VELK";
    EXPECT_EQ(TrayTipText("/" + std::string(56, 'd')), whole62);
    EXPECT_EQ(TrayTipText("/" + std::string(57, 'd')), "..." + whole63.substr(3));
}

TEST_F(WindowTest, RecordsFromAWorkerWhileTheOperatorClicks) {
    MainThreadDispatcher dispatcher(collector->Pipeline());
    QThread* worker = QThread::create([&dispatcher] {
        for (int i = 1; i <= 300; ++i) {
            RecordBuilder r;
            char seq[8];
            std::snprintf(seq, sizeof seq, "%04X", i);
            r.sequence = seq;
            const std::string f = r.Frame();
            dispatcher.Dispatch(reinterpret_cast<const uint8_t*>(f.data()),
                                static_cast<uint32_t>(f.size() - 4));
        }
    });
    worker->start();
    auto* tabs = window_.findChild<QTabWidget*>("pageTabs");
    int clicks = 0;
    while (!worker->isFinished()) {
        tabs->setCurrentIndex(clicks++ % 3);
        window_.OnStatisticsHover(clicks % 26);
        window_.OpenDetail(clicks % 30);
        QCoreApplication::processEvents();
    }
    worker->wait();
    delete worker;
    EXPECT_EQ(collector->Counters().Total(12), 300);  // no call type: "Unknown"
    EXPECT_EQ(List("lastCallsList")->index(29, 1).data().toString(), "0300");
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

TEST_F(WindowTest, SettingsMenusOnlyWhileDisconnected) {
    EXPECT_TRUE(window_.Action(kCmdCommunication)->isEnabled());
    EXPECT_FALSE(window_.Action(kCmdDisconnect)->isEnabled());
    window_.OnConnect();  // the fake channel connects
    EXPECT_FALSE(window_.Action(kCmdCommunication)->isEnabled());
    EXPECT_FALSE(window_.Action(kCmdProtocol)->isEnabled());
    EXPECT_FALSE(window_.Action(kCmdSaver)->isEnabled());
    EXPECT_FALSE(window_.Action(kCmdApplication)->isEnabled());
    EXPECT_FALSE(window_.Action(kCmdConnect)->isEnabled());
    EXPECT_TRUE(window_.Action(kCmdDisconnect)->isEnabled());
    EXPECT_EQ(Text("connectionsLabel"), "Connections : 1");
    collector->Protocol().Link_Ok = 0;
    window_.OnDisconnect();
    EXPECT_TRUE(window_.Action(kCmdSaver)->isEnabled());
    EXPECT_FALSE(window_.Action(kCmdDisconnect)->isEnabled());
    EXPECT_EQ(window_.windowTitle(), "VELK - Not connected to 127.0.0.1");
}

TEST_F(WindowTest, MenusWhileAConnectWaitsAndWhileTheLinkWaitsToReconnect) {
    bool connectEnabled = true, disconnectEnabled = false, settingsEnabled = true;
    channel.duringOpen = [&] {
        connectEnabled = window_.Action(kCmdConnect)->isEnabled();
        disconnectEnabled = window_.Action(kCmdDisconnect)->isEnabled();
        settingsEnabled = window_.Action(kCmdCommunication)->isEnabled();
    };
    settings.AutoReConnection = 1;
    channel.openOk = false;
    window_.OnConnect();
    EXPECT_FALSE(connectEnabled);
    EXPECT_TRUE(disconnectEnabled);  // stops the attempt
    EXPECT_FALSE(settingsEnabled);
    // The attempt failed: the link waits a minute for the next one.
    EXPECT_TRUE(window_.Action(kCmdConnect)->isEnabled());     // tries at once
    EXPECT_TRUE(window_.Action(kCmdDisconnect)->isEnabled());  // stops the cycle
    EXPECT_FALSE(window_.Action(kCmdCommunication)->isEnabled());
    EXPECT_EQ(Text("connectedText"), "Wait");
    EXPECT_EQ(Text("linkStatusText"), "Not OK  ");
    window_.OnDisconnect();
    EXPECT_FALSE(window_.Action(kCmdDisconnect)->isEnabled());
    EXPECT_TRUE(window_.Action(kCmdCommunication)->isEnabled());
    EXPECT_EQ(Text("connectedText"), "No  ");
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

TEST_F(WindowTest, LaunchMinMinimisesAboutThreeSecondsAfterStart) {
    settings.LaunchMin = 1;
    window_.show();
    window_.Start();
    Wait(2400);
    EXPECT_TRUE(window_.isVisible() && !window_.isMinimized());
    Wait(1600);
    // Hidden into the notification area, or minimised where there is none.
    EXPECT_TRUE(!window_.isVisible() || window_.isMinimized());
}

TEST_F(WindowTest, StartConnectsWhenAutoConnectionIsSet) {
    settings.AutoConnection = 1;
    window_.Start();
    EXPECT_EQ(collector->Protocol().ConStat, 1);
    EXPECT_EQ(channel.opens, 1);
    EXPECT_EQ(Text("connectedText"), "Yes ");
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

TEST_F(WindowTest, ExitIsRefusedWhileAnImportRuns) {
    collector->Pipeline().SetImportRunning(true);
    window_.show();
    window_.OnExit();
    ASSERT_EQ(prompt.shown.size(), 1u);
    EXPECT_EQ(prompt.shown[0].text,
              "Import is started!\nIf you want exit, Cancel Import at firts.");
    EXPECT_EQ(prompt.shown[0].caption, "VELK Exit!");
    EXPECT_FALSE(prompt.shown[0].question);
    EXPECT_TRUE(window_.isVisible());
}

}  // namespace
}  // namespace velk
