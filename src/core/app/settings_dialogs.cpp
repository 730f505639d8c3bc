#include "core/app/settings_dialogs.h"

namespace velk {

CommunicationChoice CommunicationFromSettings(const AppSettings& s) {
    CommunicationChoice c;
    c.siteName = s.Site_Name;
    c.ipAddress = s.APP_IPAddr;
    c.hdDirectory = s.APP_HD_Buffer_Directory;
    c.systemType = s.Server_Port_index >= 0 && s.Server_Port_index <= 3 ? s.Server_Port_index : -1;
    c.comPort =
        s.COM_Port_number_index >= 0 && s.COM_Port_number_index <= 3 ? s.COM_Port_number_index : -1;
    c.baudRate = s.COM_Port_baud_rate_index >= 0 && s.COM_Port_baud_rate_index <= 7
                     ? s.COM_Port_baud_rate_index
                     : -1;
    c.serialDevices = s.Serial_Ports;
    c.ip = s.IP_Used == 1;
    c.com = s.IP_Used == 0;
    c.hd = s.HD_Used == 1;
    c.autoConnection = s.AutoConnection == 1 ? 1 : 0;
    return c;
}

LinkRadio ShownRadio(const CommunicationChoice& c) {
    LinkRadio shown = LinkRadio::Com;
    if (c.ip)
        shown = LinkRadio::Ip;
    if (c.com)
        shown = LinkRadio::Com;
    if (c.hd)
        shown = LinkRadio::Hd;
    return shown;
}

std::optional<std::string> ValidateCommunication(const CommunicationChoice& c) {
    if (c.ip) {
        if (c.ipAddress.empty()) {
            return "You have selected IP, \nbut you did not inter \nany IP Address!";
        }
        if (c.systemType < 0)
            return "You have selected IP, \nbut you did not inter \nany Server port!";
        return std::nullopt;
    }
    if (c.comPort < 0) {
        return "You have selected COM, \nbut you did not inter \nany COM port number!";
    }
    if (c.baudRate < 0) {
        return "You have selected COM, \nbut you did not inter \nany COM port baud rate!";
    }
    return std::nullopt;
}

void ApplyCommunication(const CommunicationChoice& c, AppSettings& s) {
    s.APP_IPAddr = c.ipAddress;
    s.Site_Name = c.siteName;
    s.APP_HD_Buffer_Directory = c.hdDirectory;
    s.Server_Port_index = c.systemType;
    s.COM_Port_number_index = c.comPort;
    s.COM_Port_baud_rate_index = c.baudRate;
    s.Server_Port_name = SystemTypeName(c.systemType);
    s.COM_Port_number = ComPortName(c.comPort);
    s.COM_Port_baud_rate = c.baudRate >= 0 ? BaudRateText(c.baudRate) : "";
    s.IP_Used = c.ip ? 1 : 0;
    s.HD_Used = c.hd ? 1 : 0;
    s.AutoConnection = c.autoConnection;
    // A device left empty keeps the one it had.
    for (size_t i = 0; i < c.serialDevices.size(); ++i) {
        if (!c.serialDevices[i].empty())
            s.Serial_Ports[i] = c.serialDevices[i];
    }
}

ProtocolChoice ProtocolFromSettings(const AppSettings& s) {
    ProtocolChoice c;
    c.hexType = s.Hex_Type;
    c.format360 = s.APP_360Format == 1;
    c.hdFormat = s.APP_HDFormat == 1;
    c.lcrInMandatory = s.APP_LCRinMandatory == 1;
    c.autoReConnection = s.AutoReConnection == 1;
    c.rawSave = s.RawSave == 1;
    c.rawSaveDaily = s.RawSaveDaily == 1;
    c.bufferPacked = s.DoBufferPacked == 1;
    c.bufferPackedToOut = s.DoBufferPackedToOut == 1;
    c.bufferDecoded = s.DoBufferDecoded == 1;
    c.bufferDecodedToOut = s.DoBufferDecodedToOut == 1;
    c.stx = s.APP_STX == 1;
    c.etx = s.APP_ETX == 1;
    c.eot = s.APP_EOT == 1;
    c.cr = s.APP_CR == 1;
    c.lf = s.APP_LF == 1;
    c.bufferMinutes = s.BufferUpdateMaxTimer;
    c.requestDelay = ShownRequestDelay(s.RequestDelayAfterNormalData);
    return c;
}

int32_t ShownRequestDelay(int32_t stored) {
    return stored < 50 || stored > 1000 ? 200 : stored;
}

std::optional<std::string> ValidateProtocol(const ProtocolChoice& c) {
    if (c.bufferMinutes <= 0 || c.bufferMinutes > 9)
        return kBufferTimeMessage;
    const auto delay = static_cast<uint32_t>(c.requestDelay);  // taken as unsigned
    if (delay < 50 || delay > 1000)
        return kRequestDelayMessage;
    return std::nullopt;
}

void ApplyProtocol(const ProtocolChoice& c, AppSettings& s) {
    const auto flag = [](bool b) { return b ? 1 : 0; };
    s.Hex_Type = c.hexType;
    s.AutoReConnection = flag(c.autoReConnection);
    s.RawSave = flag(c.rawSave);
    s.RawSaveDaily = flag(c.rawSaveDaily);
    s.DoBufferPacked = flag(c.bufferPacked);
    s.DoBufferDecoded = flag(c.bufferDecoded);
    s.DoBufferPackedToOut = flag(c.bufferPackedToOut);
    s.DoBufferDecodedToOut = flag(c.bufferDecodedToOut);
    s.APP_STX = flag(c.stx);
    s.APP_ETX = flag(c.etx);
    s.APP_EOT = flag(c.eot);
    s.APP_CR = flag(c.cr);
    s.APP_LF = flag(c.lf);
    s.APP_LCRinMandatory = flag(c.lcrInMandatory);
    s.APP_HDFormat = flag(c.hdFormat);
    s.APP_360Format = flag(c.format360);
    s.BufferUpdateMaxTimer = c.bufferMinutes;
    s.RequestDelayAfterNormalData = c.requestDelay;
}

int MatchingRawProfile(bool stx, bool etx, bool eot, bool cr, bool lf) {
    if (!stx && !etx && !eot && cr && lf)
        return 1;
    if (stx && etx && eot && !cr && !lf)
        return 2;
    return 0;
}

const char* RawProfileName(int profile) {
    static const char* const kNames[] = {"Your Profile", "VELK Profile", "Tarvik Profile"};
    return profile >= 0 && profile <= 2 ? kNames[profile] : kNames[0];
}

}  // namespace velk
