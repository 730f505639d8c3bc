// The window's raw file import: the menu, the file dialog and the question, the import on its own
// thread with its progress window, the files it rebuilds, cancelling and what it refuses.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "core/analysis/raw_import.h"
#include "core/decode/record_builder.h"
#include "core/record/call_recorder.h"
#include "core/record/fake_file_store.h"
#include "support/collector_fixture.h"
#include "support/qt_app.h"
#include "ui/main_window.h"

namespace velk {
namespace {

using test::RecordBuilder;

class ImportWindowTest : public ::testing::Test, protected test::CollectorFixture {
protected:
    ImportWindowTest() : window_(*collector, store, prompt, ShutdownTiming{0, 0, 0}) {
        MakeSaveDir(OutputDirectories::Under(dir.Path()));
        settings.SaveToFile = 1;
        settings.MakeHeader = 1;
        settings.RawSave = 1;
        settings.RawSaveDaily = 1;
        for (size_t k = 0; k < 50; ++k) {
            settings.f[k] = 1;
            settings.SaveInd[k] = static_cast<int32_t>(k);
        }
        window_.show();
    }

    static std::vector<std::string> Frames(int n) {
        std::vector<std::string> frames;
        for (int i = 0; i < n; ++i) {
            RecordBuilder r;
            char seq[16];
            std::snprintf(seq, sizeof seq, "%04X", static_cast<unsigned>(i) & 0xFFFFu);
            r.sequence = seq;
            r.optional = RecordBuilder::Opt("03", i % 2 ? "03" : "0B") + "FF";
            frames.push_back(r.Frame());
        }
        return frames;
    }
    // The raw file and the decoded file the recorders write live for these frames.
    std::pair<std::string, std::string> Live(const std::vector<std::string>& frames) {
        test::FakeFileStore memory;
        CallRecorder recorder(settings, memory, OutputDirectories::Under("/live"));
        for (const auto& f : frames) {
            recorder.SaveCall_All(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                                 static_cast<uint32_t>(f.size() - 4)));
        }
        return {memory.Content("/live/Bill/20261208.raw"),
                memory.Content("/live/Bill/20261208.csv")};
    }
    std::string SavedFile(const std::string& content) {
        const auto path = dir / ("saved" + std::to_string(++saved_) + ".raw");
        test::WriteFile(path, content);
        return path.string();
    }
    void WaitWhileImporting(int ms = 30000) {
        QElapsedTimer t;
        t.start();
        while (window_.Importing() && t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the closed window
    }

    test::QtApp app_;
    CVELKDlg window_;
    int saved_ = 0;
};

TEST_F(ImportWindowTest, EveryRawProfileRebuildsTheDecodedFiles) {
    struct Profile {
        int stx, etx, eot, cr, lf;
    };
    const std::vector<std::string> frames = Frames(40);
    int round = 0;
    for (const Profile& p :
         {Profile{1, 0, 0, 1, 1}, Profile{0, 0, 0, 1, 1}, Profile{1, 1, 1, 0, 0}}) {
        settings.APP_STX = p.stx, settings.APP_ETX = p.etx, settings.APP_EOT = p.eot;
        settings.APP_CR = p.cr, settings.APP_LF = p.lf;
        const auto [raw, decoded] = Live(frames);
        for (const char* d : {"Bill", "Bill_Backup"})
            std::filesystem::remove_all(dir / d), std::filesystem::create_directory(dir / d);
        prompt.files.push_back(SavedFile(raw));
        prompt.answers.push_back(false);  // made by VELK
        window_.Action(kCmdImport)->trigger();
        ASSERT_TRUE(window_.Importing()) << round;
        EXPECT_EQ(window_.ImportStatus(), "Import started.");
        EXPECT_FALSE(window_.Action(kCmdImport)->isEnabled());
        EXPECT_FALSE(window_.Action(kCmdConnect)->isEnabled());
        ASSERT_NE(window_.ImportProgressWindow(), nullptr);
        EXPECT_EQ(window_.ImportProgressWindow()->windowTitle(), "VELK Import Progress");
        WaitWhileImporting();
        EXPECT_EQ(window_.ImportStatus(), "Import completed.") << round;
        EXPECT_EQ(test::ReadFile(dir / "Bill" / "20261208.csv"), decoded) << round;
        EXPECT_EQ(test::ReadFile(dir / "Bill_Backup" / "20261208.csv"), decoded) << round;
        EXPECT_EQ(test::ReadFile(dir / "Bill" / "20261208.raw"), raw) << round;
        EXPECT_EQ(window_.ImportProgressWindow(), nullptr);  // closed with the end
        EXPECT_TRUE(window_.Action(kCmdImport)->isEnabled());
        EXPECT_FALSE(collector->Pipeline().ImportRunning());
        ++round;
    }
    EXPECT_EQ(prompt.filters, std::vector<std::string>(3, kImportFilter));
    ASSERT_FALSE(prompt.shown.empty());
    EXPECT_EQ(prompt.shown[0].text, "Is the file made not by VELK\n and CS1000 Ver 3.60 or upper?");
    EXPECT_TRUE(prompt.shown[0].question);
    EXPECT_EQ(collector->Counters().Total(EV_NORMAL_DATA), 120);
    // The last-calls list shows the newest imported record in its last row.
    EXPECT_EQ(window_.LastCallsList()->model()->index(29, 1).data().toString(), "0039");
}

// Cancel stops after the current message: what was imported stays, every line whole.
TEST_F(ImportWindowTest, CancelKeepsWhatWasImported) {
    prompt.files.push_back(SavedFile(Live(Frames(3000)).first));
    window_.Action(kCmdImport)->trigger();
    ASSERT_TRUE(window_.Importing());
    QElapsedTimer t;
    t.start();
    while (collector->Counters().Total(EV_NORMAL_DATA) < 30 && t.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // While it runs: Exit is refused, and so is Connect.
    window_.OnExit();
    EXPECT_EQ(prompt.Texts().back(),
              "Import is started!\nIf you want exit, Cancel Import at firts.");
    window_.OnConnect();
    EXPECT_EQ(prompt.Texts().back(), kConnectWhileImporting);
    EXPECT_EQ(channel.opens, 0);
    auto* progress = window_.ImportProgressWindow();
    ASSERT_NE(progress, nullptr);
    progress->close();  // the close box does nothing
    EXPECT_TRUE(progress->isVisible());
    progress->findChild<QPushButton*>("cancelImportButton")->click();
    WaitWhileImporting();
    EXPECT_EQ(window_.ImportStatus(), "Import Stopped.");
    const int imported = collector->Counters().Total(EV_NORMAL_DATA);
    EXPECT_GE(imported, 30);
    EXPECT_LT(imported, 3000);
    const std::string csv = test::ReadFile(dir / "Bill" / "20261208.csv");
    size_t lines = 0;
    for (char c : csv)
        lines += c == '\n';
    EXPECT_EQ(lines, static_cast<size_t>(imported) + 1);  // the header, then one whole line each
    EXPECT_EQ(csv.back(), '\n');
}

TEST_F(ImportWindowTest, FilesThatCannotBeImported) {
    prompt.files.push_back((dir / "missing.raw").string());
    window_.OnImport();
    EXPECT_EQ(prompt.Texts().back(), "Selected file can not be open!");
    prompt.files.push_back(SavedFile("012345678"));  // 9 bytes
    window_.OnImport();
    EXPECT_EQ(prompt.Texts().back(), "Selected file has a mistake!\nToo small file size!");
    EXPECT_EQ(window_.ImportStatus(), "");  // never started
    // Length digits no message can have: the characters are skipped, and the operator told.
    prompt.files.push_back(SavedFile("000" + std::string(1200, '4')));
    window_.OnImport();
    WaitWhileImporting();
    EXPECT_EQ(prompt.Texts().back(),
              "Selected file has a mistake!\n1203 bytes were skipped where no message passed its "
              "check, from offset 0.");
    EXPECT_EQ(window_.ImportStatus(), "Import completed.");
    window_.OnImport();  // the file dialog cancelled: nothing happens
    EXPECT_EQ(window_.ImportStatus(), "Import completed.");
    EXPECT_FALSE(window_.Importing());
}

// The times move on their own every 200 ms, also while the percentage stands still.
TEST_F(ImportWindowTest, ProgressWindowShowsCountsAndEstimates) {
    ImportProgress progress(clock);
    clock.seconds += 30;
    progress.SetPercent(25);
    progress.SetImported(50);
    const auto text = [&progress](const char* name) {
        return progress.findChild<QLabel*>(name)->text();
    };
    EXPECT_EQ(text("elapsedLabel"), "Elapsed Time     : 0:00:00:30");
    EXPECT_EQ(text("estimatedLabel"), "Estimated Time : 0:00:01:30");
    EXPECT_EQ(text("importedLabel"), "Imported Messages Number : 50 ");
    EXPECT_EQ(text("estimatedTotalLabel"), "Estimated Total Imported Messages Number : 200 ");
    EXPECT_EQ(progress.findChild<QProgressBar*>("importPercent")->value(), 25);

    EXPECT_EQ(progress.findChild<QTimer*>("importTick")->interval(), 200);
    clock.seconds += 35;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return text("elapsedLabel") == "Elapsed Time     : 0:00:01:05"; }, 2000));
    EXPECT_EQ(text("estimatedLabel"), "Estimated Time : 0:00:03:15");
}

