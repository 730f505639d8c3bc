#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
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

// Counts a traffic file handed over in pieces of any size, so that a file of any length is read
// with no more memory than one line and the tables. The day is cleared at the start; the counts
// are complete after Finish.
class TrafficCounter {
public:
    static constexpr size_t kLineLength = 272;  // characters of a report, CR LF not included

    explicit TrafficCounter(TrafficDay& day);
    void Feed(std::string_view piece);
    // Lines not ended by CR LF yet are left alone (the recorder is still appending them).
    void Finish();

private:
    void CountLine(const char* line);
    void FlushHour(size_t hour);
    void EndLine();

    TrafficDay& day_;
    // The line being collected when it runs over a piece's end; a line grown past a report's
    // length is only measured.
    std::array<char, kLineLength + 1> line_{};
    size_t length_ = 0;
    char last_ = 0;
    // Per hour and port byte: eight 8-bit counts of the byte's bits, added up for at most 255
    // reports before they go into the busy counts.
    std::array<std::array<uint64_t, 124>, kHours> packed_{};
    std::array<uint32_t, kHours> packedReports_{};
};

// The file of a day in the traffic directory: YYYYMMDD.trf.
std::filesystem::path TrafficFileName(const std::filesystem::path& trafficDirectory, int year,
                                      int month, int day);

// Reads the file as long as it was when its length was taken, piece by piece, and counts it. False
// when it is missing, is not a regular file, cannot be read, or the reading was called off
// (stop returns true between pieces); the day is then of no use.
bool LoadTrafficFile(const std::filesystem::path& path, TrafficDay& day,
                     const std::function<bool()>& stop = nullptr);

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
