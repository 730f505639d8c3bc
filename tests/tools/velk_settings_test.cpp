// velk-settings as a script uses it: exact key names, checked numbers, a file left untouched
// on any error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/foundation/ini_file.h"
#include "core/foundation/settings_store.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

struct ToolRun {
    int code = -1;
    std::string err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

ToolRun Settings(const test::TempDir& dir, const std::vector<std::string>& args) {
    std::string command = Quote(VELK_SETTINGS_BIN) + " " + Quote(dir.Path().string());
    for (const auto& a : args)
        command += " " + Quote(a);
    command += " 2>" + Quote((dir / "err.txt").string());
    ToolRun r;
    const int status = std::system(command.c_str());
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = test::ReadFile(dir / "err.txt");
    return r;
}

class VelkSettingsTest : public ::testing::Test {
protected:
    VelkSettingsTest() {
        EXPECT_EQ(Settings(dir_, {"Site Name=Branch"}).code, 0);
        original_ = test::ReadFile(dir_ / "VELK.INI");
    }
    AppSettings Read() {
        AppSettings s;
        EXPECT_EQ(SettingsStore(dir_.Path()).ReadIniFile(s), 1);
        return s;
    }
    test::TempDir dir_;
    std::string original_;
};

TEST_F(VelkSettingsTest, JunkIsRefusedAndTheFileIsUntouched) {
    const std::vector<std::vector<std::string>> bad = {
        {"AutoConnection=yes"},
        {"Hex_Type=0x10"},
        {"RequestDelayAfterNormalData=99999999999"},
        {"RequestDelayAfterNormalData=-"},
        {"RequestDelayAfterNormalData="},
        {"Column=77"},
        {"T1x=0"},
        {"Col51=10"},
        {"f0=1"},
        {"Col007=1"},
        {"autoconnection=1"},
        {"AutoConnection=1", "Hex_Type=1.5"},  // one bad argument: nothing at all is written
        {"Site Name=two\nlines"},
        {"AutoConnection"},
        {"Hex_Type=2"},  // would decode records in a mixture of bases
        {"Hex_Type=-1"},
        {"IP address=not-an-ip"},  // values are checked against what their key means
        {"Server Port index=9"},
        {"AutoConnection=2"},
        {"Serial Ports/COM1=ttyUSB0"},
        {"Database/Connection=postgresql://velk:secret@db/velk"},
        {"Database/Password=x"},
    };
    for (const auto& args : bad) {
        const ToolRun r = Settings(dir_, args);
        EXPECT_EQ(r.code, 2) << args[0];
        EXPECT_NE(r.err.find("velk-settings: "), std::string::npos) << args[0];
        EXPECT_EQ(test::ReadFile(dir_ / "VELK.INI"), original_) << args[0];
    }
    EXPECT_EQ(Settings(dir_, {"Hex_Type=0x10"}).err,
              "velk-settings: 'Hex_Type=0x10': '0x10' is not a whole number\n");
    EXPECT_EQ(Settings(dir_, {"Column=77"}).err,
              "velk-settings: unknown setting 'Column' (keys are spelt as in VELK.INI)\n");
    EXPECT_EQ(Settings(dir_, {"Hex_Type=2"}).err,
              "velk-settings: 'Hex_Type=2': Hex_Type is 1 (Hex) or 0 (Decimal)\n");
    EXPECT_EQ(Settings(dir_, {"IP address=not-an-ip"}).err,
              "velk-settings: 'IP address=not-an-ip': IP address is an IPv4 address such as "
              "10.0.0.5\n");
}

TEST_F(VelkSettingsTest, ShowPrintsTheValuesAndListTheKeys) {
    ASSERT_EQ(Settings(dir_, {"Server Port index=2", "IP address=10.0.0.5", "RawSave=1"}).code, 0);
    const std::string before = test::ReadFile(dir_ / "VELK.INI");
    const std::string out = (dir_ / "out.txt").string();
    const std::string tool = Quote(VELK_SETTINGS_BIN);
    ASSERT_EQ(std::system((tool + " --dir " + Quote(dir_.Path().string()) + " --show >" +
                           Quote(out))
                              .c_str()),
              0);
    const std::string shown = test::ReadFile(out);
    EXPECT_EQ(shown.rfind("# " + (dir_ / "VELK.INI").string() + "\nIP address=10.0.0.5\n", 0),
              0u)
        << shown;
    for (const char* line : {"\nServer Port index=2  (CS1000 Doubled Billing Server)\n",
                             "\nRawSave=1  (yes)\n", "\nSite Name=Branch\n",
                             "\nSerial Ports/COM1=/dev/ttyS0\n", "\nCol50=46\n"}) {
        EXPECT_NE(shown.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(test::ReadFile(dir_ / "VELK.INI"), before);  // nothing written
    // --show makes nothing where there is nothing, --list needs no directory.
    const std::string typo = (dir_ / "VELKK").string();
    EXPECT_NE(std::system((tool + " --dir " + Quote(typo) + " --show >/dev/null 2>&1").c_str()),
              0);
    EXPECT_FALSE(std::filesystem::exists(typo));
    ASSERT_EQ(std::system((tool + " --list >" + Quote(out)).c_str()), 0);
    const std::string listed = test::ReadFile(out);
    EXPECT_EQ(listed.rfind("IP address\n    the PBX's billing server", 0), 0u) << listed;
    EXPECT_NE(listed.find("\nf1 .. f50\n    1: column k of the decoded record files"),
              std::string::npos);
}

TEST_F(VelkSettingsTest, ExactKeysAndWholeNumbersAreWritten) {
    ASSERT_EQ(Settings(dir_, {"Col50=120", "f50=1", "SaveInd49=48", "T13=0",
                              "RequestDelayAfterNormalData=1000", "Hex_Type=0"})
                  .code,
              0);
    const AppSettings s = Read();
    EXPECT_EQ(s.Col[50], 120);
    EXPECT_EQ(s.f[49], 1);
    EXPECT_EQ(s.SaveInd[49], 48);
    EXPECT_EQ(s.T[13], 0);
    EXPECT_EQ(s.RequestDelayAfterNormalData, 1000);
    EXPECT_EQ(s.Hex_Type, 0);
    EXPECT_EQ(s.Site_Name, "Branch");  // kept from before
}

// A new file's column widths are those the window computes, never 0 (which hides a column); widths
// already in the file stay.
TEST_F(VelkSettingsTest, NewFileGetsVisibleColumnWidths) {
    AppSettings s = Read();
    for (int c = 0; c < kColumnCount; ++c)
        EXPECT_EQ(s.Col[c], 46) << c;
    ASSERT_EQ(Settings(dir_, {"Col3=0", "Col4=120"}).code, 0);
    ASSERT_EQ(Settings(dir_, {"AutoConnection=1"}).code, 0);
    s = Read();
    EXPECT_EQ(s.Col[3], 0);
    EXPECT_EQ(s.Col[4], 120);
    EXPECT_EQ(s.Col[5], 46);
}

TEST_F(VelkSettingsTest, InformationalTextsFollowTheIndexes) {
    ASSERT_EQ(Settings(dir_, {"Server Port index=3", "COM Port number index=1",
                              "COM Port baud rate index=3"})
                  .code,
              0);
    IniDocument doc;
    ASSERT_EQ(doc.Load(dir_ / "VELK.INI"), IniDocument::LoadResult::Loaded);
    EXPECT_EQ(doc.Get("Settings", "Server Port name"), "iPECS-MG Billing Server");
    EXPECT_EQ(doc.Get("Settings", "COM Port number"), "COM2");
    EXPECT_EQ(doc.Get("Settings", "COM Port baud rate"), "9600");
}

TEST_F(VelkSettingsTest, SerialPortDevicesAreSetByTheirSectionAndName) {
    ASSERT_EQ(
        Settings(dir_, {"Serial Ports/COM1=/dev/ttyUSB0", "Serial Ports/COM4=/dev/ttyACM1"}).code,
        0);
    const AppSettings s = Read();
    EXPECT_EQ(s.Serial_Ports[0], "/dev/ttyUSB0");
    EXPECT_EQ(s.Serial_Ports[1], "/dev/ttyS1");
    EXPECT_EQ(s.Serial_Ports[3], "/dev/ttyACM1");
    EXPECT_EQ(Settings(dir_, {"Serial Ports/COM5=/dev/x"}).code, 2);
    EXPECT_EQ(Settings(dir_, {"COM1=/dev/x"}).code, 2);
}

TEST_F(VelkSettingsTest, TheDatabaseIsSetByItsSectionAndName) {
    ASSERT_EQ(Settings(dir_, {"Database/Connection=host=/run/postgresql dbname=velk",
                              "Database/Site=Branch 2"})
                  .code,
              0);
    const AppSettings s = Read();
    EXPECT_EQ(s.Database_Connection, "host=/run/postgresql dbname=velk");
    EXPECT_EQ(s.Database_Site, "Branch 2");
    EXPECT_NE(Settings(dir_, {"Database/Connection=host=db password=x"}).err.find("passfile="),
              std::string::npos);
}

// Every spelling of a password libpq would find, or that it cannot read at all (its message
// would repeat the text into the log), is refused without being repeated; so is a key spelt
// PASSWORD, which libpq refuses but which would leave the secret in the file.
TEST_F(VelkSettingsTest, APasswordIsRefusedInEverySpellingAndNeverRepeated) {
    for (const std::string connection :
         {" postgresql://velk:S3cr3t@/velk?host=/run/postgresql",
          "POSTGRESQL://velk:S3cr3t@db/velk", "postgresql://velk:pa?S3cr3t@db/velk",
          "host=db dbname=velk PASSWORD=S3cr3t", "host=db password = 'S3cr3t'",
          "postgresql://db/velk?user=velk&pass%77ord=S3cr3t", "postgresql://velk:S3cr3t@db/velk",
          "postgresql://db/velk?password=S3cr3t"}) {
        const ToolRun r = Settings(dir_, {"Database/Connection=" + connection, "Database/Site=HQ"});
        EXPECT_EQ(r.code, 2) << connection;
        EXPECT_EQ(r.err.rfind("velk-settings: Database/Connection ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find("S3cr3t"), std::string::npos) << r.err;
        EXPECT_EQ(test::ReadFile(dir_ / "VELK.INI"), original_) << connection;
    }
    // What libpq cannot read is refused too, with its reason.
    const ToolRun r = Settings(dir_, {"Database/Connection=host=db dbname"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err,
              "velk-settings: Database/Connection cannot be read as a connection string "
              "or URI: missing \"=\" after \"dbname\" in connection info string\n");
    // The password file is the place.
    EXPECT_EQ(Settings(dir_, {"Database/Connection=postgresql://velk@db/velk?passfile=/etc/pgpass",
                              "Database/Site=HQ"})
                  .code,
              0);
}

// A site's name goes into the server's keys: one they cannot hold is refused at once.
TEST_F(VelkSettingsTest, ASiteNameTooLongForTheServerIsRefused) {
    const std::string longName(9000, 'x');
    ToolRun r =
        Settings(dir_, {"Database/Connection=host=db dbname=velk", "Database/Site=" + longName});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err,
              "velk-settings: the site name is too long for the database server: 9000 "
              "characters, at most 200 (Database/Site, or Site Name)\n");
    r = Settings(dir_, {"Database/Connection=host=db dbname=velk", "Site Name=" + longName});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(test::ReadFile(dir_ / "VELK.INI"), original_);
    // Without a database a long site name is only a title.
    EXPECT_EQ(Settings(dir_, {"Site Name=" + longName}).code, 0);
    EXPECT_EQ(Settings(dir_, {"Database/Connection=host=db dbname=velk",
                              "Database/Site=" + std::string(200, 'y')})
                  .code,
              0);
}

TEST_F(VelkSettingsTest, UnreadableValueIsReportedUnlessTheArgumentsReplaceIt) {
    std::string corrupt = original_;
    const auto at = corrupt.find("Hex_Type=");
    ASSERT_NE(at, std::string::npos);
    corrupt.replace(at, 19, "Hex_Type=0100000009");  // wrong checksum
    test::WriteFile(dir_ / "VELK.INI", corrupt);
    const ToolRun r = Settings(dir_, {"AutoConnection=1"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("the value of Settings/Hex_Type cannot be read"), std::string::npos);
    EXPECT_EQ(test::ReadFile(dir_ / "VELK.INI"), corrupt);
    ASSERT_EQ(Settings(dir_, {"AutoConnection=1", "Hex_Type=1"}).code, 0);
    EXPECT_EQ(Read().Hex_Type, 1);
}

// Written as the programs write it: the new file reaches the disk before it replaces the old one,
// and the replacement reaches the disk after (the system calls, as strace sees them).
TEST_F(VelkSettingsTest, NewFileIsFlushedBeforeItReplacesTheOldOne) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace cannot run here";
    const std::string trace = (dir_ / "trace").string();
    const std::string command = "strace -y -e trace=fsync,fdatasync,rename,renameat,renameat2 -o " +
                                Quote(trace) + " " + Quote(VELK_SETTINGS_BIN) + " " +
                                Quote(dir_.Path().string()) + " 'Site Name=Other'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::vector<std::string> steps;
    const std::string text = test::ReadFile(trace);
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        if (line.find(" = 0") == std::string::npos)
            continue;
        if (line.rfind("fsync(", 0) == 0 || line.rfind("fdatasync(", 0) == 0) {
            const size_t open = line.find('<');
            steps.push_back("flush " + line.substr(open + 1, line.find('>') - open - 1));
        } else if (line.rfind("rename", 0) == 0) {
            std::string step = "rename";
            for (size_t q = line.find('"'); q != std::string::npos; q = line.find('"', q + 1)) {
                const size_t close = line.find('"', q + 1);
                step += " " + line.substr(q + 1, close - q - 1);
                q = close;
            }
            steps.push_back(step);
        }
    }
    const std::string ini = (dir_ / "VELK.INI").string();
    EXPECT_EQ(steps,
              (std::vector<std::string>{"flush " + ini + ".tmp", "rename " + ini + ".tmp " + ini,
                                        "flush " + dir_.Path().string()}));
}

// Run as root on a service's directory, the file stays the service's: an existing file keeps its
// owner, group and mode, a new one takes its directory's (without the execute bits).
TEST(VelkSettingsOwner, FileKeepsItsOwnerGroupAndMode) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root gives a file to another user";
    struct Case {
        const char* what;
        bool existing;  // the file is there (else only its directory)
        uid_t uid;
        gid_t gid;
        mode_t mode;  // of the file, or of the directory
        mode_t expected;
    };
    const Case cases[] = {
        {"the service's file", true, 65534, 65534, 0640, 0640},
        {"a file its group writes", true, 65534, 0, 0660, 0660},
        {"a new file in the service's directory", false, 65534, 65534, 0750, 0640},
        {"a new file in root's directory", false, 0, 0, 0755, 0644},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        const std::string ini = (dir / "VELK.INI").string();
        if (c.existing) {
            ASSERT_EQ(Settings(dir, {"Site Name=Before"}).code, 0);
            ASSERT_EQ(::chown(ini.c_str(), c.uid, c.gid), 0);
            ASSERT_EQ(::chmod(ini.c_str(), c.mode), 0);
        } else {
            ASSERT_EQ(::chown(dir.Path().c_str(), c.uid, c.gid), 0);
            ASSERT_EQ(::chmod(dir.Path().c_str(), c.mode), 0);
        }
        ASSERT_EQ(Settings(dir, {"Site Name=After"}).code, 0);
        struct stat st {};
        ASSERT_EQ(::stat(ini.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.uid);
        EXPECT_EQ(st.st_gid, c.gid);
        EXPECT_EQ(st.st_mode & 07777, c.expected);
        EXPECT_NE(test::ReadFile(ini).find("Site Name=After"), std::string::npos);
    }
}

}  // namespace
}  // namespace velk
