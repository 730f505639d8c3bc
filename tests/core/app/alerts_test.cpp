// Alerts: which alarm changes reach a person and when (start, repeat, over, the hold-back), the
// collector's alarms on the board (the new ones for a link or database server away for long, the
// silence with the service's default), the texts in each form, and the outbox's retries.
#include <gtest/gtest.h>

#include "core/app/alarm_board.h"
#include "core/app/alarm_view.h"
#include "core/app/alert_message.h"
#include "core/app/alert_outbox.h"
#include "core/app/alert_rules.h"
#include "core/app/collector.h"
#include "core/decode/record_builder.h"
#include "core/foundation/settings_store.h"
#include "core/link/link_fakes.h"
#include "core/record/fake_file_store.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

std::string Said(const Alert& a) {
    return std::string(AlertStateName(a.state)) + " " + a.kind + " '" + a.text + "' +" +
           std::to_string(a.heldBack);
}

class AlertRulesTest : public ::testing::Test {
protected:
    AlertRulesTest() { board_.SetListener(&rules_); }
    void Later(int64_t seconds) {
        clock_.seconds += seconds;
        rules_.Tick();
    }
    test::FakeClock clock_;
    AlarmBoard board_{clock_};
    std::vector<std::string> sent_;
    AlertRules rules_{board_, clock_, 600, [this](const Alert& a) { sent_.push_back(Said(a)); }};
};

TEST_F(AlertRulesTest, OnceAtTheStartAndOnceWhenOver) {
    board_.Raise("link-down", "Link down: no connection");
    board_.Raise("link-down", "Link down: no connection");  // still in force: held back
    Later(60);
    board_.Clear("link-down");  // the end of a start that was sent goes out at once
    board_.Clear("link-down");  // nothing in force
    EXPECT_EQ(sent_, (std::vector<std::string>{"start link-down 'Link down: no connection' +0",
                                               "over link-down 'Link down: no connection' +1"}));
    EXPECT_EQ(rules_.NextDue(), -1);
}

TEST_F(AlertRulesTest, RepeatsOfAKindAreHeldBackForTheInterval) {
    board_.Raise("sequence", "gap 1");
    Later(10);
    board_.Raise("sequence", "gap 2");
    board_.Raise("sequence", "gap 3");
    board_.Raise("no-records", "silent");  // another kind has its own interval
    EXPECT_EQ(rules_.NextDue(), 590);
    Later(589);
    EXPECT_EQ(sent_.size(), 2u);
    Later(1);  // the interval is over: one alert with the latest text
    EXPECT_EQ(sent_, (std::vector<std::string>{"start sequence 'gap 1' +0",
                                               "start no-records 'silent' +0",
                                               "repeat sequence 'gap 3' +1"}));
    Later(1000);  // nothing more was held
    EXPECT_EQ(sent_.size(), 3u);
}

TEST_F(AlertRulesTest, AnAlarmThatComesAndGoesWithinTheIntervalIsToldOnceAtItsEnd) {
    board_.Raise("link-down", "down");
    Later(5);
    board_.Clear("link-down");  // sent at once: its start was sent
    Later(5);
    board_.Raise("link-down", "down again");  // flapping: held back
    Later(5);
    board_.Clear("link-down");  // its start was never sent: waits too
    Later(5);
    board_.Raise("link-down", "down a third time");
    board_.Clear("link-down");
    EXPECT_EQ(sent_.size(), 2u);
    Later(585);  // 600 s after the last alert
    EXPECT_EQ(sent_, (std::vector<std::string>{"start link-down 'down' +0",
                                               "over link-down 'down' +0",
                                               "over link-down 'down a third time' +3"}));
    // An alarm in force at the interval's end is told as a start.
    board_.Raise("link-down", "down once more");
    Later(600);
    EXPECT_EQ(sent_.back(), "start link-down 'down once more' +0");
}

TEST(AlarmBoardTest, TextsAreOneBoundedLine) {
    test::FakeClock clock;
    AlarmBoard board(clock);
    board.Raise("x", "a\r\n\tb  c\x1b[31m");
    ASSERT_NE(board.Find("x"), nullptr);
    EXPECT_EQ(board.Find("x")->text, "a b c [31m");
    board.Raise("y", std::string(1000, 'z'));
    EXPECT_EQ(board.Find("y")->text, std::string(397, 'z') + "...");
    // Cut before a character, never inside one.
    EXPECT_EQ(AlarmLine("ab\xc3\xa9xyz", 6), "ab...");
    EXPECT_EQ(AlarmLine("abcd\xc3\xa9z", 6), "abc...");
    EXPECT_EQ(board.Alarms().size(), 2u);
    EXPECT_EQ(board.Alarms()[0].kind, "x");
}

