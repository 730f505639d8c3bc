// velk-import [--dir DIR] [--other-program] [--store-again] FILE...: the raw file import for
// machines without a window. In its base directory it takes the same instance lock as velk and
// velk-collector (and is refused while either runs there), reads the settings and sends every
// message of the files through the same checks, decoding, saving filter and recorders, without
// the pause per message that keeps a window responsive. Call records that stand in the record
// files already (a file imported before) are left out unless --store-again is given. On a
// terminal it shows its progress; at the end a summary per file. It exits with 1 when a file
// could not be read (or had a mistake), 2 for a wrong command line or settings that store no
// call records, 0 otherwise.
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/analysis/raw_import.h"
#include "core/archive/stored_records.h"
#include "core/app/collector.h"
#include "core/app/console_view.h"
#include "core/app/startup.h"
#include "core/foundation/command_line.h"
#include "core/record/held_appends.h"
#include "platform/file_instance_lock.h"
#include "platform/index_follower.h"
#include "platform/posix_file_store.h"
#include "platform/posix_followed_files.h"
#include "platform/raw_import_runner.h"
#include "platform/sqlite_record_index.h"

namespace {

const velk::ProgramHelp kHelp = {
    "velk-import", "[--dir DIR] [--other-program] [--store-again] FILE...",
    "The raw file import of VELK without a window. In its base directory (refused while velk\n"
    "or velk-collector runs there) it sends every message of the raw record files through the\n"
    "same checks, decoding, saving filter and recorders as live data, shows its progress on a\n"
    "terminal and prints a summary per file. Call records the record files hold already (a\n"
    "file imported before) are left out. It ends with code 1 when a file could not be read or\n"
    "had a mistake, 2 for a wrong command line or settings that store no call records.",
    "  --other-program  the files were made by another program (CS1000 3.60 and later),\n"
    "                   whose messages are scrambled\n"
    "  --store-again    store also the call records that the record files hold already\n"
    "                   (without it they are left out)\n"};

// Nothing polls during an import: timers are never started for real.
struct NoTimers : velk::TimerHost {
    void StartTimer(int, int) override {}
    void KillTimer(int) override {}
};

// Counts what the recorders stored and says what went wrong with a file.
class ImportView : public velk::CollectorView {
public:
    void Notify(velk::NotifyCode, int) override {}
    void ShowRawMessage(const std::string&) override {}
    void ShowRecordDetail(const velk::LastCallsRing::Record&) override {}
    void RefreshLastCalls() override {}
    void StatisticsRowChanged(int) override {}
    void CallRecordStored(const velk::LastCallsRing::Record&) override { ++calls; }
    void TrafficReportStored(const std::string&) override { ++reports; }
    void Problem(const std::string& text) override { std::cerr << "\n" << text << std::endl; }
    void SequenceAlarm(const std::string& line, uint64_t) override {
        std::cerr << "\n" << line << std::endl;
    }
    void SetTitle(const std::string&) override {}
    void SetConnectedText(const std::string&) override {}
    void DurationReset() override {}
    void SetMenuState(velk::LinkMenuState) override {}

    uint64_t calls = 0, reports = 0;
};

class Sink : public velk::ImportSink {
public:
    Sink(velk::Collector& collector, const std::string& file, bool terminal,
         velk::StoredRecords* leaveOut)
        : collector_(collector), file_(file), terminal_(terminal), leaveOut_(leaveOut) {}

    bool Skip(const uint8_t* frame, uint32_t length) override {
        if (leaveOut_ == nullptr)
            return false;
        // A record some of its files hold (a run killed while storing it) goes to the others.
        velk::StoredRecords::Found found = leaveOut_->TakeStored(frame, length);
        if (found.everywhere)
            return true;
        if (!found.files.empty())
            ++completed;
        collector_.ImportLeaveOut(std::move(found.files));
        return false;
    }
    void Message(const uint8_t* frame, uint32_t length) override {
        const bool call = velk::IsCallRecord(frame);
        const bool traffic = frame[4] == '3' && frame[5] == '5';
        (call ? callRecords : traffic ? trafficParts : others)++;
        if (!collector_.ImportMessage(frame, length))
            notWritten = true;
    }
    // A record its files refused (a full disk) stops the import.
    bool Cancelled() override { return notWritten; }
    void BadCheck() override { collector_.ImportBadCheck(); }
    void Progress(uint32_t percent) override { percent_ = percent; }
    void Imported(uint64_t count) override {
        if (!terminal_ || (count & 255) != 0)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - shown_ < std::chrono::milliseconds(500))
            return;
        shown_ = now;
        const double seconds = std::chrono::duration<double>(now - started_).count();
        const double rate = seconds > 0 ? count / seconds : 0;
        const double left = percent_ > 0 ? seconds * (100 - percent_) / percent_ : 0;
        std::fprintf(stderr, "\r%s: %llu messages, %.0f a second, %u %%, about %.0f s left   ",
                     file_.c_str(), static_cast<unsigned long long>(count), rate, percent_, left);
    }

