#include "core/analysis/system_load.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/foundation/hex_digits.h"
#include "core/foundation/regular_file.h"

namespace velk {

const std::array<uint16_t, kSlotCount> kSlotLastPort = {
    0x2F,  0x3F,  0x5F,  0x7F,  0x9F,  0xBF,  0xDF,  0xFF,  0x11F, 0x13F, 0x14F, 0x15F,
    0x17F, 0x19F, 0x1BF, 0x1DF, 0x1FF, 0x21F, 0x23F, 0x25F, 0x27F, 0x29F, 0x2AF, 0x2BF,
    0x2DF, 0x2FF, 0x31F, 0x33F, 0x35F, 0x37F, 0x39F, 0x3BF, 0x3DF, 0x3FF};

namespace {

constexpr int kFirstPort = 0x20;

// A digit as the reader takes it: '1'..'9', 'A'..'F', 'a'..'f' count, anything else is 0.
constexpr std::array<uint8_t, 256> kDigit = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[static_cast<size_t>(c)] = static_cast<uint8_t>(DigitValue(static_cast<uint8_t>(c)));
    return t;
}();

uint32_t Digit(char c) {
    return kDigit[static_cast<uint8_t>(c)];
}

// The bits of a byte spread over the bytes of a word: bit k becomes 1 in byte k, so that adding
// words counts each bit of many bytes at once.
constexpr std::array<uint64_t, 256> kSpread = [] {
    std::array<uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned k = 0; k < 8; ++k)
            t[b] |= static_cast<uint64_t>((b >> k) & 1u) << (8 * k);
    }
    return t;
}();

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

// A number in the C locale's notation whatever the environment's locale says (a window program
// takes the user's locale for its own texts).
std::string Fixed(float value, int decimals) {
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                 std::chars_format::fixed, decimals);
    return std::string(text, r.ptr);
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
    TrafficCounter counter(*this);
    counter.Feed(content);
    counter.Finish();
}

TrafficCounter::TrafficCounter(TrafficDay& day) : day_(day) {
    day_.Clear();
}

void TrafficCounter::Feed(std::string_view piece) {
    const char* p = piece.data();
    const char* const end = p + piece.size();
    while (p < end) {
        const auto* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* const stop = lf != nullptr ? lf : end;
        const auto n = static_cast<size_t>(stop - p);
        if (length_ == 0 && lf != nullptr && n == kLineLength + 1 && p[kLineLength] == '\r') {
            CountLine(p);  // a whole report inside the piece: counted where it stands
            p = lf + 1;
            continue;
        }
        if (n > 0) {
            if (length_ + n <= line_.size())
                std::memcpy(line_.data() + length_, p, n);
            length_ += n;
            last_ = stop[-1];
        }
        if (lf == nullptr)
            break;
        p = lf + 1;
        if (length_ > 0 && last_ == '\r') {
            EndLine();
            continue;
        }
        // An LF without its CR belongs to the line.
        if (length_ < line_.size())
            line_[length_] = '\n';
        ++length_;
        last_ = '\n';
    }
}

void TrafficCounter::EndLine() {
    // The CR stays with the line: a report is 272 characters and its CR.
    if (length_ == kLineLength + 1)
        CountLine(line_.data());
    length_ = 0;
    last_ = 0;
}

void TrafficCounter::CountLine(const char* line) {
    const uint32_t hour = Digit(line[11]) * 10 + Digit(line[12]);
    if (hour >= kHours)
        return;
    ++day_.reports[hour];
    day_.seizures[hour] +=
        Digit(line[268]) << 12 | Digit(line[269]) << 8 | Digit(line[270]) << 4 | Digit(line[271]);
    auto& packed = packed_[hour];
    const auto* bits = reinterpret_cast<const uint8_t*>(line) + 20;
    for (size_t j = 0; j < packed.size(); ++j)
        packed[j] += kSpread[kDigit[bits[2 * j]] << 4 | kDigit[bits[2 * j + 1]]];
    if (++packedReports_[hour] == 255)
        FlushHour(hour);
}

void TrafficCounter::FlushHour(size_t hour) {
    auto& packed = packed_[hour];
    for (size_t j = 0; j < packed.size(); ++j) {
        for (size_t k = 0; k < 8; ++k)
            day_.busy[8 * j + k][hour] += static_cast<uint32_t>(packed[j] >> (8 * k)) & 0xFFu;
        packed[j] = 0;
    }
    packedReports_[hour] = 0;
}

void TrafficCounter::Finish() {
    for (size_t h = 0; h < kHours; ++h) {
        if (packedReports_[h] != 0)
            FlushHour(h);
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

bool LoadTrafficFile(const std::filesystem::path& path, TrafficDay& day,
                     const std::function<bool()>& stop) {
    RegularFile file(path);
    if (!file.Ok())
        return false;
    // What the recorder appends after the length was taken is left for the next reading.
    std::vector<char> piece(size_t{1} << 16);
    TrafficCounter counter(day);
    for (uint64_t left = file.Length(); left > 0;) {
        if (stop && stop())
            return false;
        const auto want = static_cast<size_t>(std::min<uint64_t>(piece.size(), left));
        const size_t got = file.Read(piece.data(), want);
        counter.Feed(std::string_view(piece.data(), got));
        left -= got;
        if (got < want)
            break;  // the file became shorter: what could be read counts
    }
    counter.Finish();
    return true;
}

std::string LoadText(float load) {
    if (load <= 0.0f)
        return {};
    return Fixed(load, load == 1.0f ? 1 : 3);
}

std::string ErlangText(float erlang) {
    if (erlang <= 0.0f)
        return {};
    return Fixed(erlang, erlang < 100.0f ? 2 : erlang < 1000.0f ? 1 : 0);
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
    float value = 0.0f;
    std::from_chars(text.data(), text.data() + text.size(), value);  // nothing read: 0
    return LoadBand(value);
}

const char* BandLegend(int band) {
    static const char* const kTexts[kLoadBands] = {"< 0.001", "< 0.15", "< 0.30", "< 0.45",
                                                   "< 0.60",  "< 0.75", ">=0.75"};
    return kTexts[band >= 0 && band < kLoadBands ? band : 0];
}

}  // namespace velk
