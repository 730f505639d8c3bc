#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/analysis/rgb.h"

namespace velk {

// The PBX's ports in the traffic reports: 992 ports (identifiers 0x20..0x3FF) in 34 slots of
// three shelves.
inline constexpr int kPortCount = 992;
inline constexpr int kSlotCount = 34;
inline constexpr int kHours = 24;

// The last port identifier of each slot, in slot order.
extern const std::array<uint16_t, kSlotCount> kSlotLastPort;

std::string SlotLabel(int slot);       // "1/01" .. "3/12"
std::string PortLabel(int port);       // "1/01/01" .. "3/12/32"
std::string PortIdentifier(int port);  // "0020" .. "03ff"
int SlotOfPort(int port);
int SlotPortCount(int slot);

// One day's traffic as counted from its file.
struct TrafficDay {
    std::array<std::array<uint32_t, kHours>, kPortCount>
        busy{};  // reports in which a port was busy
    std::array<uint32_t, kHours> reports{};
    std::array<uint32_t, kHours> seizures{};

    void Clear();
    // Takes the lines of a traffic file: only lines of 272 characters ended by CR LF whose hour
    // is below 24; a last line without its CR LF (being appended) is left alone.
    void Parse(std::string_view content);

    // The Erlang load of a port: the share of the hour's reports in which it was busy.
    float PortLoad(int port, int hour) const;
    // The mean load of a slot's ports.
    float SlotLoad(int slot, int hour) const;
    // The total: the sum of the port loads, the mean number of busy ports per report.
    float Erlang(int hour) const;
};

// The file of a day in the traffic directory: YYYYMMDD.trf.
std::filesystem::path TrafficFileName(const std::filesystem::path& trafficDirectory, int year,
                                      int month, int day);

// Reads the file in one piece (as long as it was when its length was taken) and counts it. False
// when it is missing or cannot be read; the day is then left as it was.
bool LoadTrafficFile(const std::filesystem::path& path, TrafficDay& day);

// The cell texts: a load of exactly 1 as "1.0", another positive load with three decimals, 0
// empty; the Erlang total with two decimals below 100, one below 1000, none above; a count in
// decimal, 0 empty.
std::string LoadText(float load);
std::string ErlangText(float erlang);
std::string CountText(uint32_t count);

// The load bands: 0 white (below 0.001, or an empty cell), then below 0.15, 0.30, 0.45, 0.60,
// 0.75, and 0.75 or more.
inline constexpr int kLoadBands = 7;
int LoadBand(float value);
Rgb BandColour(int band);
// The band of a cell as shown: its text read back as a decimal number.
int CellBand(const std::string& text);
const char* BandLegend(int band);  // "< 0.001" .. ">=0.75"

}  // namespace velk