Alert SampleAlert(Alert::State state, const std::string& text) {
    Alert a;
    a.kind = "link-down";
    a.state = state;
    a.text = text;
    a.since = {2026, 12, 9, 4, 5, 6};
    a.at = {2026, 12, 9, 4, 15, 0};
    a.heldBack = 2;
    return a;
}

TEST(AlertMessageTest, JsonEscapesEverythingAndIsUtf8) {
    const AlertOrigin origin{"Caf\xe9 \"HQ\"", "pbxhost", "/var/lib/velk"};
    const Alert a = SampleAlert(Alert::State::Over, "say \"<b>\"\\ \x01 ok");
    EXPECT_EQ(AlertJson(a, origin),
              "{\"kind\":\"link-down\",\"state\":\"over\","
              "\"text\":\"say \\\"\\u003cb\\u003e\\\"\\\\ ok\","
              "\"title\":\"VELK alarm over at Caf\xc3\xa9 \\\"HQ\\\": say "
              "\\\"\\u003cb\\u003e\\\"\\\\ ok\","
              "\"since\":\"2026-12-09T04:05:06\",\"time\":\"2026-12-09T04:15:00\","
              "\"held_back\":2,\"site\":\"Caf\xc3\xa9 \\\"HQ\\\"\",\"host\":\"pbxhost\","
              "\"directory\":\"/var/lib/velk\"}");
    EXPECT_EQ(JsonString(std::string("\x7f&\t", 3)), "\"\\u007f\\u0026\\t\"");
}

TEST(AlertMessageTest, MailHeadersCannotBeInjectedAndSubjectsAreEncoded) {
    const AlertOrigin origin{"", "h", ""};
    const Alert a = SampleAlert(Alert::State::Start, "line\nBcc: evil@example.com");
    const std::string mail = AlertMail(a, origin, "ops@example.com\nBcc: x@example.com", "");
    EXPECT_EQ(mail.substr(0, mail.find("\n\n") + 2),
              "To: ops@example.com Bcc: x@example.com\n"
              "Subject: VELK alarm: line Bcc: evil@example.com\n"
              "MIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n"
              "Content-Transfer-Encoding: 8bit\nAuto-Submitted: auto-generated\n\n");
    EXPECT_EQ(mail.substr(mail.find("\n\n") + 2),
              "VELK alarm: line Bcc: evil@example.com\n\nKind: link-down\n"
              "Since: 2026-12-09 04:05:06\nStill in force at: 2026-12-09 04:15:00\n"
              "Held back before this alert: 2 alerts\nHost: h\n");
    // Not ASCII: encoded words of at most 45 bytes, a character never split between two.
    const Alert u = SampleAlert(Alert::State::Repeat, std::string(26, 'x') + "\xc3\xa9t\xc3\xa9");
    const std::string encoded = AlertMail(u, origin, "a@b", "velk@b");
    EXPECT_NE(encoded.find("From: velk@b\nSubject: =?UTF-8?B?"
                           "VkVMSyBhbGFybSBhZ2FpbjogeHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHg=?=\n"
                           " =?UTF-8?B?w6l0w6k=?=\n"),
              std::string::npos)
        << encoded;
}

TEST(AlertMessageTest, CommandGetsKindStateAndTextTwice) {
    const Alert a = SampleAlert(Alert::State::Start, "Link down: for 5 minutes");
    EXPECT_EQ(AlertArguments(a),
              (std::vector<std::string>{"link-down", "start", "Link down: for 5 minutes"}));
    const auto env = AlertEnvironment(a, {"S", "h", "/d"});
    EXPECT_EQ(env[0], "VELK_ALARM_KIND=link-down");
    EXPECT_EQ(env[1], "VELK_ALARM_STATE=start");
    EXPECT_EQ(env[2], "VELK_ALARM_TEXT=Link down: for 5 minutes");
    EXPECT_EQ(env[3], "VELK_ALARM_TITLE=VELK alarm at S: Link down: for 5 minutes");
    EXPECT_EQ(env[4], "VELK_ALARM_SINCE=2026-12-09 04:05:06");
    EXPECT_EQ(env[6], "VELK_ALARM_HELD_BACK=2");
    EXPECT_EQ(env[9], "VELK_DIR=/d");
}

