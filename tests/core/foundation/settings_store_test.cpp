#include "core/foundation/settings_store.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "core/foundation/ini_file.h"
#include "support/ordinary_user.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// A file with every key written by the program itself from the given settings.
std::string CompleteFile(const TempDir& dir, const AppSettings& s = {}) {
    SettingsStore store(dir.Path());
    EXPECT_EQ(store.WriteIniFile(s), 1);
    return ReadFile(dir / "VELK.INI");
}

// Replaces the value of one key in a file text (the first line starting with "key=").
std::string WithLine(std::string text, const std::string& key, const std::string* value) {
    const auto pos = text.find("\r\n" + key + "=");
    EXPECT_NE(pos, std::string::npos) << key;
    const auto end = text.find("\r\n", pos + 2);
    text.replace(pos, end - pos, value ? "\r\n" + key + "=" + *value : std::string());
    return text;
}

class SettingsStoreTest : public ::testing::Test {
protected:
    int ReadBack(const std::string& content, AppSettings& s) {
        WriteFile(dir_ / "VELK.INI", content);
        return SettingsStore(dir_.Path()).ReadIniFile(s);
    }
    TempDir dir_;
};

TEST_F(SettingsStoreTest, MissingFileGivesDefaultsAndFailure) {
    AppSettings s;
    s.Hex_Type = 7;
    EXPECT_EQ(SettingsStore(dir_.Path()).ReadIniFile(s), 0);
    EXPECT_EQ(s.APP_IPAddr, "127.0.0.1");
    EXPECT_EQ(s.Hex_Type, 7);  // missing keys leave the field as it was
    EXPECT_EQ(s.File_Extension, "csv");
    EXPECT_EQ(s.SCCallingSequence, "1-1024");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "VELK.INI"));
}

TEST_F(SettingsStoreTest, CompleteFileReadsBackEveryValue) {
    AppSettings w;
    w.APP_IPAddr = "10.1.2.3";
    w.Site_Name = "Head office";
    w.Server_Port_index = 3;
    w.Hex_Type = 0;
    w.Col[50] = 77;
    w.f[49] = 1;
    w.SaveInd[0] = 50;
    w.File_Extension = "txt";
    w.Distributor_ASCII_Code = "09";
    w.T[13] = 0;
    w.SCFilter_USE = 1;
    w.SCCalledSequence = "1,2,3-5";
    w.LaunchMin = 1;
    w.RequestDelayAfterNormalData = -5;
    w.APP_Raw_Profile_Number = 12345;
    w.DoBufferDecodedToOut = 1;
    const std::string content = CompleteFile(dir_, w);

    AppSettings r;
    EXPECT_EQ(ReadBack(content, r), 1);
    EXPECT_EQ(r.APP_IPAddr, "10.1.2.3");
    EXPECT_EQ(r.Site_Name, "Head office");
    EXPECT_EQ(r.Server_Port_index, 3);
    EXPECT_EQ(r.Hex_Type, 0);
    EXPECT_EQ(r.Col[50], 77);
    EXPECT_EQ(r.f[49], 1);
    EXPECT_EQ(r.SaveInd[0], 50);
    EXPECT_EQ(r.File_Extension, "txt");
    EXPECT_EQ(r.Distributor_ASCII_Code, "09");
    EXPECT_EQ(r.T[13], 0);
    EXPECT_EQ(r.SCFilter_USE, 1);
    EXPECT_EQ(r.SCCalledSequence, "1,2,3-5");
    EXPECT_EQ(r.LaunchMin, 1);
    EXPECT_EQ(r.RequestDelayAfterNormalData, -5);
    EXPECT_EQ(r.APP_Raw_Profile_Number, 12345);
    EXPECT_EQ(r.DoBufferDecodedToOut, 1);
}

