// velk-report and velk-index as a script runs them, over records whose fields the test knows:
// the reports in all three formats, the index after an import equal to the decoded files, and a
// rebuild from the raw files giving the same rows as live indexing.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/decode/record_builder.h"
#include "support/index_check.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using test::RecordBuilder;

struct ProgramRun {
    int code = -1;
    std::string out, err;
};

ProgramRun Program(const char* bin, const std::filesystem::path& base, const std::string& args) {
    const std::string command = "cd '" + base.string() + "' && '" + bin + "' " + args + " >'" +
                                (base / "out.txt").string() + "' 2>'" +
                                (base / "err.txt").string() + "'";
    ProgramRun r;
    const int status = std::system(command.c_str());
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = test::ReadFile(base / "out.txt");
    r.err = test::ReadFile(base / "err.txt");
    return r;
}

std::string Frame(const char* seq, const char* calling, const char* charge, const char* start,
                  const char* end, const char* type, const std::string& dialled) {
    RecordBuilder r;
    r.sequence = seq;
    r.calling = std::string(calling) + "FFFF";
    r.charge = charge;
    r.start = start;
    r.end = end;
    r.dialled = dialled + std::string(24 - dialled.size(), 'F');
    r.optional = RecordBuilder::Opt("03", type) + "FF";
    return r.Frame();
}

// Four calls: extension 2041 makes an answered ISD call of 120 s and an unanswered DDD call of
// 30 s on the 8th, and an answered local call of 5 s on the 9th; 3000 makes an answered ISD call
// of 600 s on the 9th. Charge information 08 and 09 have the answered bit (3), 01 has not.
std::string RawFile() {
    std::string raw;
    for (const std::string& f :
         {Frame("0001", "2041", "08", "141A0C080C1E2D", "141A0C080C202D", "04", "0044207"),
          Frame("0002", "2041", "01", "141A0C080D0000", "141A0C080D001E", "03", "0123"),
          Frame("0003", "3000", "09", "141A0C09080000", "141A0C09080A00", "04", "0033"),
          Frame("0004", "2041", "08", "141A0C09090000", "141A0C09090005", "02", "555")}) {
        raw += f.substr(0, f.size() - 1) + "\r\n";
    }
    return raw;
}

class VelkReport : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string settings = "'" + std::string(VELK_SETTINGS_BIN) + "' '" +
                                     base_.Path().string() +
                                     "' SaveToFile=1 MakeHeader=1 RawSave=1 RawSaveDaily=1 "
                                     "f1=1 SaveInd0=0 f2=1 SaveInd1=3 f3=1 SaveInd2=4";
        ASSERT_EQ(std::system(settings.c_str()), 0);
        test::WriteFile(base_ / "calls.raw", RawFile());
        ASSERT_EQ(Program(VELK_IMPORT_BIN, base_.Path(), "calls.raw").code, 0);
    }
    ProgramRun Report(const std::string& args) { return Program(VELK_REPORT_BIN, base_.Path(), args); }

    test::TempDir base_;
};

TEST_F(VelkReport, GroupsInEveryFormat) {
    ProgramRun r = Report("--by extension --format json");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "[\n"
              " {\"group\": \"2041\", \"calls\": 3, \"answered\": 2, \"total_seconds\": 155, "
              "\"average_seconds\": 52, \"longest_seconds\": 120},\n"
              " {\"group\": \"3000\", \"calls\": 1, \"answered\": 1, \"total_seconds\": 600, "
              "\"average_seconds\": 600, \"longest_seconds\": 600}\n"
              "]\n");
    // To a pipe without --format: CSV. Call types in the order of their codes.
    r = Report("--by call-type");
    EXPECT_EQ(r.out,
              "group,calls,answered,total_seconds,average_seconds,longest_seconds\n"
              "Local Call,1,1,5,5,5\n"
              "DDD Call,1,0,30,30,30\n"
              "ISD Call,2,2,720,360,600\n");
    r = Report("--by day --from 2026-12-09 --format table");
    EXPECT_EQ(r.out,
              "group       calls  answered  total_seconds  average_seconds  longest_seconds\n"
              "2026-12-09      2         2            605              303              600\n");
    r = Report("--by dialled-prefix --prefix-digits 2 --to 2026-12-08 --format csv");
    EXPECT_EQ(r.out,
              "group,calls,answered,total_seconds,average_seconds,longest_seconds\n"
              "00,1,1,120,120,120\n"
              "01,1,0,30,30,30\n");
}