class ScriptedChannel : public AlertChannel {
public:
    explicit ScriptedChannel(std::string name) : name_(std::move(name)) {}
    std::string Name() const override { return name_; }
    std::string Deliver(const Alert& alert) override {
        tries.push_back(alert.text);
        if (failures.empty())
            return {};
        std::string why = failures.front();
        failures.erase(failures.begin());
        return why;
    }
    std::vector<std::string> failures;
    std::vector<std::string> tries;

private:
    std::string name_;
};

std::vector<std::string> Texts(const std::vector<AlertNote>& notes) {
    std::vector<std::string> t;
    for (const AlertNote& n : notes)
        t.push_back(n.event + ": " + n.detail);
    return t;
}

TEST(AlertOutboxTest, AChannelDownIsRetriedLaterAndLaterAndLoggedOnce) {
    ScriptedChannel hook("webhook"), mail("mail");
    hook.failures = {"refused", "refused", "refused", "timed out", "refused"};
    AlertOutbox box({&hook, &mail});
    int64_t now = 1000;
    box.Add(SampleAlert(Alert::State::Start, "one"), now);
    box.Add(SampleAlert(Alert::State::Over, "two"), now);
    std::vector<int64_t> waits;
    while (true) {
        const int64_t wait = box.Step(now);
        if (wait < 0)
            break;
        waits.push_back(wait);
        now += wait;
    }
    // The mail goes at once, both alerts; the webhook's first alert is tried after 30, 60, 120,
    // 240 and 480 s, in order, and the second follows it at once.
    EXPECT_EQ(mail.tries, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(hook.tries, (std::vector<std::string>{"one", "one", "one", "one", "one", "one", "two"}));
    EXPECT_EQ(waits, (std::vector<int64_t>{0, 0, 30, 60, 120, 240, 480, 0}));
    EXPECT_EQ(Texts(box.TakeNotes()),
              (std::vector<std::string>{
                  "Alert not sent: webhook: start of link-down: refused; tried again in 30 s",
                  "Alert not sent: webhook: start of link-down: timed out; tried again in 240 s",
                  "Alert not sent: webhook: start of link-down: refused; tried again in 480 s",
                  "Alert sent: webhook delivers again after 5 failed tries"}));
    EXPECT_EQ(box.Waiting(), 0u);
}

TEST(AlertOutboxTest, BoundedAndGivenUpAfterADay) {
    ScriptedChannel hook("webhook");
    hook.failures.assign(1000, "refused");
    AlertOutbox::Options options;
    options.most = 3;
    options.mostRetrySeconds = 3600;
    AlertOutbox box({&hook}, options);
    for (int i = 0; i < 5; ++i)
        box.Add(SampleAlert(Alert::State::Start, std::to_string(i)), 0);
    EXPECT_EQ(box.Waiting(), 3u);
    EXPECT_EQ(box.Step(0), 30);
    EXPECT_EQ(hook.tries, std::vector<std::string>{"2"});  // the oldest two gave way
    EXPECT_EQ(box.Step(86399), 60);
    EXPECT_EQ(box.Step(86400), -1);  // a day old: dropped, all three
    EXPECT_EQ(box.Waiting(), 0u);
    const auto notes = Texts(box.TakeNotes());
    ASSERT_EQ(notes.size(), 6u);
    EXPECT_EQ(notes[0], "Alert dropped: webhook: start of link-down (too many alerts wait)");
    EXPECT_EQ(notes[5], "Alert dropped: webhook: start of link-down undelivered after 2 tries");
}

// The collector's alarms on the board and as alerts.
class CollectorAlertsTest : public ::testing::Test {
protected:
    CollectorAlertsTest()
        : collector_(settings_, dir_.Path(), prompt_, clock_, timers_, ring_, files_) {
        settings_.IP_Used = 1;
        settings_.AutoReConnection = 1;
        collector_.SetChannels(&channel_, &channel_);
        collector_.SetView(&view_);
        collector_.SetAlertSink([this](const Alert& a) { sent_.push_back(Said(a)); });
    }
    void Look(int64_t seconds) {
        clock_.seconds += seconds;
        collector_.OnTimer(Collector::kAlarmTimer);
    }
    void Record(unsigned sequence) {
        test::RecordBuilder r;
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04X", sequence);
        r.sequence = digits;
        const std::string f = r.Frame();
        collector_.Pipeline().ProcessMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                             static_cast<uint32_t>(f.size() - 4));
    }

    test::TempDir dir_;
    AppSettings settings_;
    test::ScriptedPrompt prompt_;
    test::FakeClock clock_;
    test::FakeTimers timers_;
    LastCallsRing ring_;
    test::FakeFileStore files_;
    test::FakeChannel channel_;
    test::AlarmView view_;
    Collector collector_;
    std::vector<std::string> sent_;
};

