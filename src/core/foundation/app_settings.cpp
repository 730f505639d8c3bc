#include "core/foundation/app_settings.h"

namespace velk {

const char* SystemTypeName(int32_t index) {
    static const char* const kNames[] = {
        "CS1000 Main Billing Server", "CS1000 Billing Server and PMS",
        "CS1000 Doubled Billing Server", "iPECS-MG Billing Server"};
    return index >= 0 && index < 4 ? kNames[index] : "";
}

const char* ComPortName(int32_t index) {
    static const char* const kNames[] = {"COM1", "COM2", "COM3", "COM4"};
    return index >= 0 && index < 4 ? kNames[index] : "";
}

int32_t BaudRate(int32_t index) {
    static const int32_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600};
    return index >= 0 && index < 7 ? kRates[index] : 115200;
}

const char* BaudRateText(int32_t index) {
    static const char* const kTexts[] = {"1200",  "2400",  "4800",  "9600",
                                         "19200", "38400", "57600", "115200"};
    return index >= 0 && index < 7 ? kTexts[index] : kTexts[7];
}

std::string SerialDevice(const AppSettings& settings, const std::string& comName) {
    for (int32_t i = 0; i < 4; ++i) {
        if (comName == ComPortName(i))
            return settings.Serial_Ports[static_cast<size_t>(i)];
    }
    return {};
}

}  // namespace velk
