// velk-report and velk-index as a script runs them, over records whose fields the test knows:
// the reports in all three formats, the index after an import equal to the decoded files, and a
// rebuild from the raw files giving the same rows as live indexing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/archive/index_row.h"
#include "core/decode/code_tables.h"
#include "core/decode/field_decoder.h"
#include "core/decode/record_builder.h"
#include "support/index_check.h"
#include "support/ordinary_user.h"
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

// Each end of --from/--to keeps its own precision: a date is the whole day at that end, a
// date-time that moment. Dates that do not exist, and empty ends, are refused.
TEST_F(VelkReport, EachEndOfTheDatesKeepsItsPrecisionAndDatesAreChecked) {
    ProgramRun r = Report("--from '2026-12-08 12:31:00' --to 2026-12-08 --format csv");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "Sequence Number,Calling Phone Number,Start Time of Conversation\n"
              "0002,2041,2026-12-08 13:00:00\n");
    r = Report("--from 2026-12-09 --to '2026-12-09 08:59:59' --format csv");
    EXPECT_EQ(r.out,
              "Sequence Number,Calling Phone Number,Start Time of Conversation\n"
              "0003,3000,2026-12-09 08:00:00\n");
    r = Report("--by day --from '2026-12-08 12:31:00' --to 2026-12-09");
    EXPECT_EQ(r.out,
              "group,calls,answered,total_seconds,average_seconds,longest_seconds\n"
              "2026-12-08,1,0,30,30,30\n"
              "2026-12-09,2,2,605,303,600\n");
    r = Report("--by day --from 2026-12-08 --to '2026-12-09 08:59:59'");
    EXPECT_EQ(r.out,
              "group,calls,answered,total_seconds,average_seconds,longest_seconds\n"
              "2026-12-08,2,1,150,75,120\n"
              "2026-12-09,1,1,600,600,600\n");
    for (const char* args : {"--from 2026-13-45", "--to 2026-02-29", "--from ''", "--to ''",
                             "--from '2026-12-08 24:00:00'", "--from 2026-12", "--cases ''"}) {
        r = Report(args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_NE(r.err.find("Try 'velk-report --help' for more information."), std::string::npos)
            << args << ": " << r.err;
    }
    r = Report("--from 2026-13-45");
    EXPECT_NE(r.err.find("'2026-13-45' is no such date or time"), std::string::npos) << r.err;
}

TEST_F(VelkReport, ACasesFileIsAFileAndMayBeginWithAByteOrderMark) {
    test::WriteFile(base_ / "bom.cases", "\xEF\xBB\xBF[Case 1]\r\nCall Type=DDD Call\r\n");
    ProgramRun r = Report("--cases bom.cases --format csv");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "Sequence Number,Calling Phone Number,Start Time of Conversation\n"
              "0002,2041,2026-12-08 13:00:00\n");
    std::filesystem::create_directory(base_ / "cases");
    r = Report("--cases cases");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velk-report: cases, it is a directory, not a cases file\n");
}

// A reading program never makes the directory it is given.
TEST_F(VelkReport, AMissingDirectoryIsReportedNotMade) {
    for (const auto& [bin, args] :
         std::vector<std::pair<const char*, std::string>>{{VELK_REPORT_BIN, "--dir NEW"},
                                                          {VELK_REPORT_BIN, "--dir NEW --by day"},
                                                          {VELK_INDEX_BIN, "--dir NEW rebuild"},
                                                          {VELK_INDEX_BIN, "--dir NEW check"}}) {
        const ProgramRun r = Program(bin, base_.Path(), args);
        EXPECT_EQ(r.code, 1) << args;
        EXPECT_NE(r.err.find("NEW:\nThere is no such directory."), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(base_ / "NEW")) << args;
    }
    const ProgramRun r = Program(VELK_INDEX_BIN, base_.Path(), "check");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, (base_ / "VELK.db").string() + ": sound, 4 calls\n");
}