TEST_F(CollectorAlertsTest, LinkDownLongerThanItsMinutes) {
    settings_.Alerts_LinkDownMinutes = 3;
    collector_.Start();
    EXPECT_EQ(timers_.Period(Collector::kAlarmTimer), 10000);
    channel_.openOk = false;  // the PBX does not answer: reconnecting
    collector_.Connection().Connect();
    ASSERT_EQ(collector_.Connection().MenuState(), LinkMenuState::Reconnecting);
    Look(0);  // the first look that finds it down
    Look(179);
    EXPECT_TRUE(sent_.empty());
    Look(1);
    ASSERT_TRUE(collector_.Alarms().Active(alarm_kind::kLinkDown));
    Look(600);  // once
    EXPECT_EQ(sent_, std::vector<std::string>{
                         "start link-down 'Link down: no connection to the PBX for 3 minutes' +0"});
    EXPECT_EQ(view_.problems.back(), "Link down: no connection to the PBX for 3 minutes");
    channel_.openOk = true;
    collector_.Connection().Connect();
    collector_.Protocol().OnChannelReady();
    EXPECT_FALSE(collector_.Alarms().Active(alarm_kind::kLinkDown));
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_EQ(sent_[1], "over link-down 'Link down: no connection to the PBX for 3 minutes' +0");
    const std::string log = test::ReadFile(dir_ / "VELK.LOG");
    EXPECT_NE(log.find("no connection to the PBX for 3 minutes"), std::string::npos);
    EXPECT_NE(log.find("over: the link is up again"), std::string::npos);
}

TEST_F(CollectorAlertsTest, AnOperatorsDisconnectIsNoAlarm) {
    settings_.Alerts_LinkDownMinutes = 1;
    collector_.Start();
    Look(0);
    Look(3600);
    EXPECT_TRUE(sent_.empty());
    EXPECT_TRUE(collector_.Alarms().Alarms().empty());
}

TEST_F(CollectorAlertsTest, DatabaseAwayLongerThanItsMinutes) {
    settings_.Alerts_DatabaseAwayMinutes = 15;
    collector_.Start();
    ShipStatus away;
    away.line = "Database: away";
    away.troubleSince = clock_.seconds;
    collector_.DatabaseReport({}, away);
    Look(899);
    EXPECT_TRUE(sent_.empty());
    Look(1);
    EXPECT_EQ(sent_, std::vector<std::string>{
                         "start database-away 'Database away: the database server has taken no "
                         "records for 15 minutes; they wait in VELK.db' +0"});
    collector_.DatabaseReport({}, ShipStatus{});
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_EQ(sent_[1].substr(0, 19), "over database-away ");
}

TEST_F(CollectorAlertsTest, TheSilenceDefaultHoldsUnlessTheSettingsSayOtherwise) {
    collector_.SetSilenceDefault(60);
    collector_.Start();
    EXPECT_EQ(collector_.Silence().Minutes(), 60);
    settings_.NoRecordsAlarmMinutes = 0;  // turned off in VELK.INI
    collector_.Start();
    EXPECT_EQ(collector_.Silence().Minutes(), 0);
}

