// The collector's alerts as a site gets them: a PBX that leaves out sequence numbers makes the
// real velk-collector run a command and hand mail to a sendmail-compatible program for every
// alarm and its end, while its webhook receiver takes connections and never answers: the
// failure is logged and every record is still stored.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <fstream>

#include "link_settings.h"
#include "support/expected_files.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

const QString kBin = QStringLiteral(VELK_BIN_DIR);

void Script(const std::filesystem::path& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(AlertsEndToEndTest, EveryAlarmAndItsEndReachCommandAndMailWhileTheWebhookHangs) {
    test::TempDir dir;
    // The webhook's receiver: the kernel takes the connection, nobody ever answers.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    socklen_t n = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);

    const auto command = dir / "alert.sh";
    Script(command, "echo \"$1 $2 $VELK_ALARM_TEXT\" >> " + (dir / "commands").string() + "\n");
    const auto sendmail = dir / "sendmail";
    Script(sendmail, "grep '^Subject:' >> " + (dir / "mails").string() + "\n");
    QStringList settings = test::SimulatorLinkSettings(dir.Path());
    settings << "AutoReConnection=1"
             << QString::fromStdString("Alerts/Command=" + command.string())
             << "Alerts/MailTo=ops@example.com"
             << QString::fromStdString("Alerts/Sendmail=" + sendmail.string())
             << QString::fromStdString("Alerts/Webhook=http://127.0.0.1:" +
                                       std::to_string(ntohs(a.sin_port)) + "/hook?token=secret")
             << "Alerts/HoldBackMinutes=0" << "Alerts/Timeout=5";
    ASSERT_EQ(QProcess::execute(kBin + "/velk-settings", settings), 0);

    QProcess sim;
    sim.setProgram(kBin + "/velk-pbx-sim");
    sim.setArguments({"--port", "6014", "--rate", "0", "--count", "25", "--skip-every", "4",
                      "--traffic-every", "0", "--seed", "3"});
    sim.start();
    ASSERT_TRUE(sim.waitForStarted());
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    std::string simOutput = sim.readAllStandardOutput().toStdString();

    QProcess collector;
    collector.setProgram(kBin + "/velk-collector");
    collector.setWorkingDirectory(QString::fromStdString(dir.Path().string()));
    collector.setStandardOutputFile(QString::fromStdString((dir / "collector.out").string()));
    collector.start();
    ASSERT_TRUE(collector.waitForStarted());

    // Every record is stored while the webhook hangs: the link never waits for an alert.
    QElapsedTimer t;
    t.start();
    test::ExpectedFiles e;
    while (t.elapsed() < 60000) {
        sim.waitForReadyRead(100);
        simOutput += sim.readAllStandardOutput().toStdString();
        e = test::ExpectedFiles();
        e.FromSimulator(simOutput);
        if (e.calls == 25 && test::ReadFile(dir / "Bill" / "20261208.raw") == e.raw)
            break;
    }
    ASSERT_EQ(e.calls, 25);
    EXPECT_EQ(test::ReadFile(dir / "Bill" / "20261208.raw"), e.raw);

    // Eight gaps, each alerted when it comes and when the next record is in sequence again (the
    // last gap is in the last record).
    while (Count(test::ReadFile(dir / "mails"), "\n") < 15 && t.elapsed() < 90000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const std::string commands = test::ReadFile(dir / "commands");
    EXPECT_EQ(Count(commands, "sequence start Sequence gap: expected "), 8u) << commands;
    EXPECT_EQ(Count(commands, "sequence over Sequence gap: expected "), 7u) << commands;
    EXPECT_NE(commands.find("sequence start Sequence gap: expected 0004, received 0005, 1 missing\n"
                            "sequence over Sequence gap: expected 0004, received 0005, 1 missing\n"),
              std::string::npos)
        << commands;
    const std::string mails = test::ReadFile(dir / "mails");
    EXPECT_EQ(Count(mails, "Subject: VELK alarm: Sequence gap: "), 8u) << mails;
    EXPECT_EQ(Count(mails, "Subject: VELK alarm over: Sequence gap: "), 7u) << mails;

    // The webhook's failure is in the log, with its reason and without the URL's token.
    while (test::ReadFile(dir / "VELK.LOG").find("webhook: start of sequence: ") ==
               std::string::npos &&
           t.elapsed() < 90000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    const std::string log = test::ReadFile(dir / "VELK.LOG");
    const size_t failure = log.find("webhook: start of sequence: ");
    ASSERT_NE(failure, std::string::npos) << log;
    EXPECT_NE(log.find("no answer", failure), std::string::npos) << log.substr(failure, 200);
    EXPECT_NE(log.find("; tried again in 30 s", failure), std::string::npos);
    EXPECT_EQ(log.find("secret"), std::string::npos);

    ::kill(static_cast<pid_t>(collector.processId()), SIGTERM);
    ASSERT_TRUE(collector.waitForFinished(20000));
    EXPECT_EQ(collector.exitCode(), 0);
    sim.kill();
    sim.waitForFinished();
    ::close(listener);
}

}  // namespace
}  // namespace velk