// A file imported a second time: the operator is asked, and No leaves every stored record out.
// Yes stores them again.
TEST_F(ImportWindowTest, AFileImportedAgainIsStoredOnlyWhenWanted) {
    const auto [raw, decoded] = Live(Frames(30));
    const std::string saved = SavedFile(raw);
    for (int i = 0; i < 3; ++i) {
        prompt.files.push_back(saved);
        prompt.answers.push_back(false);  // made by VELK
        if (i > 0)
            prompt.answers.push_back(i == 2);  // No, then Yes: import them again
        window_.OnImport();
        WaitWhileImporting();
        EXPECT_EQ(window_.ImportStatus(), "Import completed.");
    }
    std::vector<std::string> questions;
    for (const auto& shown : prompt.shown) {
        if (shown.question)
            questions.push_back(shown.text);
    }
    ASSERT_EQ(questions.size(), 5u);
    EXPECT_EQ(questions[2], "30 of 30 records are already stored. Import them again?");
    EXPECT_EQ(prompt.shown[2].icon, PromptIcon::Exclamation);
    const std::string header = decoded.substr(0, decoded.find("\r\n") + 2);
    EXPECT_EQ(test::ReadFile(dir / "Bill" / "20261208.csv"),
              decoded + decoded.substr(header.size()));
    EXPECT_EQ(test::ReadFile(dir / "Bill_Backup" / "20261208.raw"), raw + raw);
    EXPECT_EQ(collector->Counters().Total(EV_NORMAL_DATA), 60);  // left out, not counted
}