TEST_F(VelkReport, CallsOfTheCasesInEveryFormat) {
    test::WriteFile(base_ / "isd.cases",
                    "[Case 1]\nCalling Phone Number=2041\nCall Type=ISD Call\n"
                    "[Case 2]\nDialled Phone Number=00?\nCharge Information=1\n");
    ProgramRun r = Report("--cases isd.cases --format csv");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "Sequence Number,Calling Phone Number,Start Time of Conversation\n"
              "0001,2041,2026-12-08 12:30:45\n"
              "0003,3000,2026-12-09 08:00:00\n");
    r = Report("--cases isd.cases --format json");
    EXPECT_EQ(r.out,
              "[\n"
              " {\"Sequence Number\": \"0001\", \"Calling Phone Number\": \"2041\", \"Start Time "
              "of Conversation\": \"2026-12-08 12:30:45\"},\n"
              " {\"Sequence Number\": \"0003\", \"Calling Phone Number\": \"3000\", \"Start Time "
              "of Conversation\": \"2026-12-09 08:00:00\"}\n"
              "]\n");
    r = Report("--cases isd.cases --from 2026-12-09 --format table");
    EXPECT_EQ(r.out,
              "Sequence Number  Calling Phone Number  Start Time of Conversation\n"
              "0003             3000                  2026-12-09 08:00:00\n");
    // With cases the figures are counted call by call, as the database counts them without.
    r = Report("--cases isd.cases --by extension");
    EXPECT_EQ(r.out,
              "group,calls,answered,total_seconds,average_seconds,longest_seconds\n"
              "2041,1,1,120,120,120\n"
              "3000,1,1,600,600,600\n");
}

TEST_F(VelkReport, RefusesWhatItCannotRead) {
    test::WriteFile(base_ / "bad.cases", "[Case 2]\nCall Type=Nonsense\n");
    ProgramRun r = Report("--cases bad.cases");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err,
              "velk-report: bad.cases, case 2, Call Type=Nonsense: not one of the texts of "
              "\"Call Type\"\n");
    for (const char* args : {"--by week", "--format xml", "--from yesterday", "--dir",
                             "--by site", "--site Branch", "--db host=/nonexistent --site ''"}) {
        r = Report(args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_NE(r.err.find("Try 'velk-report --help' for more information."), std::string::npos)
            << args;
    }
    r = Report("--dir '" + (base_ / "Bill").string() + "'");  // no index there
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("there is no record index"), std::string::npos);
    r = Report("--db 'host=/nonexistent dbname=velk' --by site");  // no server there
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("/nonexistent/.s.PGSQL.5432"), std::string::npos) << r.err;
}

// Rows as live indexing and a rebuild give them: everything but the source and the time stored.
std::vector<std::string> Rows(const std::filesystem::path& base) {
    std::vector<std::string> rows;
    SqliteRecordIndex index(base / kRecordIndexFile, SqliteRecordIndex::Mode::Read);
    EXPECT_TRUE(index.Select({}, [&](const IndexRow& row) {
        std::string r = std::to_string(row.id) + "/" + std::to_string(row.occurrence) + "/" +
                        row.raw + "/" + std::to_string(row.hexType);
        for (const IndexValue& v : row.values)
            r += "|" + test::ValueKey(v);
        rows.push_back(r);
        return true;
    }));
    return rows;
}

TEST(VelkIndex, AfterAnImportTheIndexEqualsTheDecodedFilesAndARebuildGivesTheSameRows) {
    test::TempDir base;
    const std::string settings = "'" + std::string(VELK_SETTINGS_BIN) + "' '" +
                                 base.Path().string() +
                                 "' SaveToFile=1 MakeHeader=1 RawSave=1 RawSaveDaily=1 columns=all";
    ASSERT_EQ(std::system(settings.c_str()), 0);
    // 3000 varied records, then the first 100 of them imported a second time.
    std::string raw, again;
    for (int i = 0; i < 3000; ++i) {
        RecordBuilder r;
        char text[16];
        std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(i));
        r.sequence = text;
        std::snprintf(text, sizeof text, "%04d", 2000 + i % 37);
        r.calling = std::string(text) + "FFFF";
        std::snprintf(text, sizeof text, "%02X", i % 60);
        r.end = "141A0C080C20" + std::string(text);
        r.charge = i % 2 ? "08" : "01";
        r.optional = RecordBuilder::Opt("03", "0" + std::to_string(i % 10)) +
                     RecordBuilder::Opt("06", std::to_string(100 + i % 7)) + "FF";
        const std::string f = r.Frame();
        raw += f.substr(0, f.size() - 1) + "\r\n";
        if (i < 100)
            again += f.substr(0, f.size() - 1) + "\r\n";
    }
    test::WriteFile(base / "a.raw", raw);
    test::WriteFile(base / "b.raw", again);
    ASSERT_EQ(Program(VELK_IMPORT_BIN, base.Path(), "--store-again a.raw b.raw").code, 0);
    test::ExpectIndexEqualsDecodedFiles(base.Path(), {base / "Bill" / "20261208.csv"});
    const std::vector<std::string> live = Rows(base.Path());
    ASSERT_EQ(live.size(), 3100u);

    // Nothing is missing: a rebuild adds nothing.
    ProgramRun r = Program(VELK_INDEX_BIN, base.Path(), "rebuild");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("3100 call records, 0 added to the index, 3100 were there"), std::string::npos)
        << r.out;
    // From nothing: the same rows.
    std::filesystem::remove(base / kRecordIndexFile);
    r = Program(VELK_INDEX_BIN, base.Path(), "rebuild");
    EXPECT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> rebuilt = Rows(base.Path());
    EXPECT_EQ(rebuilt.size(), live.size());
    EXPECT_TRUE(rebuilt == live) << "a rebuild gave other rows than live indexing";
}

}  // namespace
}  // namespace velk
