// velk-import as an unattended machine runs it: every raw profile rebuilds the decoded files
// byte for byte, the lock of a running collector refuses it, a file that cannot be read makes it
// fail, a file imported twice is stored once, a stray byte costs one record at most, and a
// 100,000-record file goes through.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "core/decode/record_builder.h"
#include "core/record/call_recorder.h"
#include "core/record/fake_file_store.h"
#include "platform/sqlite_record_index.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using test::RecordBuilder;

struct ImportRun {
    int code = -1;
    std::string out, err;
};

// A run that waits for ever is ended after `seconds` (exit code 124).
ImportRun Import(const std::filesystem::path& base, const std::vector<std::string>& args,
                 int seconds = 60) {
    std::string command = "cd '" + base.string() + "' && timeout " + std::to_string(seconds) +
                          " '" + std::string(VELK_IMPORT_BIN) + "'";
    for (const auto& a : args)
        command += " '" + a + "'";
    command += " >'" + (base / "out.txt").string() + "' 2>'" + (base / "err.txt").string() + "'";
    ImportRun r;
    const int status = std::system(command.c_str());
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = test::ReadFile(base / "out.txt");
    r.err = test::ReadFile(base / "err.txt");
    return r;
}

// Records with every kind of content the generator of the tests makes, different enough that a
// record stored twice or lost shows.
std::vector<std::string> Frames(int n) {
    std::vector<std::string> frames;
    for (int i = 0; i < n; ++i) {
        RecordBuilder r;
        char text[16];
        std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(i) & 0xFFFFu);
        r.sequence = text;
        std::snprintf(text, sizeof text, "%04u", static_cast<unsigned>(i % 10000));
        r.calling = std::string(text) + "FFFF";
        r.optional = RecordBuilder::Opt("03", i % 3 ? "02" : "0B") +
                     RecordBuilder::Opt("0C", "0" + std::to_string(i % 10)) + "FF";
        frames.push_back(r.Frame());
    }
    return frames;
}

void WriteSettings(const std::filesystem::path& base, AppSettings& s,
                   const std::string& extra = "") {
    s.SaveToFile = 1;
    s.MakeHeader = 1;
    s.RawSave = 1;
    s.RawSaveDaily = 1;
    for (size_t k = 0; k < 50; ++k) {
        s.f[k] = 1;
        s.SaveInd[k] = static_cast<int32_t>(k);
    }
    const std::string command =
        "'" + std::string(VELK_SETTINGS_BIN) + "' '" + base.string() +
        "' SaveToFile=1 MakeHeader=1 RawSave=1 RawSaveDaily=1 columns=all" +
        " APP_STX=" + std::to_string(s.APP_STX) + " APP_ETX=" + std::to_string(s.APP_ETX) +
        " APP_EOT=" + std::to_string(s.APP_EOT) + " APP_CR=" + std::to_string(s.APP_CR) +
        " APP_LF=" + std::to_string(s.APP_LF) + " " + extra;
    ASSERT_EQ(std::system(command.c_str()), 0);
}

// What the recorders write live for these frames: the raw file and the decoded file.
std::pair<std::string, std::string> Live(const AppSettings& s,
                                         const std::vector<std::string>& frames) {
    test::FakeFileStore files;
    CallRecorder recorder(s, files, OutputDirectories::Under("/live"));
    for (const auto& f : frames) {
        recorder.SaveCall_All(BillingMessage(reinterpret_cast<const uint8_t*>(f.data()),
                                             static_cast<uint32_t>(f.size() - 4)));
    }
    return {files.Content("/live/Bill/20261208.raw"), files.Content("/live/Bill/20261208.csv")};
}