// A stray byte costs no record when an STX follows it; the operator is told what was skipped.
TEST_F(ImportWindowTest, AStrayByteIsSkippedAndTold) {
    const auto [raw, decoded] = Live(Frames(30));
    const size_t line = raw.size() / 30;
    prompt.files.push_back(SavedFile(raw.substr(0, 10 * line) + "~" + raw.substr(10 * line)));
    window_.OnImport();
    WaitWhileImporting();
    EXPECT_EQ(window_.ImportStatus(), "Import completed.");
    EXPECT_EQ(test::ReadFile(dir / "Bill" / "20261208.csv"), decoded);
    EXPECT_EQ(prompt.Texts().back(),
              "Selected file has a mistake!\n1 byte was skipped where no message passed its "
              "check, from offset " +
                  std::to_string(10 * line) + ".");
}

// A pipe is refused at once (opening it would wait for a writer), and so are the files the
// recorders append to.
TEST_F(ImportWindowTest, PipesAndTheRecordFilesAreRefused) {
    ASSERT_EQ(::mkfifo((dir / "pipe.raw").c_str(), 0600), 0);
    // Should the window wait for a writer after all, one comes after 10 s: the test then fails
    // instead of hanging.
    std::promise<void> done;
    std::atomic<bool> neededWriter{false};
    std::thread writer([path = dir / "pipe.raw", finished = done.get_future(), &neededWriter] {
        if (finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
            return;
        neededWriter = true;
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    });
    prompt.files.push_back((dir / "pipe.raw").string());
    window_.OnImport();
    EXPECT_FALSE(neededWriter);
    EXPECT_EQ(prompt.Texts().back(), "Selected file can not be open!");
    EXPECT_FALSE(window_.Importing());

    test::WriteFile(dir / "Bill" / "20261207.raw", Live(Frames(3)).first);
    prompt.files.push_back((dir / "Bill" / "20261207.raw").string());
    window_.OnImport();
    EXPECT_EQ(prompt.Texts().back(),
              "Selected file is one VELK stores its records in!\nCopy it to another folder and "
              "import the copy.");
    EXPECT_FALSE(window_.Importing());
    done.set_value();
    writer.join();
}

}  // namespace
}  // namespace velk
