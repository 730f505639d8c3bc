// Soak run (not part of CI: ctest -L soak): 10,000 records with faults through velk-collector.
// Prints records sent, stored, duplicates, losses and the collector's memory at start and end.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <fstream>

#include "support/expected_files.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

const QString kBin = QStringLiteral(VELK_BIN_DIR);

long ResidentKiB(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
    }
    return -1;
}

TEST(Soak, TenThousandRecordsWithFaults) {
    constexpr int kRecords = 10000;
    test::TempDir dir;
    ASSERT_EQ(QProcess::execute(
                  kBin + "/velk-settings",
                  {QString::fromStdString(dir.Path().string()), "Server Port index=2", "IP_Used=1",
                   "RawSave=1", "RequestDelayAfterNormalData=50", "SaveToFile=1", "f1=1", "f2=1",
                   "f3=1", "SaveInd0=0", "SaveInd1=3", "SaveInd2=6"}),
              0);
    QProcess sim;
    sim.setProgram(kBin + "/velk-pbx-sim");
    sim.setArguments({"--port", "6014", "--rate", "0", "--count", QString::number(kRecords),
                      "--traffic-every", "100", "--bad-bcc-every", "50", "--duplicate-every", "97",
                      "--silence-every", "2500", "--silence-polls", "1", "--seed", "77",
                      "--exit-when-done"});
    sim.start();
    ASSERT_TRUE(sim.waitForStarted());
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    QProcess collector;
    collector.setProgram(kBin + "/velk-collector");
    collector.setWorkingDirectory(QString::fromStdString(dir.Path().string()));
    // Its output goes to a file: a pipe nobody reads would stop it once full.
    collector.setStandardOutputFile(QString::fromStdString((dir / "collector.out").string()));
    collector.start();
    ASSERT_TRUE(collector.waitForStarted());
    QElapsedTimer t;
    t.start();
    long memoryStart = -1;
    std::string simOutput;
    while (sim.state() != QProcess::NotRunning && t.elapsed() < 3'000'000) {
        sim.waitForFinished(1000);
        simOutput += sim.readAllStandardOutput().toStdString();
        if (memoryStart < 0 && t.elapsed() > 10'000)
            memoryStart = ResidentKiB(collector.processId());
    }
    simOutput += sim.readAllStandardOutput().toStdString();
    const long memoryEnd = ResidentKiB(collector.processId());
    ::kill(static_cast<pid_t>(collector.processId()), SIGTERM);
    collector.waitForFinished(20000);

    test::ExpectedFiles e;
    e.FromSimulator(simOutput);
    const std::string raw = test::ReadFile(dir / "Bill" / "cs1000.raw");
    const long stored = static_cast<long>(std::count(raw.begin(), raw.end(), '\n'));
    std::printf(
        "soak: records sent %d, duplicates sent %d, records stored %ld, losses %ld, "
        "collector memory %ld KiB after 10 s and %ld KiB at the end, %.0f s\n",
        e.calls, e.duplicates, stored, e.calls - stored, memoryStart, memoryEnd,
        t.elapsed() / 1000.0);
    EXPECT_EQ(e.calls, kRecords);
    EXPECT_EQ(raw, e.raw);
}

}  // namespace
}  // namespace velk
