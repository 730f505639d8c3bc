// The whole road of a call record: velk-pbx-sim -> TCP -> link protocol -> record pipeline ->
// files in a temporary base directory, compared byte for byte with what this test computes from
// the messages the simulator reports as delivered.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>

#include "core/app/collector.h"
#include "core/app/startup.h"
#include "platform/posix_file_store.h"
#include "platform/qt_timer_host.h"
#include "platform/tcp_channel.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "../core/link/link_fakes.h"

namespace velk {
namespace {

class Redirect : public LinkChannel {
public:
    Redirect(MyCSocket& s, quint16 port) : s_(s), port_(port) {}
    bool Create() override { return s_.Create(); }
    bool Open(const std::string& where, int32_t) override { return s_.Open(where, port_); }
    bool Write(uint8_t b) override { return s_.Write(b); }
    void Close() override { s_.Close(); }
    void ResetRecord() override { s_.ResetRecord(); }

private:
    MyCSocket& s_;
    quint16 port_;
};

std::string Frame(const std::string& text) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03X", static_cast<unsigned>(text.size() + 3));
    std::string f = digits + text;
    unsigned bcc = 0;
    for (char c : f)
        bcc ^= static_cast<unsigned char>(c);
    std::snprintf(digits, sizeof digits, "%02X", bcc);
    return f + digits;  // the message body: length digits, text, BCC
}

// Sequence number (hex at text offset 4), calling and dialled digits, as the decoded file
// shows them.
std::string DecodedLine(const std::string& text) {
    const auto dial = [](const std::string& s) {
        std::string out;
        for (char c : s) {
            if (c >= '0' && c <= '9')
                out += c;
            else if (c == 'A')
                out += '0';
            else if (c == 'B')
                out += '*';
            else if (c == 'C')
                out += '#';
            else if (c == 'D' || c == 'E')
                out += c;
            else
                break;
        }
        return out;
    };
    char seq[16];
    std::snprintf(seq, sizeof seq, "%04lu", std::stoul(text.substr(4, 4), nullptr, 16));
    return std::string(seq) + ";" + dial(text.substr(14, 8)) + ";" + dial(text.substr(54, 24)) +
           "\r\n";
}

unsigned Pair(const std::string& t, size_t p) {
    return std::stoul(t.substr(p, 2), nullptr, 16);
}

TEST(RecordingEndToEnd, SimulatorToFilesByteForByte) {
    test::TempDir dir;
    AppSettings settings;
    settings.IP_Used = 1;
    settings.RequestDelayAfterNormalData = 50;
    settings.RawSave = 1;
    settings.RawSaveDaily = 1;
    settings.SaveToFile = 1;
    settings.MakeHeader = 1;
    settings.DoBufferPacked = 1;
    settings.DoBufferDecoded = 1;
    settings.f.fill(0);
    settings.f[0] = settings.f[1] = settings.f[2] = 1;
    settings.SaveInd[0] = 0;
    settings.SaveInd[1] = 3;
    settings.SaveInd[2] = 6;
    MakeSaveDir(OutputDirectories::Under(dir.Path()));
    // Bill cannot hold files: the backup directory and the buffers must still get every record.
    std::filesystem::remove(dir / "Bill");
    test::WriteFile(dir / "Bill", "not a directory");

    test::ScriptedPrompt prompt;
    SystemClock clock;
    LastCallsRing ring;
    PosixFileStore files;
    Collector* c = nullptr;
    QtTimerHost timers([&c](int id) { c->OnTimer(id); });
    Collector collector(settings, dir.Path(), prompt, clock, timers, ring, files);
    c = &collector;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    MyCSocket socket(collector.Protocol(), collector.LinkEvents(), settings,
                     [&collector] { collector.OnPeerClosed(); });
    Redirect channel(socket, port);
    collector.SetChannels(&channel, nullptr);
    collector.Start();

    QProcess sim;
    sim.setProgram(QStringLiteral(VELK_PBX_SIM));
    sim.setArguments({"--port", QString::number(port), "--count", "24", "--rate", "0",
                      "--traffic-every", "8", "--bad-bcc-every", "5", "--split",
                      "--duplicate-every", "6", "--seed", "11", "--exit-when-done"});
    sim.start();
    ASSERT_TRUE(sim.waitForStarted());
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    ASSERT_TRUE(collector.Connection().Connect());
    QElapsedTimer t;
    t.start();
    while (sim.state() != QProcess::NotRunning && t.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    ASSERT_EQ(sim.state(), QProcess::NotRunning) << "the simulator did not finish";
    const QStringList lines = QString::fromLatin1(sim.readAllStandardOutput()).split('\n');

    std::string raw, decoded = "Sequence Number;Calling Phone Number;Dialled Phone Number\r\n";
    std::map<std::string, std::string> traffic;
    std::string report;
    int calls = 0;
    for (const QString& line : lines) {
        if (!line.startsWith(QStringLiteral("delivered ")))
            continue;
        const QStringList words = line.split(' ');
        if (words[2] == QStringLiteral("duplicate"))
            continue;  // the collector drops it
        const std::string text = words[2].toStdString();
        if (text.rfind("52", 0) == 0) {
            raw += "\x02" + Frame(text) + "\r\n";
            decoded += DecodedLine(text);
            ++calls;
        } else {
            const unsigned part = Pair(text, 20);
            if (part == 0) {
                char stamp[32];
                std::snprintf(stamp, sizeof stamp, "20%02u-%02u-%02u %02u:%02u:%02u;",
                              Pair(text, 8), Pair(text, 10), Pair(text, 12), Pair(text, 14),
                              Pair(text, 16), Pair(text, 18));
                report = stamp;
            }
            report += text.substr(22, part == 3 ? 30 : 74);
            if (part == 3) {
                traffic["20" + report.substr(2, 2) + report.substr(5, 2) + report.substr(8, 2)] +=
                    report + "\r\n";
            }
        }
    }
    ASSERT_EQ(calls, 24);
    EXPECT_EQ(test::ReadFile(dir / "Bill_Backup" / "20261208.raw"), raw);
    EXPECT_EQ(test::ReadFile(dir / "Bill_Backup" / "20261208.csv"), decoded);
    // The first record was handed off at once; the rest collected in the in-file.
    EXPECT_EQ(test::ReadFile(dir / "Buffers" / "buffer_out.raw") +
                  test::ReadFile(dir / "Buffers" / "buffer_in.raw"),
              raw);
    EXPECT_EQ(test::ReadFile(dir / "Buffers" / "buffer_out.csv") +
                  test::ReadFile(dir / "Buffers" / "buffer_in.csv"),
              decoded.substr(decoded.find("\r\n") + 2));
    ASSERT_EQ(traffic.size(), 1u);
    for (const auto& [name, content] : traffic) {
        EXPECT_EQ(test::ReadFile(dir / "Trf" / (name + ".trf")), content);
        EXPECT_EQ(content.size() % 274, 0u);
    }
    EXPECT_EQ(collector.Counters().Total(EV_DUPLICATE), 4);
    EXPECT_EQ(collector.Counters().Total(EV_BAD_BCC), 4);
    EXPECT_TRUE(prompt.shown.empty());
}

}  // namespace
}  // namespace velk