TEST_F(SettingsStoreTest, NewFileHasSectionsAndKeysInTableOrder) {
    const std::string c = CompleteFile(dir_);
    EXPECT_EQ(c.rfind("[Settings]\r\nIP address=127.0.0.1\r\nSite Name=\r\n"
                      "APP_HD_Buffer_Directory=\r\nServer Port index=0000000000\r\n"
                      "Server Port name=\r\nCOM Port number index=0000000000\r\n",
                      0),
              0u);
    const auto settings = c.find("[Settings]");
    const auto cols = c.find("[List1ColWidth]");
    const auto saver = c.find("[Saver]");
    const auto filter = c.find("[Saver Filter]");
    const auto app = c.find("[Application]");
    EXPECT_LT(settings, cols);
    EXPECT_LT(cols, saver);
    EXPECT_LT(saver, filter);
    EXPECT_LT(filter, app);
    // Settings keys listed after LaunchMin are written into the Settings section.
    const auto hexType = c.find("Hex_Type=0100000001\r\n");
    EXPECT_EQ(c.substr(hexType + 21, 30), "DoBufferPacked=0000000000\r\nDoB");
    EXPECT_EQ(c.find("DoBufferDecodedToOut=0000000000\r\n") + 33, cols);
    EXPECT_NE(c.find("RequestDelayAfterNormalData=C8000000C8\r\n"), std::string::npos);
    // The device files of the COM names come last, in a section of their own.
    EXPECT_EQ(c.substr(app),
              "[Application]\r\nLaunchMin=0000000000\r\n[Serial Ports]\r\nCOM1=/dev/ttyS0\r\n"
              "COM2=/dev/ttyS1\r\nCOM3=/dev/ttyS2\r\nCOM4=/dev/ttyS3\r\n");
    EXPECT_EQ(c.find('\n'), c.find("\r\n") + 1);  // CR LF line ends
}

