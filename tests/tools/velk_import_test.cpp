// velk-import as an unattended machine runs it: every raw profile rebuilds the decoded files
// byte for byte, the lock of a running collector refuses it, a file that cannot be read makes it
// fail, and a 100,000-record file goes through.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core/decode/record_builder.h"
#include "core/record/call_recorder.h"
#include "core/record/fake_file_store.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using test::RecordBuilder;

struct ImportRun {
    int code = -1;
    std::string out, err;
};

ImportRun Import(const std::filesystem::path& base, const std::vector<std::string>& args) {
    std::string command = "cd '" + base.string() + "' && '" + std::string(VELK_IMPORT_BIN) + "'";
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

void WriteSettings(const std::filesystem::path& base, AppSettings& s) {
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
        " APP_LF=" + std::to_string(s.APP_LF);
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
    EXPECT_FALSE(std::filesystem::exists(base / "Bill" / "20261208.csv"));
    ::close(fd);
    r = Import(base.Path(), {"saved.raw"});
    EXPECT_EQ(r.code, 0);
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
    EXPECT_NE(r.err.find("long.raw: Selected file has a mistake!\nToo long VELK message!"),
              std::string::npos);
    EXPECT_NE(r.out.find("good.raw: Import completed. 5 messages read"), std::string::npos);
    EXPECT_EQ(Import(base.Path(), {}).code, 2);
}

TEST(VelkImport, AHundredThousandRecords) {
    test::TempDir base;
    AppSettings s;
    WriteSettings(base.Path(), s);
    const std::vector<std::string> frames = Frames(100000);
    const auto [raw, decoded] = Live(s, frames);
    test::WriteFile(base / "big.raw", raw);
    const ImportRun r = Import(base.Path(), {"big.raw"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("big.raw: Import completed. 100000 messages read"), std::string::npos)
        << r.out;
    EXPECT_EQ(test::ReadFile(base / "Bill" / "20261208.csv"), decoded);
}

}  // namespace
}  // namespace velk