// The billing application's user, a member of the collector's group: it may read the files and
// create none beside them. It reads with the collector stopped and with it running.
TEST_F(VelkReport, AMemberOfTheGroupReadsWithTheCollectorStoppedAndRunning) {
    const bool root = ::geteuid() == 0;
    const auto share = [&](const std::filesystem::path& path, mode_t mode) {
        if (root) {
            ASSERT_EQ(::chown(path.c_str(), 0, test::OrdinaryUid()), 0) << path;
        }
        ASSERT_EQ(::chmod(path.c_str(), root ? mode : (mode & 0550)), 0) << path;
    };
    for (const auto& e : std::filesystem::recursive_directory_iterator(base_.Path()))
        share(e.path(), e.is_directory() ? 0750 : 0640);
    share(base_.Path(), 0750);
    test::TempDir out;
    ::chmod(out.Path().c_str(), 0777);
    const auto asMember = [&](const char* bin, const std::string& args) {
        ProgramRun r;
        r.code = test::AsOrdinaryUser([&] {
            const std::string command =
                "'" + std::string(bin) + "' --dir '" + base_.Path().string() + "' " + args + " >'" +
                (out / "out.txt").string() + "' 2>'" + (out / "err.txt").string() + "'";
            const int status = std::system(command.c_str());
            return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
        });
        r.out = test::ReadFile(out / "out.txt");
        r.err = test::ReadFile(out / "err.txt");
        return r;
    };
    ProgramRun r = asMember(VELK_REPORT_BIN, "--by extension --format csv");
    EXPECT_EQ(r.code, 0) << "stopped: " << r.err;
    EXPECT_EQ(r.out,
              "group,calls,answered,total_seconds,average_seconds,longest_seconds\n"
              "2041,3,2,155,52,120\n3000,1,1,600,600,600\n");
    r = asMember(VELK_INDEX_BIN, "check");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, (base_ / "VELK.db").string() + ": sound, 4 calls\n");

    // The collector running: a call in its log that the database file does not hold yet.
    SqliteRecordIndex collector(base_ / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
    const std::string f =
        Frame("0005", "4000", "08", "141A0C0A080000", "141A0C0A080001", "04", "00");
    const BillingMessage m(reinterpret_cast<const uint8_t*>(f.data()),
                           static_cast<uint32_t>(f.size() - 4));
    AppSettings settings;
    std::array<std::string, 50> texts;
    FieldDecoder(settings).DecodeRecord(m, 1, texts);
    std::vector<IndexRow> rows = {MakeIndexRow(m, texts, 1, 2, RecordSource::Link, 0)};
    ASSERT_TRUE(collector.Add(rows)) << collector.ErrorText();
    r = asMember(VELK_REPORT_BIN, "--from 2026-12-10 --format csv");
    EXPECT_EQ(r.code, 0) << "running: " << r.err;
    EXPECT_EQ(r.out,
              "Sequence Number,Calling Phone Number,Start Time of Conversation\n"
              "0005,4000,2026-12-10 08:00:00\n");
    r = asMember(VELK_INDEX_BIN, "check");
    EXPECT_EQ(r.out, (base_ / "VELK.db").string() + ": sound, 5 calls\n") << r.err;
}

// The peak of a program's resident memory in KiB (VmHWM, followed while it runs: a forked
// child would count the test's own memory), or -1 when it fails.
long PeakKiB(const std::vector<std::string>& args, const std::filesystem::path& output) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The sanitizer keeps freed memory back for a while: as little as can be, here.
    std::string asan = "ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=1";
    char* env[] = {asan.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    long peak = 0;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("VmHWM:", 0) == 0)
                peak = std::max(peak, std::stol(line.substr(6)));
        }
        ::usleep(5000);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? peak : -1;
}

