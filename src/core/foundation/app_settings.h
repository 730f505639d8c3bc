#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velk {

constexpr int kColumnCount = 51;  // columns of the last-calls list
// The width of every last-calls column before any is saved: (client width - 20) / 33 + 17 for
// the window's 990-pixel client area.
constexpr int kComputedColumnWidth = (990 - 20) / 33 + 17;
constexpr int kSavedColumnCount = 50;  // output columns of the decoded record files
constexpr int kCallTypeCount = 14;

// Every persisted setting of VELK.INI, one field per key, holding the built-in defaults until
// ReadIniFile fills it. Flags are kept as the integers read: some users test them for 1, others
// for any value other than 0.
struct AppSettings {
    // [Settings]
    std::string APP_IPAddr = "127.0.0.1";  // key "IP address"
    std::string Site_Name;
    std::string APP_HD_Buffer_Directory;
    int32_t Server_Port_index = 0;  // the system type
    std::string Server_Port_name;   // written only; set when the communication dialog is confirmed
    int32_t COM_Port_number_index = 0;
    std::string COM_Port_number;  // written only
    int32_t COM_Port_baud_rate_index = 0;
    std::string COM_Port_baud_rate;  // written only
    int32_t IP_Used = 0;
    int32_t HD_Used = 0;
    int32_t AutoConnection = 0;
    int32_t AutoReConnection = 0;
    int32_t RawSave = 0;
    int32_t RawSaveDaily = 0;
    int32_t Hex_Type = 1;

    // [List1ColWidth] Col0..Col50
    std::array<int32_t, kColumnCount> Col{};

    // [Saver] f1..f50 are f[0]..f[49]; SaveInd0..SaveInd49
    std::array<int32_t, kSavedColumnCount> f{};
    int32_t SaveToFile = 0;
    int32_t MakeHeader = 0;
    std::array<int32_t, kSavedColumnCount> SaveInd{};
    std::string File_Extension = "csv";
    std::string Distributor_ASCII_Code = "3B";

    // [Saver Filter]
    std::array<int32_t, kCallTypeCount> T = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    int32_t SCFilterTRK_AND = 0;
    int32_t SCFilter_USE = 0;
    std::string SCCallingSequence = "1-1024";
    std::string SCCalledSequence = "1-1024";

    // [Application]
    int32_t LaunchMin = 0;

    // [Settings], written after the [Application] key
    int32_t DoBufferPacked = 0;
    int32_t DoBufferDecoded = 0;
    int32_t BufferUpdateMaxTimer = 1;
    int32_t RequestDelayAfterNormalData = 200;
    int32_t APP_STX = 1;
    int32_t APP_ETX = 0;
    int32_t APP_EOT = 0;
    int32_t APP_CR = 1;
    int32_t APP_LF = 1;
    int32_t APP_LCRinMandatory = 0;
    int32_t APP_HDFormat = 0;
    int32_t APP_360Format = 0;
    int32_t APP_Raw_Profile_Number = 0;
    int32_t DoBufferPackedToOut = 0;
    int32_t DoBufferDecodedToOut = 0;
    // Minutes without a call record while connected before the "No records" alarm; 0: none.
    // Optional: a file without it reads as kUnsetMinutes (the program's own default: none for
    // the window, an hour for the service) and is not incomplete.
    static constexpr int32_t kUnsetMinutes = -1;
    int32_t NoRecordsAlarmMinutes = kUnsetMinutes;

    // [Serial Ports] COM1..COM4: the device file behind each COM name of the settings.
    std::array<std::string, 4> Serial_Ports = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                               "/dev/ttyS3"};

    // [Database]: the PostgreSQL server every stored record is also sent to (a libpq connection
    // string or URI; empty: none, the records stay on this machine) and the name this site's
    // records carry there (empty: the "Site Name" of [Settings]). Neither is written unless set.
    std::string Database_Connection;
    std::string Database_Site;
    // How many seconds the server may take to answer before it counts as not answering (and a
    // statement may run on it); written once set.
    static constexpr int32_t kDefaultDatabaseTimeout = 30;
    int32_t Database_Timeout = kDefaultDatabaseTimeout;

    // [Alerts]: how alarms reach a person. A program to run (its path; the alarm's kind, state
    // and text as arguments and in the environment), addresses to mail through the sendmail
    // program, a URL the alert is posted to as JSON; each empty: not used. Then the minutes
    // between two alerts of one kind, the minutes the link or the database server may be away
    // before that is an alarm (0: never), and the seconds one delivery may take.
    std::string Alerts_Command;
    std::string Alerts_MailTo;
    std::string Alerts_MailFrom;
    static constexpr const char* kDefaultSendmail = "/usr/sbin/sendmail";
    std::string Alerts_Sendmail = kDefaultSendmail;
    std::string Alerts_Webhook;
    static constexpr int32_t kDefaultHoldBackMinutes = 30;
    int32_t Alerts_HoldBackMinutes = kDefaultHoldBackMinutes;
    static constexpr int32_t kDefaultLinkDownMinutes = 5;
    int32_t Alerts_LinkDownMinutes = kDefaultLinkDownMinutes;
    static constexpr int32_t kDefaultDatabaseAwayMinutes = 15;
    int32_t Alerts_DatabaseAwayMinutes = kDefaultDatabaseAwayMinutes;
    static constexpr int32_t kDefaultAlertTimeout = 30;
    int32_t Alerts_Timeout = kDefaultAlertTimeout;

    const std::string& GetIPAddr() const { return APP_IPAddr; }
    void SetIPAddr(const std::string& text) { APP_IPAddr = text; }

    bool operator==(const AppSettings&) const = default;
};

// Texts of the system types kept in "Server Port index".
constexpr int kSystemTypeIpecsMg = 3;
const char* SystemTypeName(int32_t index);  // "" for an index outside 0..3
const char* ComPortName(int32_t index);     // "COM1".."COM4", "" outside 0..3
int32_t BaudRate(int32_t index);            // 1200..115200; any index above 6 gives 115200
const char* BaudRateText(int32_t index);
// The device file of a COM name ("COM1".."COM4"); empty for any other name.
std::string SerialDevice(const AppSettings& settings, const std::string& comName);

}  // namespace velk
