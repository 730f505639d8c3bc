#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velk {

// An IPv4 or IPv6 network: its address (IPv4 mapped into IPv6) and the bits of its prefix.
struct AddressRange {
    std::array<uint8_t, 16> address{};
    int prefixBits = 128;
};

// Reads an address as text ("127.0.0.1", "::1", "::ffff:127.0.0.1") into its 16 bytes, IPv4 as
// an IPv4-mapped IPv6 address; nullopt when it is none.
std::optional<std::array<uint8_t, 16>> ReadAddress(const std::string& text);
// Reads a list of addresses and networks separated by commas or blanks ("127.0.0.0/8, ::1"); an
// address alone is that one address. False, with the entry in `why`, when one cannot be read.
bool ReadAddressRanges(const std::string& text, std::vector<AddressRange>& ranges,
                       std::string& why);
bool AddressAllowed(const std::string& address, const std::vector<AddressRange>& ranges);
// 127.0.0.0/8 and ::1.
bool IsLoopbackAddress(const std::string& address);

// "ADDRESS:PORT" or "[IPv6]:PORT" of a listening address; false with the reason when it cannot
// be read.
bool ReadListenAddress(const std::string& text, std::string& host, uint16_t& port,
                       std::string& why);

}  // namespace velk
