// The base directory on a small file system that fills up while records arrive (a tmpfs in a
// mount namespace of the test's own; tests/support/in_mountns.sh runs this program there): no
// record the PBX or the billing server counts as delivered is lost or stored twice, no record is
// cut short, one alarm says so, and collection goes on by itself once there is space again. An
// import into it stops with an error, and a run after space returned completes every file.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "core/decode/record_builder.h"
#include "link_settings.h"
#include "support/expected_files.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

const QString kBin = QStringLiteral(VELK_BIN_DIR);

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class FullDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("VELK_TEST_MOUNTNS") == nullptr)
            GTEST_SKIP() << "runs in a mount namespace of its own (tests/support/in_mountns.sh)";
        base_ = dir_ / "base";
        std::filesystem::create_directory(base_);
        ASSERT_EQ(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=2m", "velk-full",
                                              QString::fromStdString(base_.string())}),
                  0);
        mounted_ = true;
    }
    void TearDown() override {
        if (collector_ != nullptr && collector_->state() != QProcess::NotRunning) {
            collector_->kill();
            collector_->waitForFinished();
        }
        if (sender_.state() != QProcess::NotRunning) {
            sender_.kill();
            sender_.waitForFinished();
        }
        if (mounted_)
            QProcess::execute("umount", {QString::fromStdString(base_.string())});
    }

    void WriteSettings(const QStringList& extra) {
        QStringList args = test::SimulatorLinkSettings(base_);
        args << "DoBufferDecoded=1"
             << "RequestDelayAfterNormalData=20" << extra;
        ASSERT_EQ(QProcess::execute(kBin + "/velk-settings", args), 0);
    }
    void StartSender(const QString& program, const QStringList& args) {
        sender_.setProgram(kBin + "/" + program);
        sender_.setArguments(args);
        sender_.setStandardOutputFile(QString::fromStdString((dir_ / "sender.out").string()));
        sender_.start();
        ASSERT_TRUE(sender_.waitForStarted());
    }
    void StartCollector() {
        collector_ = std::make_unique<QProcess>();
        collector_->setProgram(kBin + "/velk-collector");
        collector_->setWorkingDirectory(QString::fromStdString(base_.string()));
        collector_->setStandardOutputFile(QString::fromStdString((dir_ / "collector.out").string()));
        collector_->setStandardErrorFile(QString::fromStdString((dir_ / "collector.err").string()));
        collector_->start();
        ASSERT_TRUE(collector_->waitForStarted());
    }
    void StopCollector() {
        ::kill(static_cast<pid_t>(collector_->processId()), SIGTERM);
        ASSERT_TRUE(collector_->waitForFinished(20000));
    }
    static bool WaitFor(const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > ms)
                return false;
            QThread::msleep(20);
        }
        return true;
    }
    int Delivered() const {
        return static_cast<int>(Occurrences(test::ReadFile(dir_ / "sender.out"), "delivered "));
    }

    // Fills the file system to its last byte; false when it would not fill.
    bool Fill() {
        std::FILE* f = std::fopen((base_ / "filler").c_str(), "wb");
        if (f == nullptr)
            return false;
        std::setvbuf(f, nullptr, _IONBF, 0);
        const std::string chunk(4096, 'x');
        while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size()) {
        }
        while (std::fputc('x', f) != EOF) {
        }
        std::fclose(f);
        return true;
    }
    void Free() { std::filesystem::remove(base_ / "filler"); }

    // Every record file: raw and decoded in Bill and Bill_Backup (with their header), and the
    // buffer pairs, as the sender's report says they must be.
    void CheckFiles() {
        test::ExpectedFiles e;
        e.FromSimulator(test::ReadFile(dir_ / "sender.out"));
        const std::string header = "Sequence Number;Calling Phone Number;Dialled Phone Number\r\n";
        std::string raw[2], decoded[2];
        for (int i = 0; i < 2; ++i) {
            for (const auto& f : std::filesystem::directory_iterator(base_ / (i ? "Bill_Backup" : "Bill"))) {
                const std::string content = test::ReadFile(f.path());
                if (f.path().extension() == ".raw")
                    raw[i] += content;
                else if (f.path().extension() == ".csv")
                    decoded[i] += content.rfind(header, 0) == 0 ? content.substr(header.size())
                                                                : "no header: " + content;
            }
        }
        const auto buffers = [this](const std::string& ext) {
            return test::ReadFile(base_ / "Buffers" / ("buffer_out" + ext)) +
                   test::ReadFile(base_ / "Buffers" / ("buffer_in" + ext));
        };
        EXPECT_GT(e.calls, 0);
        EXPECT_TRUE(raw[0] == e.raw) << "Bill raw";
        EXPECT_TRUE(raw[1] == e.raw) << "Bill_Backup raw";
        EXPECT_TRUE(decoded[0] == e.decoded) << "Bill decoded";
        EXPECT_TRUE(decoded[1] == e.decoded) << "Bill_Backup decoded";
        EXPECT_TRUE(buffers(".raw") == e.raw) << "buffer raw";
        EXPECT_TRUE(buffers(".csv") == e.decoded) << "buffer decoded";
    }
    // One alarm while the files could not be written, and its end; no record given up.
    void CheckOneAlarm() {
        const std::string out = test::ReadFile(dir_ / "collector.out");
        EXPECT_EQ(Occurrences(out, "Not stored: the record files cannot be written (No space left "
                                   "on device)"),
                  1u)
            << out;
        EXPECT_EQ(Occurrences(out, "Not stored: over"), 1u) << out;
        EXPECT_EQ(Occurrences(out, "Not written"), 0u) << out;
        // The file system is far smaller than the free space the alarm asks for by default.
        EXPECT_EQ(Occurrences(out, "Disk space low: " + base_.string() +
                                       ": 1 MB free, the alarm is set at 200 MB"),
                  1u)
            << out;
    }

    test::TempDir dir_;
    std::filesystem::path base_;
    bool mounted_ = false;
    QProcess sender_;
    std::unique_ptr<QProcess> collector_;
};