    uint64_t callRecords = 0, trafficParts = 0, others = 0;
    uint64_t completed = 0;  // stored only into the files that lacked them
    bool notWritten = false;

private:
    velk::Collector& collector_;
    std::string file_;
    bool terminal_;
    velk::StoredRecords* leaveOut_;
    uint32_t percent_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point shown_ = started_;
};

}  // namespace

int main(int argc, char* argv[]) {
    const velk::CommandLine line = velk::ParseCommandLine(argc, argv);
    if (const auto code = velk::AnswerCommonOptions(line, kHelp, std::cout, std::cerr))
        return *code;
    bool otherProgram = false;
    bool storeAgain = false;
    std::vector<std::string> files;
    bool options = true;
    for (const std::string& a : line.arguments) {
        if (options && a == "--")
            options = false;
        else if (options && a == "--other-program")
            otherProgram = true;
        else if (options && a == "--store-again")
            storeAgain = true;
        else if (options && a.rfind("--", 0) == 0)
            return velk::UsageError(kHelp, "unknown option '" + a + "'", std::cerr);
        else
            files.push_back(a);
    }
    if (files.empty())
        return velk::UsageError(kHelp, "no file to import", std::cerr);
    QCoreApplication app(argc, argv);

    velk::StreamPrompt prompt(std::cerr);
    std::filesystem::path base;
    std::string noBase;
    if (!velk::ChosenBaseDirectory(line.dir, std::getenv("HOME"), base, noBase)) {
        prompt.Message(noBase, "VELK", velk::PromptIcon::Error);
        return 1;
    }
    velk::FileInstanceLock lock(base);
    velk::SettingsStore store(base);
    velk::AppSettings settings;
    velk::LastCallsRing ring;
    velk::Startup startup(lock, prompt, store, settings, ring);
    if (!startup.Run(false))
        return 1;

    velk::SystemClock clock;
    velk::PosixFileStore fileStore;
    // A batch of records goes to each file with one write.
    velk::HeldAppends heldStore(fileStore);
    NoTimers timers;
    velk::SqliteRecordIndex index(base / velk::kRecordIndexFile,
                                  velk::SqliteRecordIndex::Mode::Write);
    velk::Collector collector(settings, base, prompt, clock, timers, ring, heldStore);
    // Settings that store no call record are said plainly; traffic reports are still stored.
    const bool storesCalls = collector.Recorder().StoresRecords();
    if (!storesCalls) {
        std::fprintf(stderr,
                     "velk-import: the settings in %s store no call records (RawSave, SaveToFile, "
                     "DoBufferPacked and DoBufferDecoded are all off%s): call records are read "
                     "but not stored.\n",
                     store.IniPath().string().c_str(),
                     startup.SettingsComplete() ? "" : ", or the file is missing");
    }
    velk::PosixFollowedFiles rawFiles(velk::OutputDirectories::Under(base).bill, ".raw");
    // With the records in raw files, the index reads them there on a thread of its own, each
    // batch once it is stored, while the next is decoded and stored; otherwise it takes them from
    // the collector, batch by batch.
    std::unique_ptr<velk::IndexFollower> follower;
    if (settings.RawSave == 1)
        follower = std::make_unique<velk::IndexFollower>(settings, base);
    else
        collector.SetRecordIndex(&index, &rawFiles);
    ImportView view;
    collector.SetView(&view);
    const auto sayIndexProblems = [&] {
        for (const auto& [event, detail] : follower->TakeProblems())
            collector.Problem(event, detail);
    };
    if (follower) {
        collector.SetImportStored([&] {
            follower->Publish();
            sayIndexProblems();
        });
    }
    // The saving filter's lists, what the journal kept from the last run, and whatever the index
    // lacks of the record files.
    collector.Start();
    if (follower)
        follower->Start();
    else
        collector.Indexer().Finish();

    const velk::OutputDirectories dirs = velk::OutputDirectories::Under(base);
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    int exitCode = 0;
    bool told = false;
    uint64_t callRecordsRead = 0;
    for (const std::string& file : files)
        try {
            velk::FileImportSource source(file);
            if (!source.Ok()) {
                std::fprintf(stderr, "%s: %s\n", file.c_str(), velk::kImportCannotOpen);
                exitCode = 1;
                continue;
            }
            if (velk::IsRecordFile(file, dirs)) {
                std::fprintf(stderr, "%s: %s\n", file.c_str(), velk::kImportOwnFile);
                exitCode = 1;
                continue;
            }
            // Call records the files hold already are left out, unless they are wanted twice.
            velk::StoredRecords stored(settings, dirs);
            velk::StoredRecords* leaveOut = nullptr;
            velk::ImportSurvey survey;
            if (!storeAgain && stored.Comparable()) {
                velk::FileImportSource first(file);
                survey = velk::SurveyImport(first, otherProgram, stored);
                // Also where none stands in its first file: a killed run may have left records
                // in some files only.
                if (survey.alreadyStored > 0 || stored.AnyStored())
                    leaveOut = &stored;
            } else if (!storeAgain && storesCalls && !told) {
                told = true;
                std::fprintf(
                    stderr,
                    "velk-import: the record files in Bill cannot tell calls apart (no raw "
                    "files, and no sequence number and start time in the decoded files): "
                    "records stored already are not looked for.\n");
            }
            Sink sink(collector, file, terminal, leaveOut);
            collector.BeginImport();  // each file is checked for sequence gaps on its own
            const uint64_t keptBefore = view.calls, reportsBefore = view.reports;
            const uint64_t writtenBefore = collector.Recorder().RecordsWritten();
            const auto started = std::chrono::steady_clock::now();
            const velk::ImportResult result = velk::RunRawImport(source, sink, otherProgram);
            // The last batch goes to the files before anything is said of the import.
            if (!sink.notWritten && !collector.StoreImportBatch())
                sink.notWritten = true;
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if (terminal)
                std::fprintf(stderr, "\r%*s\r", 100, "");
            if (!result.Message().empty()) {
                std::fprintf(stderr, "%s: %s\n", file.c_str(), result.Message().c_str());
                exitCode = 1;
            }
            if (!result.Remarks().empty())
                std::fprintf(stderr, "%s: %s\n", file.c_str(), result.Remarks().c_str());
            if (result.tailBytes > 0)
                exitCode = 1;
            if (sink.notWritten) {
                std::fprintf(stderr,
                             "%s: the record files could not be written (%s); the import "
                             "stopped. Run it again once they can: the records stored are left "
                             "out, the others are stored\n",
                             file.c_str(), heldStore.ErrorText().c_str());
                exitCode = 1;
            }
            // Nothing counts as imported before it is on the disk.
            const bool flushed = collector.EndImport();
            if (!flushed) {
                std::fprintf(stderr, "%s: the record files could not be flushed to the disk\n",
                             file.c_str());
                exitCode = 1;
            }
            callRecordsRead += sink.callRecords;
            const uint64_t kept = view.calls - keptBefore;
            const uint64_t written = collector.Recorder().RecordsWritten() - writtenBefore -
                                     collector.ImportTakenBack();
            std::printf(
                "%s: %s %llu messages read in %.1f s (%.0f a second): %llu call records stored, "
                "%llu "
                "not kept by the saving filter, %llu traffic parts (%llu reports stored), %llu of "
                "other types; %llu rejected for a wrong check\n",
                file.c_str(), flushed && !sink.notWritten ? result.Status() : velk::kImportStopped,
                static_cast<unsigned long long>(result.imported), seconds,
                seconds > 0 ? result.imported / seconds : 0.0,
                static_cast<unsigned long long>(written),
                static_cast<unsigned long long>(sink.callRecords - kept),
                static_cast<unsigned long long>(sink.trafficParts),
                static_cast<unsigned long long>(view.reports - reportsBefore),
                static_cast<unsigned long long>(sink.others),
                static_cast<unsigned long long>(result.badCheck));
            if (kept > written)
                std::printf("%s: %llu call records could not be written to any file\n",
                            file.c_str(), static_cast<unsigned long long>(kept - written));
            if (sink.completed > 0)
                std::printf("%s: %llu call records were stored in some of their files already "
                            "(an import stopped before) and were completed in the others\n",
                            file.c_str(), static_cast<unsigned long long>(sink.completed));
            if (result.skippedStored > 0)
                std::printf(
                    "%s: %llu of %llu call records were stored already and were left out "
                    "(--store-again stores them again)\n",
                    file.c_str(), static_cast<unsigned long long>(result.skippedStored),
                    static_cast<unsigned long long>(survey.callRecords));
            std::fflush(stdout);
            if (sink.notWritten)
                break;  // the files after it would meet the same full disk
        } catch (const std::bad_alloc&) {
            // What was stored stays, each record whole; the next file may still go through.
            collector.EndImport();
            std::fprintf(stderr, "\n%s: %s\n", file.c_str(), velk::kImportNoMemory);
            exitCode = 1;
        }
    // The records are in their files; the import is done only once the index has them too.
    const bool indexed = follower ? follower->Finish() : collector.Indexer().Finish();
    if (follower)
        sayIndexProblems();
    if (!indexed) {
        std::fprintf(stderr,
                     settings.RawSave == 1
                         ? "velk-import: the record index %s does not have every record stored "
                           "(see above); they are in the raw files of Bill, and velk or "
                           "velk-collector puts them in when it next starts here, or run now: "
                           "velk-index rebuild --dir %s\n"
                         : "velk-import: the record index %s does not have every record stored "
                           "(see above), and with RawSave off no raw file holds them: velk-index "
                           "rebuild cannot put them in (the decoded files have them)\n",
                     (base / velk::kRecordIndexFile).c_str(), base.c_str());
        exitCode = 1;
    }
    lock.Release();
    if (!storesCalls && callRecordsRead > 0)
        return 2;
    return exitCode;
}