// The device files never count as a failure: missing or empty they keep their defaults.
TEST_F(SettingsStoreTest, SerialPortDevicesNeverFailAndAreKept) {
    std::string c = CompleteFile(dir_);
    c.erase(c.find("[Serial Ports]"));
    c += "[Serial Ports]\r\nCOM2=/dev/ttyUSB0\r\nCOM3=\r\n";
    AppSettings s;
    EXPECT_EQ(ReadBack(c, s), 1);
    EXPECT_EQ(s.Serial_Ports[0], "/dev/ttyS0");
    EXPECT_EQ(s.Serial_Ports[1], "/dev/ttyUSB0");
    EXPECT_EQ(s.Serial_Ports[2], "/dev/ttyS2");
    ASSERT_EQ(SettingsStore(dir_.Path()).WriteIniFile(s), 1);
    EXPECT_NE(
        ReadFile(dir_ / "VELK.INI")
            .find("[Serial Ports]\r\nCOM2=/dev/ttyUSB0\r\nCOM3=/dev/ttyS2\r\nCOM1=/dev/ttyS0\r\n"),
        std::string::npos);
    EXPECT_EQ(SerialDevice(s, "COM2"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialDevice(s, "COM5"), "");
}

TEST_F(SettingsStoreTest, EachMissingCountedKeyFailsButKeepsReading) {
    const std::string complete = CompleteFile(dir_);
    for (const char* key :
         {"Server Port index", "Hex_Type", "Col0", "Col50", "f1", "SaveInd49", "T0", "SCFilter_USE",
          "LaunchMin", "APP_360Format", "HD_Used", "APP_Raw_Profile_Number"}) {
        AppSettings s;
        s.APP_360Format = 1;  // written as 0; reading it proves the reader went on to the end
        EXPECT_EQ(ReadBack(WithLine(complete, key, nullptr), s), 0) << key;
        if (std::string(key) != "APP_360Format") {
            EXPECT_EQ(s.APP_360Format, 0) << key;
        }
    }
}

TEST_F(SettingsStoreTest, KeysThatNeverFail) {
    const std::string complete = CompleteFile(dir_);
    const std::string empty;
    for (const char* key :
         {"IP address", "Site Name", "APP_HD_Buffer_Directory", "Server Port name",
          "COM Port number", "COM Port baud rate", "File Extension", "Distributor ASCII Code",
          "SCCallingSequence", "SCCalledSequence"}) {
        AppSettings s;
        EXPECT_EQ(ReadBack(WithLine(complete, key, nullptr), s), 1) << key << " missing";
    }
    AppSettings s;
    EXPECT_EQ(ReadBack(WithLine(complete, "IP address", &empty), s), 1);
    EXPECT_EQ(s.APP_IPAddr, "127.0.0.1");
}

// The silence alarm's minutes: optional, written only once used.
TEST_F(SettingsStoreTest, NoRecordsAlarmKeyIsOptional) {
    const std::string plain = CompleteFile(dir_);
    EXPECT_EQ(plain.find("NoRecordsAlarmMinutes"), std::string::npos);
    AppSettings s;
    s.NoRecordsAlarmMinutes = 99;
    EXPECT_EQ(ReadBack(plain, s), 1);        // complete without it
    EXPECT_EQ(s.NoRecordsAlarmMinutes, 99);  // and the value is left alone

    AppSettings w;
    w.NoRecordsAlarmMinutes = 15;
    std::filesystem::remove(dir_ / "VELK.INI");
    const std::string used = CompleteFile(dir_, w);
    EXPECT_NE(used.find("NoRecordsAlarmMinutes=0F0000000F\r\n"), std::string::npos);
    AppSettings r;
    EXPECT_EQ(ReadBack(used, r), 1);
    EXPECT_EQ(r.NoRecordsAlarmMinutes, 15);
    // Once there, it stays, also when turned off again; an unreadable value is 0.
    r.NoRecordsAlarmMinutes = 0;
    ASSERT_EQ(SettingsStore(dir_.Path()).WriteIniFile(r), 1);
    EXPECT_NE(ReadFile(dir_ / "VELK.INI").find("NoRecordsAlarmMinutes=0000000000\r\n"),
              std::string::npos);
    const std::string junk = "x";
    AppSettings j;
    EXPECT_EQ(ReadBack(WithLine(used, "NoRecordsAlarmMinutes", &junk), j), 1);
    EXPECT_EQ(j.NoRecordsAlarmMinutes, 0);
}

TEST_F(SettingsStoreTest, EmptyTextValuesFailAndStayEmpty) {
    const std::string complete = CompleteFile(dir_);
    const std::string empty;
    struct Case {
        const char* key;
        std::string AppSettings::*field;
    };
    for (const Case& c : {Case{"File Extension", &AppSettings::File_Extension},
                          Case{"Distributor ASCII Code", &AppSettings::Distributor_ASCII_Code},
                          Case{"SCCallingSequence", &AppSettings::SCCallingSequence},
                          Case{"SCCalledSequence", &AppSettings::SCCalledSequence}}) {
        AppSettings s;
        EXPECT_EQ(ReadBack(WithLine(complete, c.key, &empty), s), 0) << c.key;
        EXPECT_EQ(s.*c.field, "") << c.key;
    }
}

TEST_F(SettingsStoreTest, UnreadableIntegersKeepTheirDefaults) {
    const std::string complete = CompleteFile(dir_);
    for (const std::string bad : {"5", "C8000000C9", "C8000000C", "C80000Z0C8"}) {
        AppSettings s;
        EXPECT_EQ(ReadBack(WithLine(complete, "RequestDelayAfterNormalData", &bad), s), 0) << bad;
        EXPECT_EQ(s.RequestDelayAfterNormalData, 200) << bad;
    }
}

// A text key and the most characters it keeps.
struct TextLimit {
    const char* key;
    std::string AppSettings::*field;
    size_t limit;
};

// A text longer than its key's read buffer reads as its first characters; at the limit, whole.
TEST_F(SettingsStoreTest, TextsAreCutToTheirBuffers) {
    const std::string complete = CompleteFile(dir_);
    for (const TextLimit& c :
         {TextLimit{"IP address", &AppSettings::APP_IPAddr, 19},
          TextLimit{"Site Name", &AppSettings::Site_Name, 36},
          TextLimit{"APP_HD_Buffer_Directory", &AppSettings::APP_HD_Buffer_Directory, 259},
          TextLimit{"File Extension", &AppSettings::File_Extension, 3},
          TextLimit{"Distributor ASCII Code", &AppSettings::Distributor_ASCII_Code, 2},
          TextLimit{"SCCallingSequence", &AppSettings::SCCallingSequence, 69},
          TextLimit{"SCCalledSequence", &AppSettings::SCCalledSequence, 69}}) {
        for (const size_t length : {c.limit, c.limit + 1}) {
            std::string value;
            for (size_t i = 0; i < length; ++i)
                value += static_cast<char>('0' + i % 10);
            AppSettings s;
            EXPECT_EQ(ReadBack(WithLine(complete, c.key, &value), s), 1) << c.key;
            EXPECT_EQ(s.*c.field, value.substr(0, c.limit)) << c.key << " " << length;
        }
    }
}

// The extension and the separator code are written as their first 3 and 2 characters.
TEST_F(SettingsStoreTest, ExtensionAndSeparatorAreCutWhenWritten) {
    for (const TextLimit& c :
         {TextLimit{"File Extension", &AppSettings::File_Extension, 3},
          TextLimit{"Distributor ASCII Code", &AppSettings::Distributor_ASCII_Code, 2}}) {
        for (const size_t length : {c.limit, c.limit + 1}) {
            AppSettings s;
            s.*c.field = std::string("abcd").substr(0, length);
            std::filesystem::remove(dir_ / "VELK.INI");
            const std::string line =
                "\r\n" + std::string(c.key) + "=" + (s.*c.field).substr(0, c.limit) + "\r\n";
            EXPECT_NE(CompleteFile(dir_, s).find(line), std::string::npos)
                << c.key << " " << length;
        }
    }
}

TEST_F(SettingsStoreTest, WrittenOnlyKeysAreNeverRead) {
    AppSettings w;
    w.Server_Port_name = "iPECS-MG Billing Server";
    const std::string c = CompleteFile(dir_, w);
    EXPECT_NE(c.find("Server Port name=iPECS-MG Billing Server\r\n"), std::string::npos);
    AppSettings r;
    EXPECT_EQ(ReadBack(c, r), 1);
    EXPECT_EQ(r.Server_Port_name, "");
}

TEST_F(SettingsStoreTest, HandEditedFlagValuesAreKeptAsRead) {
    std::string c = CompleteFile(dir_);
    const std::string two = EncodeStructInt(2);
    c = WithLine(c, "APP_ETX", &two);
    c = WithLine(c, "RawSave", &two);
    AppSettings s;
    EXPECT_EQ(ReadBack(c, s), 1);
    EXPECT_EQ(s.APP_ETX, 2);  // recorders test this one for non-zero
    EXPECT_EQ(s.RawSave, 2);  // and this one for 1
}

TEST_F(SettingsStoreTest, SaverFilterSectionMissingEntirely) {
    std::string c = CompleteFile(dir_);
    const auto begin = c.find("[Saver Filter]");
    c.erase(begin, c.find("[Application]") - begin);
    AppSettings s;
    s.T[3] = 0;
    s.SCFilter_USE = 1;
    EXPECT_EQ(ReadBack(c, s), 0);
    for (int t = 0; t < kCallTypeCount; ++t)
        EXPECT_EQ(s.T[t], 1);
    EXPECT_EQ(s.SCFilter_USE, 0);
    EXPECT_EQ(s.SCFilterTRK_AND, 0);
    EXPECT_EQ(s.SCCallingSequence, "1-1024");
    EXPECT_EQ(s.SCCalledSequence, "1-1024");
}

TEST_F(SettingsStoreTest, ExistingFileKeepsItsOrderAndUnknownKeys) {
    WriteFile(dir_ / "VELK.INI",
              "[Application]\r\nLaunchMin=0100000001\r\nFavourite=blue\r\n; note\r\n"
              "[Settings]\r\nHex_Type=0000000000\r\n");
    AppSettings s;
    s.LaunchMin = 0;
    ASSERT_EQ(SettingsStore(dir_.Path()).WriteIniFile(s), 1);
    const std::string c = ReadFile(dir_ / "VELK.INI");
    EXPECT_EQ(c.rfind("[Application]\r\nLaunchMin=0000000000\r\nFavourite=blue\r\n; note\r\n"
                      "[Settings]\r\nHex_Type=0100000001\r\nIP address=127.0.0.1\r\n",
                      0),
              0u);
}

TEST_F(SettingsStoreTest, MangledFilesNeverCrashAndFail) {
    const std::string complete = CompleteFile(dir_);
    const std::string cases[] = {"", complete.substr(0, complete.size() / 2),
                                 std::string(10000, '\0'), "[Settings\r\n=\r\n===\r\n[",
                                 std::string("\xff\xfe[Settings]\r\nHex_Type=\xff\r\n")};
    for (const std::string& content : cases) {
        AppSettings s;
        EXPECT_EQ(ReadBack(content, s), 0);
        EXPECT_EQ(s.Hex_Type, 1);
    }
}

TEST_F(SettingsStoreTest, WriteToUnwritableLocationFailsAndKeepsValues) {
    AppSettings s;
    s.Site_Name = "changed";
    // A base directory that does not exist, and one whose settings file is a directory: neither can
    // be written, whatever the user's rights.
    EXPECT_EQ(SettingsStore(dir_ / "missing").WriteIniFile(s), 0);
    std::filesystem::create_directory(dir_ / "VELK.INI");
    EXPECT_EQ(SettingsStore(dir_.Path()).WriteIniFile(s), 0);
    EXPECT_EQ(s.Site_Name, "changed");
}

TEST_F(SettingsStoreTest, WriteToReadOnlyDirectoryFails) {
    // Readable and searchable for everybody, writable for nobody but root.
    std::filesystem::permissions(dir_.Path(), std::filesystem::perms(0555));
    EXPECT_EQ(test::AsOrdinaryUser(
                  [this] { return SettingsStore(dir_.Path()).WriteIniFile(AppSettings{}); }),
              0);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "VELK.INI"));
}

