#pragma once

#include <array>
#include <optional>
#include <string>

#include "core/foundation/app_settings.h"

namespace velk {

// What the communication settings dialog holds until Apply.
struct CommunicationChoice {
    std::string siteName, ipAddress, hdDirectory;
    int systemType = -1, comPort = -1, baudRate = -1;  // -1: nothing selected
    bool ip = false, com = false, hd = false;
    int32_t autoConnection = 0;
    std::array<std::string, 4> serialDevices;  // the device file behind COM1..COM4
};

// The dialog's state when it opens: the three radio flags as the settings give them.
CommunicationChoice CommunicationFromSettings(const AppSettings& s);
// The radio buttons shown checked: the flags applied in the order IP, COM, HD, each checked flag
// clearing the other two (so HD wins whatever IP_Used says).
enum class LinkRadio { Ip, Com, Hd };
LinkRadio ShownRadio(const CommunicationChoice& c);
// The first validation message that applies, or none.
std::optional<std::string> ValidateCommunication(const CommunicationChoice& c);
void ApplyCommunication(const CommunicationChoice& c, AppSettings& s);

// The protocol settings dialog.
struct ProtocolChoice {
    int32_t hexType = 1;
    bool format360 = false, hdFormat = false, lcrInMandatory = false;
    bool autoReConnection = false, rawSave = false, rawSaveDaily = false;
    bool bufferPacked = false, bufferPackedToOut = false, bufferDecoded = false,
         bufferDecodedToOut = false;
    bool stx = false, etx = false, eot = false, cr = false, lf = false;
    int32_t bufferMinutes = 1;
    int32_t requestDelay = 200;
};

inline constexpr const char* kBufferTimeMessage =
    "Please Check!\nBuffer Update Max Time should be within 1 - 9!";
inline constexpr const char* kRequestDelayMessage =
    "Please Check!\nRequest delay after Normal Data should be within 50 - 1000 mSec!";

ProtocolChoice ProtocolFromSettings(const AppSettings& s);
// The delay the dialog shows: 200 for a stored value outside 50..1000.
int32_t ShownRequestDelay(int32_t stored);
std::optional<std::string> ValidateProtocol(const ProtocolChoice& c);
void ApplyProtocol(const ProtocolChoice& c, AppSettings& s);

// The presets of the five framing flags: 0 "Your Profile", 1 "VELK Profile", 2 "Tarvik Profile".
int MatchingRawProfile(bool stx, bool etx, bool eot, bool cr, bool lf);
const char* RawProfileName(int profile);

}  // namespace velk
