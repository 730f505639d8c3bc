#include "core/foundation/settings_store.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "core/foundation/ini_file.h"
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
    EXPECT_EQ(c.substr(app), "[Application]\r\nLaunchMin=0000000000\r\n");
    EXPECT_EQ(c.find('\n'), c.find("\r\n") + 1);  // CR LF line ends
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

TEST_F(SettingsStoreTest, TextsAreCutToTheirBuffers) {
    std::string c = CompleteFile(dir_);
    const std::string ext = "jpeg", sep = "3B3B", ip = "123.123.123.123.123.123";
    const std::string site(50, 's'), list = "1," + std::string(80, '2');
    c = WithLine(c, "File Extension", &ext);
    c = WithLine(c, "Distributor ASCII Code", &sep);
    c = WithLine(c, "IP address", &ip);
    c = WithLine(c, "Site Name", &site);
    c = WithLine(c, "SCCallingSequence", &list);
    AppSettings s;
    EXPECT_EQ(ReadBack(c, s), 1);
    EXPECT_EQ(s.File_Extension, "jpe");
    EXPECT_EQ(s.Distributor_ASCII_Code, "3B");
    EXPECT_EQ(s.APP_IPAddr, ip.substr(0, 19));
    EXPECT_EQ(s.Site_Name, site.substr(0, 36));
    EXPECT_EQ(s.SCCallingSequence.size(), 69u);
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
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only directories";
    std::filesystem::permissions(
        dir_.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_EQ(SettingsStore(dir_.Path()).WriteIniFile(AppSettings{}), 0);
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