TEST_F(SettingsStoreTest, ColumnWidthsNeedAll51Keys) {
    AppSettings w;
    for (int i = 0; i < kColumnCount; ++i)
        w.Col[i] = 10 + i;
    const std::string complete = CompleteFile(dir_, w);
    std::array<int32_t, kColumnCount> widths{};
    SettingsStore store(dir_.Path());
    EXPECT_EQ(store.ReadColumnWidths(widths), 1);
    EXPECT_EQ(widths[0], 10);
    EXPECT_EQ(widths[50], 60);

    std::array<int32_t, kColumnCount> untouched{};
    WriteFile(dir_ / "VELK.INI", WithLine(complete, "Col37", nullptr));
    EXPECT_EQ(store.ReadColumnWidths(untouched), 0);
    EXPECT_EQ(untouched[0], 0);
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

class SettingsFileSafetyTest : public ::testing::Test {
protected:
    SettingsFileSafetyTest() {
        AppSettings s;
        s.Site_Name = "Original";
        original_ = CompleteFile(dir_, s);
        // An ordinary user may create files here, so only the settings file's own rights count.
        fs::permissions(dir_.Path(), fs::perms::all);
    }
    std::string Ini() const { return ReadFile(dir_ / "VELK.INI"); }

    TempDir dir_;
    std::string original_;
};

// A settings file that exists but cannot be read is never replaced by one of defaults.
TEST_F(SettingsFileSafetyTest, FileThatCannotBeReadIsNeverReplaced) {
    // Writable but not readable for the ordinary user.
    fs::permissions(dir_ / "VELK.INI", geteuid() == 0 ? fs::perms(0622) : fs::perms(0222));
    const int result = test::AsOrdinaryUser([this] {
        SettingsStore store(dir_.Path());
        AppSettings s;
        SettingsReadReport report;
        if (store.ReadIniFile(s, &report) != 0 || !report.fileUnreadable || report.fileMissing)
            return 1;
        if (s.Site_Name != "")
            return 2;
        s.Site_Name = "Defaults";
        return store.WriteIniFile(s) == 0 ? 0 : 3;
    });
    EXPECT_EQ(result, 0);
    fs::permissions(dir_ / "VELK.INI", fs::perms(0644));
    EXPECT_EQ(Ini(), original_);
    EXPECT_FALSE(fs::exists(dir_ / "VELK.INI.tmp"));
}

TEST_F(SettingsFileSafetyTest, ReadOnlyFileIsLeftAloneEvenByRoot) {
    fs::permissions(dir_ / "VELK.INI", fs::perms(0444));
    AppSettings s;
    s.Site_Name = "Changed";
    EXPECT_EQ(SettingsStore(dir_.Path()).WriteIniFile(s), 0);
    EXPECT_EQ(Ini(), original_);
    EXPECT_EQ(test::AsOrdinaryUser([this] {
                  AppSettings t;
                  t.Site_Name = "Changed";
                  return SettingsStore(dir_.Path()).WriteIniFile(t);
              }),
              0);
    EXPECT_EQ(Ini(), original_);
}

TEST_F(SettingsFileSafetyTest, FileOfAnotherUserIsNotReplaced) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a file that belongs to another user";
    // Readable by everybody, writable only by its owner (root).
    fs::permissions(dir_ / "VELK.INI", fs::perms(0644));
    EXPECT_EQ(test::AsOrdinaryUser([this] {
                  AppSettings t;
                  if (SettingsStore(dir_.Path()).ReadIniFile(t) != 1 || t.Site_Name != "Original")
                      return 1;
                  t.Site_Name = "Changed";
                  return SettingsStore(dir_.Path()).WriteIniFile(t) == 0 ? 0 : 2;
              }),
              0);
    EXPECT_EQ(Ini(), original_);
    EXPECT_EQ(fs::status(dir_ / "VELK.INI").permissions(), fs::perms(0644));
}