TEST(VelkImport, EveryRawProfileRebuildsTheDecodedFilesByteForByte) {
    struct Profile {
        const char* name;
        int stx, etx, eot, cr, lf;
    };
    const std::vector<std::string> frames = Frames(300);
    for (const Profile& p : {Profile{"default", 1, 0, 0, 1, 1}, Profile{"VELK", 0, 0, 0, 1, 1},
                             Profile{"Tarvik", 1, 1, 1, 0, 0}}) {
        test::TempDir base;
        AppSettings s;
        s.APP_STX = p.stx, s.APP_ETX = p.etx, s.APP_EOT = p.eot, s.APP_CR = p.cr, s.APP_LF = p.lf;
        WriteSettings(base.Path(), s);
        const auto [raw, decoded] = Live(s, frames);
        test::WriteFile(base / "saved.raw", raw);
        const ImportRun r = Import(base.Path(), {"saved.raw"});
        EXPECT_EQ(r.code, 0) << p.name << r.err;
        EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"), decoded) << p.name;
        EXPECT_EQ(test::ReadFile(base / "Bill_Backup" / "20261208.csv"), decoded) << p.name;
        EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.raw"), raw) << p.name;
        EXPECT_NE(r.out.find("saved.raw: Import completed. 300 messages read"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("300 call records stored, 0 not kept by the saving filter"),
                  std::string::npos);
    }
}

TEST(VelkImport, RefusedWhileAnotherProgramHoldsTheDirectory) {
    test::TempDir base;
    AppSettings s;
    WriteSettings(base.Path(), s);
    test::WriteFile(base / "saved.raw", Live(s, Frames(3)).first);
    const int fd = ::open((base / "VELK.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // a running velk-collector
    ImportRun r = Import(base.Path(), {"saved.raw"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "VELK already run\nin this directory!\n");
    // The same directory named with --dir from elsewhere is the same directory.
    test::TempDir elsewhere;
    r = Import(elsewhere.Path(), {"--dir", base.Path().string(), (base / "saved.raw").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "VELK already run\nin this directory!\n");
    EXPECT_FALSE(std::filesystem::exists(base / "Bill" / "20261208.csv"));
    ::close(fd);
    r = Import(base.Path(), {"saved.raw"});
    EXPECT_EQ(r.code, 0);
}

// Another program holds VELK.db's write lock all through the import: the records reach their
// files, not the index, and velk-import says so and what to run instead of reporting success.
// Run again once the lock is gone, it stores nothing twice and the index gets every record.
TEST(VelkImport, AnIndexLockedThroughoutIsNoSuccess) {
    test::TempDir base;
    AppSettings s;
    WriteSettings(base.Path(), s);
    const auto [raw, decoded] = Live(s, Frames(30));
    test::WriteFile(base / "saved.raw", raw);
    {
        SqliteRecordIndex holder(base / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        ASSERT_TRUE(holder.Begin()) << holder.ErrorText();
        const ImportRun r = Import(base.Path(), {"saved.raw"});
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.out.find("saved.raw: Import completed. 30 messages read"), std::string::npos)
            << r.out;
        EXPECT_NE(r.err.find("velk-import: the record index " + (base / "VELK.db").string() +
                             " does not have every record stored (see above); they are in the "
                             "raw files of Bill, and velk or velk-collector puts them in when it "
                             "next starts here, or run now: velk-index rebuild --dir " +
                             base.Path().string() + "\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("database is locked"), std::string::npos) << r.err;
    }
    EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"), decoded);
    SqliteRecordIndex index(base / kRecordIndexFile, SqliteRecordIndex::Mode::Read);
    EXPECT_EQ(index.Count(), 0);
    const ImportRun again = Import(base.Path(), {"saved.raw"});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.out.find("30 of 30 call records were stored already"), std::string::npos)
        << again.out;
    EXPECT_EQ(index.Count(), 30);
    EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"), decoded);
}

TEST(VelkImport, FilesThatCannotBeReadOrHaveMistakesFail) {
    test::TempDir base;
    AppSettings s;
    WriteSettings(base.Path(), s);
    test::WriteFile(base / "good.raw", Live(s, Frames(5)).first);
    test::WriteFile(base / "tiny.raw", "0123");
    test::WriteFile(base / "long.raw", "000" + std::string(1200, '7'));
    const ImportRun r = Import(base.Path(), {"missing.raw", "tiny.raw", "long.raw", "good.raw"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("missing.raw: Selected file can not be open!"), std::string::npos);
    EXPECT_NE(r.err.find("tiny.raw: Selected file has a mistake!\nToo small file size!"),
              std::string::npos);
    EXPECT_NE(r.err.find("long.raw: 1203 bytes were skipped where no message passed its check, "
                         "from offset 0."),
              std::string::npos);
    EXPECT_NE(r.out.find("good.raw: Import completed. 5 messages read"), std::string::npos);
    EXPECT_EQ(Import(base.Path(), {}).code, 2);
}

// A file imported again stores nothing twice; an import cut short can simply be run again; and
// --store-again stores them all the same. Where only decoded files are kept, they are compared.
TEST(VelkImport, RecordsStoredAlreadyAreLeftOut) {
    for (const bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "raw files" : "decoded files only");
        test::TempDir base;
        AppSettings s;
        WriteSettings(base.Path(), s, raw ? "" : "RawSave=0");
        const std::vector<std::string> frames = Frames(300);
        const auto [rawFile, decoded] = Live(s, frames);
        test::WriteFile(base / "saved.raw", rawFile);
        const std::vector<std::string> first(frames.begin(), frames.begin() + 100);
        test::WriteFile(base / "first.raw", Live(s, first).first);

        ImportRun r = Import(base.Path(), {"first.raw"});
        ASSERT_EQ(r.code, 0) << r.err;
        r = Import(base.Path(), {"saved.raw"});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find("200 call records stored"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("saved.raw: 100 of 300 call records were stored already and were "
                             "left out (--store-again stores them again)"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"), decoded);
        if (raw) {
            EXPECT_EQ(test::ReadFile(base / "Bill_Backup" / "20261208.raw"), rawFile);
        }

        r = Import(base.Path(), {"saved.raw"});
        EXPECT_NE(r.out.find("0 call records stored"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("300 of 300 call records were stored already"), std::string::npos);
        EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"), decoded);

        r = Import(base.Path(), {"--store-again", "saved.raw"});
        EXPECT_NE(r.out.find("300 call records stored"), std::string::npos) << r.out;
        const std::string header = decoded.substr(0, decoded.find("\r\n") + 2);
        EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"),
                  decoded + decoded.substr(header.size()));
    }
}

// A stray byte before a record line costs that record only; the skipped bytes and a cut-off
// last record are told; a record file that grows while it is imported is read as long as it was.
TEST(VelkImport, MistakesInAFileAreToldAndCostLittle) {
    test::TempDir base;
    AppSettings s;
    s.APP_STX = 0;  // lines of records without STX: a stray byte joins the record after it
    WriteSettings(base.Path(), s, "RawSaveDaily=0");
    const std::vector<std::string> frames = Frames(3000);
    std::string raw = Live(s, frames).first;
    const size_t line = raw.size() / 3000;
    raw.insert(10 * line, "X");
    test::WriteFile(base / "stray.raw", raw + raw.substr(0, 40));  // and a cut-off record
    ImportRun r = Import(base.Path(), {"stray.raw"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("2999 call records stored"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.err.find("stray.raw: " + std::to_string(line - 1) +
                         " bytes were skipped where no message passed its check, from "
                         "offset " +
                         std::to_string(10 * line) +
                         ".\nThe file ends inside a message: its "
                         "last 40 bytes, from offset " +
                         std::to_string(raw.size()) + ", were not imported.\n"),
              std::string::npos)
        << r.err;

    // The file the recorder appends to, under another name: only its first 2999 records count.
    const auto cs1000 = base / "Bill" / "cs1000.raw";
    std::filesystem::create_hard_link(cs1000, base / "growing.raw");
    r = Import(base.Path(), {"--store-again", "growing.raw"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Import completed. 2999 messages read"), std::string::npos) << r.out;
    EXPECT_EQ(std::filesystem::file_size(cs1000), 2 * 2999 * line);
}

// What it refuses: a pipe (which would keep it waiting) and the files it stores records in; and
// settings that store no call record (a directory without VELK.INI) are said plainly.
TEST(VelkImport, RefusesWhatItCannotOrShouldNotImport) {
    test::TempDir base;
    AppSettings s;
    WriteSettings(base.Path(), s);
    test::WriteFile(base / "good.raw", Live(s, Frames(5)).first);
    ASSERT_EQ(::mkfifo((base / "pipe.raw").c_str(), 0600), 0);
    ImportRun r = Import(base.Path(), {"pipe.raw", "good.raw"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("pipe.raw: Selected file can not be open!"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("good.raw: Import completed. 5 messages read"), std::string::npos);

    const std::string stored = test::ReadFile(base / "Bill" / "20261208.raw");
    r = Import(base.Path(),
               {"Bill/20261208.raw", (base / "Bill_Backup" / "20261208.raw").string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Bill/20261208.raw: Selected file is one VELK stores its records in!\n"
                         "Copy it to another folder and import the copy."),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Bill_Backup/20261208.raw: Selected file is one VELK"), std::string::npos);
    EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.raw"), stored);

    test::TempDir bare;
    test::WriteFile(bare / "good.raw", Live(s, Frames(5)).first);
    r = Import(bare.Path(), {"good.raw"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("store no call records (RawSave, SaveToFile, DoBufferPacked and "
                         "DoBufferDecoded are all off, or the file is missing): call records are "
                         "read but not stored."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("first VELK execution"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("0 call records stored"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(bare / "Bill" / "20261208.raw"));
}

TEST(VelkImport, AHundredThousandRecords) {
    test::TempDir base;
    AppSettings s;
    WriteSettings(base.Path(), s);
    const std::vector<std::string> frames = Frames(100000);
    const auto [raw, decoded] = Live(s, frames);
    test::WriteFile(base / "big.raw", raw);
    // A bound for a hang only: a loaded machine running the sanitizers' build is slow.
    const ImportRun r = Import(base.Path(), {"big.raw"}, 200);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("big.raw: Import completed. 100000 messages read"), std::string::npos)
        << r.out;
    EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"), decoded);
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

// Records a killed program left cut short at the end of its files are cut back before the import
// appends, and each cut is written to VELK.LOG.
TEST(VelkImport, TornRecordsAreCutBackBeforeItAppends) {
    test::TempDir base;
    AppSettings s;
    WriteSettings(base.Path(), s);
    const std::vector<std::string> frames = Frames(20);
    const std::vector<std::string> first(frames.begin(), frames.begin() + 10);
    const std::vector<std::string> rest(frames.begin() + 10, frames.end());
    const auto [raw, decoded] = Live(s, first);
    const auto [all, allDecoded] = Live(s, frames);
    std::filesystem::create_directories(base / "Bill");
    std::filesystem::create_directories(base / "Bill_Backup");
    // A kill inside an append: part of record 10 at the end of Bill's raw file, part of its line
    // in Bill_Backup's decoded file.
    test::WriteFile(base / "Bill" / "20261208.raw", raw + all.substr(raw.size(), 68));
    test::WriteFile(base / "Bill" / "20261208.csv", decoded);
    test::WriteFile(base / "Bill_Backup" / "20261208.raw", raw);
    test::WriteFile(base / "Bill_Backup" / "20261208.csv",
                    decoded + allDecoded.substr(decoded.size(), 30));
    test::WriteFile(base / "rest.raw", Live(s, rest).first);
    const ImportRun r = Import(base.Path(), {"rest.raw"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.raw"), all);
    EXPECT_EQ(test::ReadFile(base / "Bill_Backup" / "20261208.raw"), all);
    EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"), allDecoded);
    EXPECT_EQ(test::ReadFile(base / "Bill_Backup" / "20261208.csv"), allDecoded);
    const std::string log = test::ReadFile(base / "VELK.LOG");
    EXPECT_NE(log.find((base / "Bill" / "20261208.raw").string() +
                       ": 68 bytes after its last whole record (a record cut short when a "
                       "program stopped) are removed; " +
                       std::to_string(raw.size()) + " bytes remain"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find((base / "Bill_Backup" / "20261208.csv").string() + ": 30 bytes after"),
              std::string::npos)
        << log;
}

// The settings of the kill test: every file a record goes to, the decoded lines telling calls
// apart.
void WriteEveryFileSettings(const std::filesystem::path& base, AppSettings& s) {
    WriteSettings(base, s, "DoBufferPacked=1 DoBufferDecoded=1");
    s.DoBufferPacked = 1;
    s.DoBufferDecoded = 1;
}

// Every file a record goes to as a pick-up program sees it: the buffers' out-file and in-file
// together.
std::map<std::string, std::string> EveryFile(const std::filesystem::path& base) {
    const auto read = [&base](const char* rel) { return test::ReadFile(base / rel); };
    return {{"Bill raw", read("Bill/20261208.raw")},
            {"Bill decoded", read("Bill/20261208.csv")},
            {"Bill_Backup raw", read("Bill_Backup/20261208.raw")},
            {"Bill_Backup decoded", read("Bill_Backup/20261208.csv")},
            {"buffer raw", read("Buffers/buffer_out.raw") + read("Buffers/buffer_in.raw")},
            {"buffer decoded", read("Buffers/buffer_out.csv") + read("Buffers/buffer_in.csv")}};
}

// A record a stopped run wrote to some of its files only is written to the others, and the run
// says how many it completed.
TEST(VelkImport, RecordInSomeOfItsFilesIsCompletedInTheOthers) {
    test::TempDir reference, base;
    AppSettings s;
    WriteEveryFileSettings(reference.Path(), s);
    WriteEveryFileSettings(base.Path(), s);
    const std::vector<std::string> frames = Frames(3);
    test::WriteFile(reference / "in.raw", Live(s, frames).first);
    test::WriteFile(base / "in.raw", Live(s, frames).first);
    ASSERT_EQ(Import(reference.Path(), {"in.raw"}).code, 0);
    const auto expected = EveryFile(reference.Path());

    // Record 0 in Bill only, record 1 in Bill's raw file only: a kill between their appends.
    const std::vector<std::string> two(frames.begin(), frames.begin() + 2);
    const std::string raw2 = Live(s, two).first;
    const std::string decoded1 = Live(s, {frames[0]}).second;
    std::filesystem::create_directories(base / "Bill");
    test::WriteFile(base / "Bill" / "20261208.raw", raw2);
    test::WriteFile(base / "Bill" / "20261208.csv", decoded1);
    const ImportRun r = Import(base.Path(), {"in.raw"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("in.raw: 2 call records were stored in some of their files already (an "
                         "import stopped before) and were completed in the others"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(EveryFile(base.Path()), expected);
}

// velk-import killed at random moments while it stores, and run again after each kill: in the
// end every record stands once in every file. VELK_IMPORT_KILLS sets the number of kills (30;
// the soak run takes 300).
TEST(VelkImport, KilledAtRandomAndRunAgain) {
    const char* env = std::getenv("VELK_IMPORT_KILLS");
    const int kills = env != nullptr ? std::atoi(env) : 30;
    constexpr int kRecords = 1000;
    test::TempDir reference, base;
    AppSettings s;
    WriteEveryFileSettings(reference.Path(), s);
    WriteEveryFileSettings(base.Path(), s);
    const std::string file = Live(s, Frames(kRecords)).first;
    test::WriteFile(reference / "in.raw", file);
    test::WriteFile(base / "in.raw", file);
    // An undisturbed run gives the files to expect and how long a run takes.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Import(reference.Path(), {"in.raw"}).code, 0);
    const auto runMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();
    const auto expected = EveryFile(reference.Path());

    std::mt19937 random(35);
    int longest = static_cast<int>(runMs);
    int killed = 0, runs = 0;
    // Until that many runs were killed; a run that ended before its kill (little was left to
    // store) makes the next ones die sooner.
    while (killed < kills && runs < 4 * kills) {
        ++runs;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (::chdir(base.Path().c_str()) != 0)
                ::_exit(127);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl(VELK_IMPORT_BIN, VELK_IMPORT_BIN, "in.raw", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, longest)(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            ++killed;
        } else {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            longest = std::max(20, longest / 2);
        }
    }
    const ImportRun r = Import(base.Path(), {"in.raw"});
    EXPECT_EQ(r.code, 0) << r.err;
    const auto have = EveryFile(base.Path());
    for (const auto& [name, content] : expected)
        EXPECT_TRUE(have.at(name) == content) << name;
    std::printf("velk-import: %d records, %d runs of %d killed, the last run: %s", kRecords,
                killed, runs, r.out.c_str());
    EXPECT_EQ(killed, kills);
}

}  // namespace
}  // namespace velk
