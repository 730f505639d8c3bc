#include "core/foundation/setting_meanings.h"

#include <gtest/gtest.h>

#include <set>

namespace velk {
namespace {

TEST(SettingMeanings, ValuesAreCheckedAgainstWhatTheKeyMeans) {
    struct Case {
        const char* key;
        const char* value;
        bool fits;
    };
    const Case cases[] = {
        {"IP address", "10.0.0.5", true},
        {"IP address", "255.255.255.255", true},
        {"IP address", "not-an-ip", false},
        {"IP address", "10.0.0.256", false},
        {"IP address", "10.0.0", false},
        {"IP address", "10.0.0.5.1", false},
        {"IP address", "10..0.5", false},
        {"IP address", "", false},
        {"IP address", "+1.2.3.4", false},
        {"Server Port index", "0", true},
        {"Server Port index", "3", true},
        {"Server Port index", "4", false},
        {"Server Port index", "9", false},
        {"Server Port index", "-1", false},
        {"COM Port number index", "3", true},
        {"COM Port number index", "4", false},
        {"COM Port baud rate index", "7", true},
        {"COM Port baud rate index", "8", false},
        {"AutoConnection", "1", true},
        {"AutoConnection", "0", true},
        {"AutoConnection", "2", false},
        {"f1", "1", true},
        {"f50", "2", false},
        {"T13", "-1", false},
        {"Hex_Type", "2", false},
        {"BufferUpdateMaxTimer", "1", true},
        {"BufferUpdateMaxTimer", "9", true},
        {"BufferUpdateMaxTimer", "0", false},
        {"BufferUpdateMaxTimer", "10", false},
        {"RequestDelayAfterNormalData", "1000", true},
        {"RequestDelayAfterNormalData", "1001", false},
        {"RequestDelayAfterNormalData", "-1", false},
        {"SaveInd0", "50", true},
        {"SaveInd49", "51", false},
        {"Col50", "0", true},
        {"Col50", "-5", false},
        {"NoRecordsAlarmMinutes", "0", true},
        {"NoRecordsAlarmMinutes", "-1", false},
        {"Database/Timeout", "0", false},
        {"File Extension", "csv", true},
        {"File Extension", "txt1", false},
        {"File Extension", "a/b", false},
        {"File Extension", "", false},
        {"Distributor ASCII Code", "3B", true},
        {"Distributor ASCII Code", "3b", true},
        {"Distributor ASCII Code", ";", false},
        {"Distributor ASCII Code", "3G", false},
        {"Distributor ASCII Code", "00", false},
        {"Serial Ports/COM1", "/dev/ttyUSB0", true},
        {"Serial Ports/COM1", "ttyUSB0", false},
        {"Serial Ports/COM1", "", false},
        {"APP_HD_Buffer_Directory", "", true},
        {"APP_HD_Buffer_Directory", "/srv/buffer", true},
        {"APP_HD_Buffer_Directory", "buffer", false},
        {"Site Name", "Head Office", true},
        {"APP_Raw_Profile_Number", "-77", true},  // kept as it is, whatever it holds
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SettingValueProblem(c.key, c.value).empty(), c.fits) << c.key << "=" << c.value;
    }
    EXPECT_EQ(SettingValueProblem("IP address", "not-an-ip"),
              "IP address is an IPv4 address such as 10.0.0.5");
    EXPECT_EQ(SettingValueProblem("Server Port index", "9"),
              "Server Port index is 0 (CS1000 Main Billing Server), 1 (CS1000 Billing Server and "
              "PMS), 2 (CS1000 Doubled Billing Server) or 3 (iPECS-MG Billing Server)");
    EXPECT_EQ(SettingValueProblem("Hex_Type", "2"), "Hex_Type is 1 (Hex) or 0 (Decimal)");
}

TEST(SettingMeanings, NotesSayWhatANumberStandsFor) {
    EXPECT_EQ(SettingValueNote("Server Port index", "3"), "iPECS-MG Billing Server");
    EXPECT_EQ(SettingValueNote("COM Port number index", "1"), "COM2");
    EXPECT_EQ(SettingValueNote("COM Port baud rate index", "3"), "9600 baud");
    EXPECT_EQ(SettingValueNote("Hex_Type", "0"), "Decimal");
    EXPECT_EQ(SettingValueNote("RawSave", "1"), "yes");
    EXPECT_EQ(SettingValueNote("f7", "0"), "no");
    EXPECT_EQ(SettingValueNote("RawSave", "5"), "");  // no meaning: none said
    EXPECT_EQ(SettingValueNote("IP address", "10.0.0.5"), "");
}

TEST(SettingMeanings, EveryKeyIsListedOnce) {
    std::set<std::string> keys;
    for (const SettingMeaning& m : SettingMeanings()) {
        EXPECT_TRUE(keys.insert(m.key).second) << m.key;
        EXPECT_FALSE(m.meaning.empty()) << m.key;
    }
    for (const char* key : {"IP address", "Server Port index", "RawSave", "SaveToFile",
                            "f1 .. f50", "SaveInd0 .. SaveInd49", "Col0 .. Col50", "T0 .. T13",
                            "Serial Ports/COM1 .. Serial Ports/COM4", "NoRecordsAlarmMinutes",
                            "Database/Connection"}) {
        EXPECT_EQ(keys.count(key), 1u) << key;
    }
}

}  // namespace
}  // namespace velk