TEST_F(CollectorAlertsTest, EveryOldAlarmReachesTheBoardAndEnds) {
    settings_.NoRecordsAlarmMinutes = 1;
    collector_.Start();
    ASSERT_TRUE(collector_.Connection().Connect());
    collector_.Protocol().OnChannelReady();
    collector_.OnTimer(Collector::kSilenceTimer);
    clock_.seconds += 60;
    collector_.OnTimer(Collector::kSilenceTimer);
    Record(1);
    Record(3);  // a gap; the silence is over
    Record(4);  // in sequence again
    collector_.DiskBufferNotice(QueueNotice::Alarm, "queue unreadable");
    collector_.DiskBufferNotice(QueueNotice::AlarmOver, "records again");
    ShipStatus refused;
    refused.alarm = "another collector sends as this site";
    collector_.DatabaseReport({}, refused);
    EXPECT_EQ(sent_, (std::vector<std::string>{
                         "start no-records 'No records: no call record for 1 minute while "
                         "connected' +0",
                         "over no-records 'No records: no call record for 1 minute while "
                         "connected' +0",
                         "start sequence 'Sequence gap: expected 0002, received 0003, 1 missing' +0",
                         "over sequence 'Sequence gap: expected 0002, received 0003, 1 missing' +0",
                         "start hd-buffer 'HD Buffer: queue unreadable' +0",
                         "over hd-buffer 'HD Buffer: queue unreadable' +0",
                         "start database 'another collector sends as this site' +0"}));
    ASSERT_EQ(collector_.Alarms().Alarms().size(), 1u);
}

TEST_F(CollectorAlertsTest, RecordFilesThatRefuseOrDoNotReachTheDisk) {
    settings_.RawSave = 1;
    collector_.Start();
    const std::string raw = (dir_ / "Bill" / "cs1000.raw").string();
    files_.locked.insert(raw);
    Record(1);
    Record(2);  // refused again: raised again, held back
    files_.locked.clear();
    Record(3);  // every file took it
    files_.failFlush = true;
    collector_.BeginImport();
    EXPECT_FALSE(collector_.EndImport());
    files_.failFlush = false;
    collector_.BeginImport();
    EXPECT_TRUE(collector_.EndImport());
    ASSERT_EQ(sent_.size(), 4u);
    EXPECT_EQ(sent_[0], "start not-written 'Not written: " + raw +
                            ": busy; this record is missing from this file' +0");
    EXPECT_EQ(sent_[1].substr(0, 18), "over not-written '");
    EXPECT_NE(sent_[1].find("' +1"), std::string::npos);
    EXPECT_EQ(sent_[2].substr(0, 31), "start not-flushed 'Not flushed:");
    EXPECT_EQ(sent_[3].substr(0, 30), "over not-flushed 'Not flushed:");
    EXPECT_TRUE(collector_.Alarms().Alarms().empty());
}

// [Alerts] goes into VELK.INI once used, reads back, and a file without it keeps the defaults.
TEST(AlertSettingsTest, TheSectionIsWrittenOnceUsedAndReadBack) {
    test::TempDir dir;
    SettingsStore store(dir.Path());
    AppSettings plain;
    ASSERT_EQ(store.WriteIniFile(plain), 1);
    const std::string without = test::ReadFile(dir / "VELK.INI");
    EXPECT_EQ(without.find("[Alerts]"), std::string::npos);
    EXPECT_EQ(without.find("NoRecordsAlarmMinutes"), std::string::npos);
    AppSettings read;
    store.ReadIniFile(read);
    EXPECT_EQ(read.NoRecordsAlarmMinutes, AppSettings::kUnsetMinutes);
    EXPECT_EQ(read.Alerts_Sendmail, "/usr/sbin/sendmail");
    EXPECT_EQ(read.Alerts_HoldBackMinutes, 30);

    AppSettings used;
    used.Alerts_MailTo = "ops@example.com";
    used.Alerts_Webhook = "https://example.com/h";
    used.Alerts_LinkDownMinutes = 0;
    used.NoRecordsAlarmMinutes = 0;  // turned off: written, so that it stays off
    ASSERT_EQ(store.WriteIniFile(used), 1);
    const std::string with = test::ReadFile(dir / "VELK.INI");
    EXPECT_NE(with.find("[Alerts]\r\nMailTo=ops@example.com\r\nWebhook=https://example.com/h\r\n"
                        "LinkDownMinutes=0000000000\r\n"),
              std::string::npos)
        << with;
    EXPECT_NE(with.find("NoRecordsAlarmMinutes=0000000000\r\n"), std::string::npos);
    AppSettings back;
    store.ReadIniFile(back);
    EXPECT_EQ(back.Alerts_MailTo, "ops@example.com");
    EXPECT_EQ(back.Alerts_Webhook, "https://example.com/h");
    EXPECT_EQ(back.Alerts_LinkDownMinutes, 0);
    EXPECT_EQ(back.Alerts_DatabaseAwayMinutes, 15);
    EXPECT_EQ(back.NoRecordsAlarmMinutes, 0);
}

}  // namespace
}  // namespace velk