TEST_F(SettingsFileSafetyTest, SymbolicLinkKeepsPointingAtItsTarget) {
    fs::create_directory(dir_ / "conf");
    fs::rename(dir_ / "VELK.INI", dir_ / "conf" / "site.ini");
    fs::create_symlink("conf/site.ini", dir_ / "VELK.INI");
    fs::permissions(dir_ / "conf" / "site.ini", fs::perms(0640));
    AppSettings s;
    ASSERT_EQ(SettingsStore(dir_.Path()).ReadIniFile(s), 1);
    s.Site_Name = "Changed";
    ASSERT_EQ(SettingsStore(dir_.Path()).WriteIniFile(s), 1);
    EXPECT_TRUE(fs::is_symlink(dir_ / "VELK.INI"));
    EXPECT_EQ(fs::read_symlink(dir_ / "VELK.INI"), "conf/site.ini");
    EXPECT_NE(ReadFile(dir_ / "conf" / "site.ini").find("Site Name=Changed\r\n"),
              std::string::npos);
    EXPECT_EQ(fs::status(dir_ / "conf" / "site.ini").permissions(), fs::perms(0640));
}

// The new file reaches the disk before it replaces the old one, and the rename after it.
TEST_F(SettingsFileSafetyTest, NewFileIsFlushedBeforeItReplacesTheOldOne) {
    struct RecordingFlush : DiskFlush {
        bool Flush(const fs::path& p) override {
            flushed.push_back(p);
            iniWhenFlushed.push_back(ReadFile(ini));
            tmpWhenFlushed.push_back(ReadFile(fs::path(ini) += ".tmp"));
            return true;
        }
        fs::path ini;
        std::vector<fs::path> flushed;
        std::vector<std::string> iniWhenFlushed, tmpWhenFlushed;
    } flush;
    flush.ini = dir_ / "VELK.INI";
    AppSettings s;
    s.Site_Name = "Changed";
    ASSERT_EQ(SettingsStore(dir_.Path(), &flush).WriteIniFile(s), 1);
    ASSERT_EQ(flush.flushed.size(), 2u);
    EXPECT_EQ(flush.flushed[0], fs::path(dir_ / "VELK.INI") += ".tmp");
    EXPECT_EQ(flush.iniWhenFlushed[0], original_);  // the old file is still in place
    EXPECT_NE(flush.tmpWhenFlushed[0].find("Site Name=Changed"), std::string::npos);
    EXPECT_EQ(flush.flushed[1], dir_.Path());  // then the directory with the rename
    EXPECT_EQ(flush.iniWhenFlushed[1], Ini());

    // A flush that fails leaves the old file as it was.
    struct FailingFlush : DiskFlush {
        bool Flush(const fs::path&) override { return false; }
    } failing;
    s.Site_Name = "Again";
    const std::string before = Ini();
    EXPECT_EQ(SettingsStore(dir_.Path(), &failing).WriteIniFile(s), 0);
    EXPECT_EQ(Ini(), before);
    EXPECT_FALSE(fs::exists(fs::path(dir_ / "VELK.INI") += ".tmp"));
}

