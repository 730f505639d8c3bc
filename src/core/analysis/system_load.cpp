#include "core/analysis/system_load.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

#include "core/foundation/hex_digits.h"

namespace velk {

const std::array<uint16_t, kSlotCount> kSlotLastPort = {
    0x2F,  0x3F,  0x5F,  0x7F,  0x9F,  0xBF,  0xDF,  0xFF,  0x11F, 0x13F, 0x14F, 0x15F,
    0x17F, 0x19F, 0x1BF, 0x1DF, 0x1FF, 0x21F, 0x23F, 0x25F, 0x27F, 0x29F, 0x2AF, 0x2BF,
    0x2DF, 0x2FF, 0x31F, 0x33F, 0x35F, 0x37F, 0x39F, 0x3BF, 0x3DF, 0x3FF};

namespace {

constexpr int kFirstPort = 0x20;
constexpr size_t kLineLength = 272;

// The shelf and the slot number within it of slot s: shelf 1 has 10 slots, 2 and 3 have 12.
std::pair<int, int> ShelfAndSlot(int slot) {
    if (slot < 10)
        return {1, slot + 1};
    if (slot < 22)
        return {2, slot - 10 + 1};
    return {3, slot - 22 + 1};
}

int FirstPortOfSlot(int slot) {
    return slot == 0 ? 0 : kSlotLastPort[static_cast<size_t>(slot - 1)] + 1 - kFirstPort;
}

// A digit as the reader takes it: '1'..'9', 'A'..'F', 'a'..'f' count, anything else is 0.
uint32_t Digit(char c) {
    return DigitValue(static_cast<uint8_t>(c));
}

}  // namespace

std::string SlotLabel(int slot) {
    const auto [shelf, number] = ShelfAndSlot(slot);
    char text[16];
    std::snprintf(text, sizeof text, "%d/%02d", shelf, number);
    return text;
}

int SlotOfPort(int port) {
    const int id = port + kFirstPort;
    for (int s = 0; s < kSlotCount; ++s) {
        if (id <= kSlotLastPort[static_cast<size_t>(s)])
            return s;
    }
    return kSlotCount - 1;
}

int SlotPortCount(int slot) {
    return kSlotLastPort[static_cast<size_t>(slot)] + 1 - kFirstPort - FirstPortOfSlot(slot);
}

std::string PortLabel(int port) {
    const int slot = SlotOfPort(port);
    char text[16];
    std::snprintf(text, sizeof text, "/%02d", port - FirstPortOfSlot(slot) + 1);
    return SlotLabel(slot) + text;
}

std::string PortIdentifier(int port) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(port + kFirstPort) & 0xFFFFu);
    return text;
}

void TrafficDay::Clear() {
    for (auto& port : busy)
        port.fill(0);
    reports.fill(0);
    seizures.fill(0);
}

void TrafficDay::Parse(std::string_view content) {
    Clear();
    size_t start = 0;
    for (;;) {
        const size_t crlf = content.find("\r\n", start);
        if (crlf == std::string_view::npos)
            break;  // a last line without CR LF is still being written
        const std::string_view line = content.substr(start, crlf - start);
        start = crlf + 2;
        if (line.size() != kLineLength)
            continue;
        const uint32_t hour = Digit(line[11]) * 10 + Digit(line[12]);
        if (hour >= kHours)
            continue;
        ++reports[hour];
        seizures[hour] += Digit(line[268]) << 12 | Digit(line[269]) << 8 | Digit(line[270]) << 4 |
                          Digit(line[271]);
        for (int j = 0; j < 124; ++j) {
            const uint32_t bits = Digit(line[20 + 2 * j]) << 4 | Digit(line[21 + 2 * j]);
            if (bits == 0)
                continue;
            for (int k = 0; k < 8; ++k) {
                if (bits & (1u << k))
                    ++busy[static_cast<size_t>(8 * j + k)][hour];
            }
        }
    }
}

float TrafficDay::PortLoad(int port, int hour) const {
    const uint32_t n = reports[static_cast<size_t>(hour)];
    if (n == 0)
        return 0.0f;
    return static_cast<float>(busy[static_cast<size_t>(port)][static_cast<size_t>(hour)]) /
           static_cast<float>(n);
}

float TrafficDay::SlotLoad(int slot, int hour) const {
    const int first = FirstPortOfSlot(slot);
    const int ports = SlotPortCount(slot);
    uint32_t sum = 0;
    for (int i = first; i < first + ports; ++i)
        sum += busy[static_cast<size_t>(i)][static_cast<size_t>(hour)];
    const uint32_t product = reports[static_cast<size_t>(hour)] * static_cast<uint32_t>(ports);
    return product == 0 ? 0.0f : static_cast<float>(sum) / static_cast<float>(product);
}

float TrafficDay::Erlang(int hour) const {
    float sum = 0.0f;
    for (int i = 0; i < kPortCount; ++i)
        sum += PortLoad(i, hour);
    return sum;
}

std::filesystem::path TrafficFileName(const std::filesystem::path& dir, int year, int month,
                                      int day) {
    char name[32];
    std::snprintf(name, sizeof name, "%04d%02d%02d.trf", year, month, day);
    return dir / name;
}

bool LoadTrafficFile(const std::filesystem::path& path, TrafficDay& day) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec)
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    // What the recorder appends after the length was taken is left for the next reading.
    std::string content(size, '\0');
    in.read(content.data(), static_cast<std::streamsize>(size));
    content.resize(static_cast<size_t>(in.gcount()));
    day.Parse(content);
    return true;
}

std::string LoadText(float load) {
    if (load <= 0.0f)
        return {};
    char text[32];
    if (load == 1.0f)
        std::snprintf(text, sizeof text, "%1.1f", static_cast<double>(load));
    else
        std::snprintf(text, sizeof text, "%1.3f", static_cast<double>(load));
    return text;
}

std::string ErlangText(float erlang) {
    if (erlang <= 0.0f)
        return {};
    char text[32];
    const double e = static_cast<double>(erlang);
    if (erlang < 100.0f)
        std::snprintf(text, sizeof text, "%.2f", e);
    else if (erlang < 1000.0f)
        std::snprintf(text, sizeof text, "%.1f", e);
    else
        std::snprintf(text, sizeof text, "%.0f", e);
    return text;
}

std::string CountText(uint32_t count) {
    return count == 0 ? std::string() : std::to_string(count);
}

int LoadBand(float v) {
    static const float kLimits[] = {0.001f, 0.15f, 0.30f, 0.45f, 0.60f, 0.75f};
    for (int band = 0; band < 6; ++band) {
        if (v < kLimits[band])
            return band;
    }
    return 6;
}

Rgb BandColour(int band) {
    static const Rgb kColours[kLoadBands] = {{255, 255, 255}, {235, 255, 235}, {200, 255, 200},
                                             {64, 255, 64},   {200, 255, 0},   {255, 255, 0},
                                             {255, 0, 0}};
    return kColours[band >= 0 && band < kLoadBands ? band : 0];
}

int CellBand(const std::string& text) {
    return text.empty() ? 0 : LoadBand(std::strtof(text.c_str(), nullptr));
}

const char* BandLegend(int band) {
    static const char* const kTexts[kLoadBands] = {"< 0.001", "< 0.15", "< 0.30", "< 0.45",
                                                   "< 0.60",  "< 0.75", ">=0.75"};
    return kTexts[band >= 0 && band < kLoadBands ? band : 0];
}

}  // namespace velk