TEST_F(FullDiskTest, TcpLinkHoldsTheRecordsWhileTheDiskIsFull) {
    WriteSettings({});
    StartSender("velk-pbx-sim", {"--port", "6014", "--rate", "40", "--traffic-every", "0",
                                 "--count", "120", "--exit-when-done"});
    StartCollector();
    ASSERT_TRUE(WaitFor([this] { return Delivered() >= 30; }, 20000));
    ASSERT_TRUE(Fill());
    // Full for 3 s: at 40 a second, a collector that went on would take 120 records meanwhile.
    QThread::msleep(3000);
    const int whileFull = Delivered();
    Free();
    EXPECT_TRUE(sender_.waitForFinished(30000)) << "the PBX's records were not all taken";
    EXPECT_LT(whileFull, 110);
    StopCollector();
    CheckFiles();
    CheckOneAlarm();
}

TEST_F(FullDiskTest, DiskBufferRecordsStayInTheQueueWhileTheDiskIsFull) {
    const auto buffer = dir_ / "buffer";
    std::filesystem::create_directory(buffer);
    WriteSettings({"HD_Used=1", QString::fromStdString("APP_HD_Buffer_Directory=" + buffer.string())});
    StartSender("velk-billing-sim", {"--dir", QString::fromStdString(buffer.string()), "--count",
                                     "120", "--rate", "40", "--seed", "35"});
    StartCollector();
    const auto drained = [&buffer] {
        const std::string q = test::ReadFile(buffer / "PC_pmstx.dq");
        return q.size() >= 8 && q.compare(0, 4, q, 4, 4) == 0;
    };
    ASSERT_TRUE(WaitFor([this] { return Delivered() >= 30; }, 20000));
    ASSERT_TRUE(Fill());
    QThread::msleep(3000);
    Free();
    EXPECT_TRUE(sender_.waitForFinished(30000));
    EXPECT_TRUE(WaitFor(drained, 30000)) << "the queue was not emptied";
    StopCollector();
    CheckFiles();
    CheckOneAlarm();
}