TEST_F(SettingsFileSafetyTest, ByteOrderMarkIsSkippedAndKept) {
    WriteFile(dir_ / "VELK.INI", "\xEF\xBB\xBF" + original_);
    AppSettings s;
    ASSERT_EQ(SettingsStore(dir_.Path()).ReadIniFile(s), 1);
    EXPECT_EQ(s.Site_Name, "Original");
    s.Hex_Type = 0;
    ASSERT_EQ(SettingsStore(dir_.Path()).WriteIniFile(s), 1);
    const std::string written = Ini();
    EXPECT_EQ(written.rfind("\xEF\xBB\xBF[Settings]\r\n", 0), 0u);
    EXPECT_EQ(written.find("[Settings]", 10), std::string::npos);  // one section only
    AppSettings again;
    ASSERT_EQ(SettingsStore(dir_.Path()).ReadIniFile(again), 1);
    EXPECT_EQ(again.Hex_Type, 0);
    EXPECT_EQ(again.Site_Name, "Original");
}

// Reading, writing and reading again gives the same values; a second write changes nothing.
TEST_F(SettingsFileSafetyTest, ValuesSurviveReadWriteReadAndASecondWriteChangesNothing) {
    const std::pair<const char*, const char*> edits[] = {
        {"IP address=127.0.0.1", "IP address=\" a\""},
        {"File Extension=csv", "File Extension=ab c"},
        {"Site Name=Original", "Site Name='quoted'"},
        {"Distributor ASCII Code=3B", "Distributor ASCII Code=  3b  "},
        {"SCCallingSequence=1-1024", "SCCallingSequence=\"1-5, 7 \""},
        {"Hex_Type=0100000001", "Hex_Type=0100000001   "},
        {"RawSave=0000000000", "rawsave=0000000000"},
    };
    std::string edited = original_;
    for (auto [from, to] : edits) {
        const auto at = edited.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        edited.replace(at, std::string(from).size(), to);
    }
    WriteFile(dir_ / "VELK.INI", edited);
    AppSettings first;
    ASSERT_EQ(SettingsStore(dir_.Path()).ReadIniFile(first), 1);
    EXPECT_EQ(first.APP_IPAddr, " a");
    EXPECT_EQ(first.File_Extension, "ab ");
    EXPECT_EQ(first.Site_Name, "quoted");
    EXPECT_EQ(first.Distributor_ASCII_Code, "3b");
    EXPECT_EQ(first.SCCallingSequence, "1-5, 7 ");

    ASSERT_EQ(SettingsStore(dir_.Path()).WriteIniFile(first), 1);
    EXPECT_EQ(Ini(), edited);  // nothing changed, nothing rewritten
    AppSettings second;
    ASSERT_EQ(SettingsStore(dir_.Path()).ReadIniFile(second), 1);
    EXPECT_EQ(second.APP_IPAddr, " a");
    EXPECT_EQ(second.File_Extension, "ab ");
    EXPECT_EQ(second.Site_Name, "quoted");

    // Changed values that the reader would trim are written so that they read back as they are.
    second.APP_IPAddr = " b ";
    second.Site_Name = "'x'";
    second.File_Extension = "d ";
    ASSERT_EQ(SettingsStore(dir_.Path()).WriteIniFile(second), 1);
    const std::string written = Ini();
    AppSettings third;
    ASSERT_EQ(SettingsStore(dir_.Path()).ReadIniFile(third), 1);
    EXPECT_EQ(third.APP_IPAddr, " b ");
    EXPECT_EQ(third.Site_Name, "'x'");
    EXPECT_EQ(third.File_Extension, "d ");
    ASSERT_EQ(SettingsStore(dir_.Path()).WriteIniFile(third), 1);
    EXPECT_EQ(Ini(), written);
}

TEST_F(SettingsFileSafetyTest, ReportNamesMissingAndUnreadableKeys) {
    std::string edited = original_;
    edited.replace(edited.find("Hex_Type=0100000001"), 19, "Hex_Type=garbage");
    edited.erase(edited.find("LaunchMin=0000000000\r\n"), 22);
    WriteFile(dir_ / "VELK.INI", edited);
    AppSettings s;
    SettingsReadReport report;
    EXPECT_EQ(SettingsStore(dir_.Path()).ReadIniFile(s, &report), 0);
    EXPECT_EQ(report.unreadable, std::vector<std::string>{"Settings/Hex_Type"});
    EXPECT_EQ(report.missing, std::vector<std::string>{"Application/LaunchMin"});
    EXPECT_FALSE(report.fileMissing);
    EXPECT_FALSE(report.fileUnreadable);
}

}  // namespace
}  // namespace velk