// The calls are written as they are read: listing 32,768 calls takes no more memory than
// listing sixteen (kept all at once, they would take some 60 MB more).
TEST(VelkReportLarge, ListingALargeIndexTakesNoMoreMemoryThanASmallOne) {
    test::TempDir small, large;
    const std::string f =
        Frame("0001", "2041", "08", "141A0C080C1E2D", "141A0C080C202D", "04", "0044207");
    const BillingMessage m(reinterpret_cast<const uint8_t*>(f.data()),
                           static_cast<uint32_t>(f.size() - 4));
    AppSettings settings;
    std::array<std::string, 50> texts;
    FieldDecoder(settings).DecodeRecord(m, 1, texts);
    std::string columns = "occurrence, raw, hex_type, source, stored_at, raw_hash";
    for (int c = 0; c < kIndexColumns; ++c)
        columns += ", \"" + IndexColumnName(c) + "\"";
    for (const auto& [dir, doublings] : {std::pair{&small, 4}, std::pair{&large, 15}}) {
        const std::string columns3 = "'" + std::string(VELK_SETTINGS_BIN) + "' '" +
                                     dir->Path().string() +
                                     "' f1=1 SaveInd0=0 f2=1 SaveInd1=3 f3=1 SaveInd2=4";
        ASSERT_EQ(std::system(columns3.c_str()), 0);
        SqliteRecordIndex index(*dir / kRecordIndexFile, SqliteRecordIndex::Mode::Write);
        std::vector<IndexRow> rows = {MakeIndexRow(m, texts, 1, 2, RecordSource::Link, 0)};
        ASSERT_TRUE(index.Add(rows));
        for (int i = 0; i < doublings; ++i) {
            ASSERT_TRUE(index.Execute("INSERT INTO calls (" + columns + ") SELECT " + columns +
                                      " FROM calls"));
        }
        // Starts of their own, so that the order is not the order of entry.
        ASSERT_TRUE(
            index.Execute("UPDATE calls SET start_time_of_conversation = printf("
                          "'2026-12-%02d %02d:%02d:%02d', id % 28 + 1, id * 7 % 24, "
                          "id % 60, id / 60 % 60)"));
        ASSERT_EQ(index.Count(), int64_t{1} << doublings);
    }
    const auto run = [](const test::TempDir& dir) {
        return PeakKiB({VELK_REPORT_BIN, "--dir", dir.Path().string(), "--format", "csv"},
                       dir / "calls.csv");
    };
    const long smallKiB = run(small), largeKiB = run(large);
    ASSERT_GT(smallKiB, 0);
    ASSERT_GT(largeKiB, 0);
    EXPECT_LT(largeKiB, smallKiB + 32 * 1024) << smallKiB << " KiB, then " << largeKiB << " KiB";
    // Every call, in start-time order.
    const std::string csv = test::ReadFile(large / "calls.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), (1 << 15) + 1);
    std::vector<std::string> starts;
    for (size_t at = csv.find('\n') + 1; at < csv.size(); at = csv.find('\n', at) + 1) {
        const size_t end = csv.find('\n', at);
        const size_t comma = csv.rfind(',', end);
        starts.push_back(csv.substr(comma + 1, end - comma - 1));
    }
    ASSERT_EQ(starts.size(), size_t{1} << 15);
    EXPECT_TRUE(std::is_sorted(starts.begin(), starts.end()));
}

// Days from 1970-01-01 of a date.
int64_t Days(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = y / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

struct Moment {
    int y, mo, d, h, mi, s;
    int64_t Seconds() const { return Days(y, mo, d) * 86400 + h * 3600 + mi * 60 + s; }
    static Moment Of(int64_t t) {
        int64_t days = t / 86400, rest = t % 86400;
        Moment m{1970,
                 1,
                 1,
                 static_cast<int>(rest / 3600),
                 static_cast<int>(rest / 60 % 60),
                 static_cast<int>(rest % 60)};
        while (Days(m.y + 1, 1, 1) <= days)
            ++m.y;
        while (m.mo < 12 && Days(m.y, m.mo + 1, 1) <= days)
            ++m.mo;
        m.d = static_cast<int>(days - Days(m.y, m.mo, 1)) + 1;
        return m;
    }
    // The pairs of a record: century, year, month, day, hour, minute, second in hexadecimal.
    std::string Pairs() const {
        char text[32];
        std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X", y / 100, y % 100, mo, d, h,
                      mi, s);
        return text;
    }
};

// The report's figures against a computation of their own: records over a month's end with
// edge values (the last and the first second of a day, no duration, an end before the start),
// every grouping over windows with dates and date-times at either end.
TEST(VelkReportFigures, EqualAnIndependentComputation) {
    struct Call {
        int seq;
        int64_t start, seconds;
        std::string calling, dialled;
        int trunk, type;
        bool answered;
    };
    std::vector<Call> calls;
    const int64_t first = Moment{2026, 11, 29, 0, 0, 0}.Seconds();
    for (int i = 0; i < 240; ++i) {
        Call c;
        c.seq = i + 1;
        c.start = first + i * 1637 + (i % 11 == 0 ? 0 : 13);
        c.seconds = (i * 97) % 700;
        c.calling = std::to_string(2000 + i % 7);
        c.dialled = (i % 4 == 0 ? "00" : "0") + std::to_string(3000 + i * 31 % 977);
        c.trunk = i % 3 + 1;
        c.type = i % 5;
        c.answered = i % 3 != 0;
        calls.push_back(c);
    }
    // The ends of the days around the month's end, and an end before the start.
    const int64_t edges[] = {
        Moment{2026, 11, 30, 23, 59, 59}.Seconds(), Moment{2026, 12, 1, 0, 0, 0}.Seconds(),
        Moment{2026, 11, 30, 12, 0, 0}.Seconds(), Moment{2026, 12, 1, 11, 59, 59}.Seconds(),
        Moment{2026, 12, 1, 12, 0, 0}.Seconds()};
    for (int64_t edge : edges) {
        Call c = calls.back();
        c.seq = static_cast<int>(calls.size()) + 1;
        c.start = edge;
        c.seconds = edge % 3 == 0 ? 0 : 45;
        calls.push_back(c);
    }
    calls.back().seconds = -100;

    std::string raw;
    for (const Call& c : calls) {
        RecordBuilder r;
        char text[16];
        std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(c.seq));
        r.sequence = text;
        std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(c.trunk));
        r.ogTrunk = text;
        r.charge = c.answered ? "08" : "01";
        r.calling = c.calling + "FFFF";
        r.start = Moment::Of(c.start).Pairs();
        r.end = Moment::Of(c.start + c.seconds).Pairs();
        r.dialled = c.dialled + std::string(24 - c.dialled.size(), 'F');
        std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(c.type));
        r.optional = RecordBuilder::Opt("03", text) + "FF";
        const std::string f = r.Frame();
        raw += f.substr(0, f.size() - 1) + "\r\n";
    }
    test::TempDir base;
    const std::string settings = "'" + std::string(VELK_SETTINGS_BIN) + "' '" +
                                 base.Path().string() +
                                 "' SaveToFile=1 RawSave=1 RawSaveDaily=1 f1=1 SaveInd0=0 "
                                 "f2=1 SaveInd1=4";
    ASSERT_EQ(std::system(settings.c_str()), 0);
    test::WriteFile(base / "calls.raw", raw);
    ASSERT_EQ(Program(VELK_IMPORT_BIN, base.Path(), "calls.raw").code, 0);

    const auto text = [](int64_t t, bool date) {
        const Moment m = Moment::Of(t);
        char out[32];
        if (date)
            std::snprintf(out, sizeof out, "%04d-%02d-%02d", m.y, m.mo, m.d);
        else
            std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", m.y, m.mo, m.d, m.h,
                          m.mi, m.s);
        return std::string(out);
    };
    const int64_t nov30 = Moment{2026, 11, 30, 0, 0, 0}.Seconds();
    const int64_t dec1 = Moment{2026, 12, 1, 0, 0, 0}.Seconds();
    struct Window {
        std::string from, to;
        int64_t low, high;
    };
    const Window windows[] = {
        {"", "", INT64_MIN, INT64_MAX},
        {"2026-11-30", "2026-12-01", nov30, dec1 + 86399},
        {"2026-11-30 12:00:00", "2026-12-01", nov30 + 43200, dec1 + 86399},
        {"2026-11-30", "2026-12-01 11:59:59", nov30, dec1 + 43199},
        {"2026-11-30 23:59:59", "2026-12-01 12:00:00", nov30 + 86399, dec1 + 43200},
    };
    const char* bys[] = {"extension", "trunk", "call-type", "dialled-prefix", "hour", "day"};
    for (const Window& w : windows) {
        std::vector<const Call*> in;
        for (const Call& c : calls) {
            if (c.start >= w.low && c.start <= w.high)
                in.push_back(&c);
        }
        ASSERT_FALSE(in.empty());
        const std::string window = (w.from.empty() ? "" : " --from '" + w.from + "'") +
                                   (w.to.empty() ? "" : " --to '" + w.to + "'");
        for (const char* by : bys) {
            std::map<std::pair<int64_t, std::string>, GroupTotals> groups;
            for (const Call* c : in) {
                const std::string t = text(c->start, false);
                std::pair<int64_t, std::string> key;
                const std::string b = by;
                if (b == "extension")
                    key = {0, c->calling};
                else if (b == "trunk")
                    key = {c->trunk, std::to_string(c->trunk)};
                else if (b == "call-type")
                    key = {c->type, CodeText(9, c->type)};
                else if (b == "dialled-prefix")
                    key = {0, c->dialled.substr(0, 3)};
                else if (b == "hour")
                    key = {0, t.substr(11, 2)};
                else
                    key = {0, t.substr(0, 10)};
                GroupTotals& g = groups[key];
                g.group = key.second;
                ++g.calls;
                g.answered += c->answered ? 1 : 0;
                g.totalSeconds += std::max<int64_t>(c->seconds, 0);
                g.longestSeconds = std::max(g.longestSeconds, c->seconds);
            }
            std::string expected =
                "group,calls,answered,total_seconds,average_seconds,"
                "longest_seconds\n";
            for (const auto& [key, g] : groups) {
                expected += g.group + "," + std::to_string(g.calls) + "," +
                            std::to_string(g.answered) + "," + std::to_string(g.totalSeconds) +
                            "," + std::to_string((g.totalSeconds + g.calls / 2) / g.calls) + "," +
                            std::to_string(g.longestSeconds) + "\n";
            }
            const ProgramRun r =
                Program(VELK_REPORT_BIN, base.Path(), std::string("--by ") + by + window);
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(r.out, expected) << by << window;
        }
        // The calls themselves, in start-time order.
        std::vector<const Call*> ordered = in;
        std::stable_sort(ordered.begin(), ordered.end(),
                         [](const Call* a, const Call* b) { return a->start < b->start; });
        std::string expected = "Sequence Number,Start Time of Conversation\n";
        for (const Call* c : ordered) {
            char seq[8];  // written in hexadecimal, decoded as a number
            std::snprintf(seq, sizeof seq, "%04d", c->seq);
            expected += std::string(seq) + "," + text(c->start, false) + "\n";
        }
        const ProgramRun r = Program(VELK_REPORT_BIN, base.Path(), "--format csv" + window);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, expected) << window;
    }
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