// velk-import into the small file system: it stops with an error where its files refuse a record,
// leaves no record cut short, and a run after space returned completes every file.
TEST_F(FullDiskTest, ImportStopsWithAnErrorAndARunAfterCompletesEveryFile) {
    std::string file;
    for (unsigned i = 0; i < 1200; ++i) {
        test::RecordBuilder r;
        char seq[8];
        std::snprintf(seq, sizeof seq, "%04X", i);
        r.sequence = seq;
        file += "\x02" + test::ExpectedFiles::Body(r.Text()) + "\r\n";
    }
    test::WriteFile(dir_ / "in.raw", file);
    const auto import = [this](const std::filesystem::path& where) {
        QProcess p;
        p.setWorkingDirectory(QString::fromStdString(where.string()));
        p.setStandardOutputFile(QString::fromStdString((dir_ / "import.out").string()));
        p.setStandardErrorFile(QString::fromStdString((dir_ / "import.err").string()));
        p.start(kBin + "/velk-import", {QString::fromStdString((dir_ / "in.raw").string())});
        EXPECT_TRUE(p.waitForFinished(60000));
        return p.exitCode();
    };
    const auto reference = dir_ / "reference";
    std::filesystem::create_directory(reference);
    const auto settings = [](const std::filesystem::path& where) {
        QStringList args = test::SimulatorLinkSettings(where);
        args << "DoBufferDecoded=1";
        ASSERT_EQ(QProcess::execute(kBin + "/velk-settings", args), 0);
    };
    settings(reference);
    settings(base_);
    ASSERT_EQ(import(reference), 0) << test::ReadFile(dir_ / "import.err");
    const auto files = [](const std::filesystem::path& where) {
        std::map<std::string, std::string> all;
        for (const char* d : {"Bill", "Bill_Backup", "Buffers"}) {
            for (const auto& f : std::filesystem::directory_iterator(where / d)) {
                if (f.is_regular_file())
                    all[std::string(d) + "/" + f.path().filename().string()] =
                        test::ReadFile(f.path());
            }
        }
        // A pick-up program sees a buffer pair as its out-file and in-file together.
        for (const char* ext : {".raw", ".csv"}) {
            all[std::string("buffers") + ext] = all["Buffers/buffer_out" + std::string(ext)] +
                                                all["Buffers/buffer_in" + std::string(ext)];
            all.erase("Buffers/buffer_out" + std::string(ext));
            all.erase("Buffers/buffer_in" + std::string(ext));
        }
        return all;
    };
    const auto expected = files(reference);

    // Room for a part of the records only.
    ASSERT_TRUE(Fill());
    std::filesystem::resize_file(base_ / "filler",
                                 std::filesystem::file_size(base_ / "filler") - 150 * 1024);
    EXPECT_EQ(import(base_), 1);
    const std::string err = test::ReadFile(dir_ / "import.err");
    EXPECT_NE(err.find("the record files could not be written (No space left on device); the "
                       "import stopped"),
              std::string::npos)
        << err;
    // The batch the disk refused was taken back out of every file: the summary counts as stored
    // only what the files hold (a record handed over to the buffer's pick-up first, as the
    // out-file was missing, went to the files on its own).
    const std::string out = test::ReadFile(dir_ / "import.out");
    EXPECT_NE(out.find("Import Stopped. 1200 messages read"), std::string::npos) << out;
    const size_t counted = out.find("): ");
    unsigned stored = 9999;
    ASSERT_NE(counted, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + counted, "): %u call records stored", &stored), 1) << out;
    EXPECT_LT(stored, 1200u);
    EXPECT_NE(out.find(std::to_string(1200 - stored) +
                       " call records could not be written to any file"),
              std::string::npos)
        << out;
    size_t billed = 0;
    for (const auto& f : std::filesystem::directory_iterator(base_ / "Bill")) {
        if (f.path().extension() == ".raw") {
            const std::string raw = test::ReadFile(f.path());
            billed += static_cast<size_t>(std::count(raw.begin(), raw.end(), '\n'));
        }
    }
    EXPECT_EQ(billed, stored);
    // What is there is whole records, each once, in the order of the file.
    for (const auto& [name, content] : files(base_)) {
        const std::string& whole = expected.at(name);
        EXPECT_EQ(whole.compare(0, content.size(), content), 0) << name;
        EXPECT_TRUE(content.empty() || content.back() == '\n') << name;
    }
    Free();
    EXPECT_EQ(import(base_), 0) << test::ReadFile(dir_ / "import.err");
    const auto have = files(base_);
    EXPECT_EQ(have.size(), expected.size());
    for (const auto& [name, content] : expected) {
        const auto it = have.find(name);
        EXPECT_TRUE(it != have.end() && it->second == content)
            << name << ": " << (it == have.end() ? 0 : it->second.size()) << " bytes, "
            << content.size() << " expected";
    }
}

}  // namespace
}  // namespace velk
