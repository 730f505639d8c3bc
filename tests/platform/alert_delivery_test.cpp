// Alerts delivered to real receivers the tests start: a script as the command, a
// sendmail-compatible script, a webhook receiver on loopback (python3's http.server); failures
// and time-outs named, and a receiver that is down logged and tried again until it takes the alert.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <atomic>
#include <fstream>

#include "platform/alert_channels.h"
#include "platform/alert_sender.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

Alert SampleAlert() {
    Alert a;
    a.kind = "link-down";
    a.state = Alert::State::Start;
    a.text = "Link down: no connection to the PBX for 5 minutes; \"quoted\" $HOME `x`";
    a.since = {2026, 12, 9, 4, 5, 6};
    a.at = {2026, 12, 9, 4, 10, 6};
    return a;
}

const AlertOrigin kOrigin{"Main site", "pbx-host", "/var/lib/velk"};

void Script(const std::filesystem::path& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// A loopback port nothing listens on (bound once, then given back).
int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

class Receiver {
public:
    // Starts the webhook receiver keeping its posts in dir, on port (0: any).
    Receiver(const std::filesystem::path& dir, int port) : dir_(dir) {
        process_.start("python3", {QStringLiteral(VELK_SOURCE_DIR "/tests/support/webhook_receiver.py"),
                                   QString::fromStdString(dir.string()), QString::number(port)});
        EXPECT_TRUE(process_.waitForReadyRead(10000));
        port_ = process_.readLine().trimmed().toInt();
    }
    ~Receiver() {
        process_.kill();
        process_.waitForFinished();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hook?token=secret"; }
    std::string Post(int n) const { return test::ReadFile(dir_ / ("post-" + std::to_string(n))); }

private:
    std::filesystem::path dir_;
    QProcess process_;
    int port_ = 0;
};

class AlertDeliveryTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    std::atomic<bool> stop_{false};
};

TEST_F(AlertDeliveryTest, CommandGetsKindStateAndTextAsArgumentsAndInItsEnvironment) {
    const auto script = dir_ / "alert.sh";
    const auto out = dir_ / "out";
    Script(script, "printf '%s|' \"$#\" \"$1\" \"$2\" \"$3\" \"$VELK_ALARM_KIND\" \"$VELK_ALARM_STATE\" "
                   "\"$VELK_ALARM_TEXT\" \"$VELK_SITE\" \"$VELK_ALARM_SINCE\" > " +
                       out.string() + "\n");
    CommandChannel command(script.string(), kOrigin, 5, stop_);
    EXPECT_EQ(command.Deliver(SampleAlert()), "");
    const std::string text = SampleAlert().text;
    EXPECT_EQ(test::ReadFile(out), "3|link-down|start|" + text + "|link-down|start|" + text +
                                       "|Main site|2026-12-09 04:05:06|");
}

TEST_F(AlertDeliveryTest, CommandThatFailsHangsOrIsMissingIsNamed) {
    const auto failing = dir_ / "failing.sh";
    Script(failing, "exit 3\n");
    EXPECT_EQ(CommandChannel(failing.string(), kOrigin, 5, stop_).Deliver(SampleAlert()),
              failing.string() + " ended with exit status 3");
    // A command that never ends is killed with what it started when the time is up.
    const auto hanging = dir_ / "hanging.sh";
    const auto child = dir_ / "child";
    Script(hanging, "sleep 30 & echo $! > " + child.string() + "\nwait\n");
    EXPECT_EQ(CommandChannel(hanging.string(), kOrigin, 1, stop_).Deliver(SampleAlert()),
              hanging.string() + ": no answer within 1 s");
    const pid_t sleeper = std::stoi(test::ReadFile(child));
    QElapsedTimer t;
    t.start();
    while (::kill(sleeper, 0) == 0 && t.elapsed() < 5000)
        ::usleep(10000);
    EXPECT_NE(::kill(sleeper, 0), 0) << "the command's child outlived it";
    EXPECT_EQ(CommandChannel((dir_ / "none").string(), kOrigin, 5, stop_).Deliver(SampleAlert()),
              "cannot run " + (dir_ / "none").string() + ": No such file or directory");
}

TEST_F(AlertDeliveryTest, MailGoesToSendmailWithTheMessageOnItsInput) {
    const auto sendmail = dir_ / "sendmail";
    Script(sendmail, "echo \"$@\" > " + (dir_ / "args").string() + "\ncat > " +
                         (dir_ / "mail").string() + "\n");
    MailChannel mail(sendmail.string(), "ops@example.com", "velk@example.com", kOrigin, 5, stop_);
    EXPECT_EQ(mail.Deliver(SampleAlert()), "");
    EXPECT_EQ(test::ReadFile(dir_ / "args"), "-t -oi\n");
    EXPECT_EQ(test::ReadFile(dir_ / "mail"),
              AlertMail(SampleAlert(), kOrigin, "ops@example.com", "velk@example.com"));
    // A mail transfer agent that refuses the message.
    Script(sendmail, "cat > /dev/null\nexit 75\n");
    EXPECT_EQ(mail.Deliver(SampleAlert()), sendmail.string() + " ended with exit status 75");
}

TEST_F(AlertDeliveryTest, WebhookPostsTheJsonAndNamesARefusal) {
    Receiver receiver(dir_.Path(), 0);
    WebhookChannel hook(receiver.Url(), kOrigin, 5, stop_);
    EXPECT_EQ(hook.Deliver(SampleAlert()), "");
    EXPECT_EQ(receiver.Post(0), "application/json\n" + AlertJson(SampleAlert(), kOrigin));
    std::ofstream(dir_ / "status") << "500";
    EXPECT_EQ(hook.Deliver(SampleAlert()), "the server answered HTTP 500");
    EXPECT_EQ(WebhookChannel("ftp://127.0.0.1/x", kOrigin, 5, stop_).Deliver(SampleAlert()),
              "the webhook is no http:// or https:// URL");
}

// A receiver that is down: the failure is logged with its reason (never the URL's token), the
// alert is tried again, and once the receiver is up it gets the alert and the log says so.
TEST_F(AlertDeliveryTest, AReceiverThatIsDownIsLoggedAndTriedAgain) {
    const int port = FreePort();
    AppSettings settings;
    settings.Alerts_Webhook = "http://127.0.0.1:" + std::to_string(port) + "/hook?token=secret";
    settings.Alerts_Timeout = 5;
    AlertOutbox::Options options;
    options.firstRetrySeconds = 1;
    options.mostRetrySeconds = 1;
    std::vector<std::string> log;
    AlertSender sender(settings, kOrigin, [&log](const std::vector<AlertNote>& notes) {
        for (const AlertNote& n : notes)
            log.push_back(n.event + ": " + n.detail);
    }, options);
    ASSERT_TRUE(sender.Running());
    sender.Submit(SampleAlert());
    QElapsedTimer t;
    t.start();
    while (log.empty() && t.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("Alert not sent: webhook: start of link-down: ", 0), 0u) << log[0];
    EXPECT_NE(log[0].find("Connection refused"), std::string::npos) << log[0];
    EXPECT_EQ(log[0].find("secret"), std::string::npos) << log[0];
    EXPECT_NE(log[0].find("; tried again in 1 s"), std::string::npos) << log[0];

    Receiver receiver(dir_.Path(), port);
    while (log.size() < 2 && t.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].rfind("Alert sent: webhook delivers again after ", 0), 0u) << log[1];
    EXPECT_EQ(receiver.Post(0), "application/json\n" + AlertJson(SampleAlert(), kOrigin));
    sender.Stop();
}

// A stop never waits for a receiver that takes the connection and never answers.
TEST_F(AlertDeliveryTest, AStopAbandonsADeliveryUnderWay) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);  // never accepted, never answered
    socklen_t n = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
    EXPECT_EQ(WebhookChannel(url, kOrigin, 1, stop_).Deliver(SampleAlert()),
              "no answer within 1 s");
    AppSettings settings;
    settings.Alerts_Webhook = url;
    settings.Alerts_Timeout = 600;
    std::vector<std::string> log;
    auto sender = std::make_unique<AlertSender>(
        settings, kOrigin, [&log](const std::vector<AlertNote>&) { log.push_back("note"); });
    sender->Submit(SampleAlert());
    ::usleep(300000);  // the delivery is under way
    QElapsedTimer t;
    t.start();
    sender.reset();
    EXPECT_LT(t.elapsed(), 5000);
    ::close(listener);
}

}  // namespace
}  // namespace velk
