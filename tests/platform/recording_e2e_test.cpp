// The whole road of a call record: velk-pbx-sim -> TCP -> link protocol -> record pipeline ->
// files in a temporary base directory, compared byte for byte with what this test computes from
// the messages the simulator reports as delivered.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>

#include "core/link/link_fakes.h"
#include "core/app/collector.h"
#include "core/app/startup.h"
#include "platform/posix_file_store.h"
#include "platform/qt_timer_host.h"
#include "platform/tcp_channel.h"
#include "support/expected_files.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

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

    test::ExpectedFiles expected;
    expected.FromSimulator(sim.readAllStandardOutput().toStdString());
    const int calls = expected.calls;
    const std::string& raw = expected.raw;
    const std::string decoded =
        "Sequence Number;Calling Phone Number;Dialled Phone Number\r\n" + expected.decoded;
    const auto& traffic = expected.traffic;
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
        EXPECT_EQ(test::ReadFile(dir / "Trf" / name), content);
        EXPECT_EQ(content.size() % 274, 0u);
    }
    EXPECT_EQ(collector.Counters().Total(EV_DUPLICATE), 4);
    EXPECT_EQ(collector.Counters().Total(EV_BAD_BCC), 4);
    EXPECT_TRUE(prompt.shown.empty());
}

}  // namespace
}  // namespace velk
