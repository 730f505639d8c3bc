#include "core/foundation/ini_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace velk {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The key of a "key=value" line, or nullopt for comments and lines without '='.
std::optional<std::string_view> KeyOf(std::string_view line) {
    const std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';')
        return std::nullopt;
    const auto eq = t.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    return Trim(t.substr(0, eq));
}

}  // namespace

std::string EncodeStructInt(int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    std::string out;
    unsigned sum = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned byte = (u >> (8 * i)) & 0xFFu;
        sum += byte;
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0xF];
    }
    sum &= 0xFFu;
    out += kHexDigits[sum >> 4];
    out += kHexDigits[sum & 0xF];
    return out;
}

std::optional<int32_t> DecodeStructInt(std::string_view text) {
    if (text.size() != 10)
        return std::nullopt;
    std::array<unsigned, 5> bytes{};
    for (size_t i = 0; i < 5; ++i) {
        const int hi = HexValue(text[2 * i]);
        const int lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes[i] = static_cast<unsigned>(hi * 16 + lo);
    }
    if (((bytes[0] + bytes[1] + bytes[2] + bytes[3]) & 0xFFu) != bytes[4])
        return std::nullopt;
    const uint32_t u = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (bytes[3] << 24);
    return static_cast<int32_t>(u);
}

IniDocument::LoadResult IniDocument::Load(const std::filesystem::path& path) {
    sections_.assign(1, Section{});
    byteOrderMark_ = false;
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(st))
        return ec && ec != std::errc::no_such_file_or_directory ? LoadResult::Unreadable
                                                                : LoadResult::Missing;
    if (!std::filesystem::is_regular_file(st))
        return LoadResult::Unreadable;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return LoadResult::Unreadable;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return LoadResult::Unreadable;
    Parse(content.str());
    return LoadResult::Loaded;
}

void IniDocument::Parse(std::string_view content) {
    sections_.assign(1, Section{});
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    byteOrderMark_ = content.substr(0, kByteOrderMark.size()) == kByteOrderMark;
    if (byteOrderMark_)
        content.remove_prefix(kByteOrderMark.size());
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string_view::npos)
            end = content.size();
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        start = end + 1;

        const std::string_view t = Trim(line);
        if (t.size() >= 2 && t.front() == '[') {
            const auto close = t.find(']');
            if (close != std::string_view::npos) {
                sections_.push_back(
                    Section{std::string(Trim(t.substr(1, close - 1))), std::string(line), {}});
                continue;
            }
        }
        sections_.back().lines.emplace_back(line);
    }
}

IniDocument::Section* IniDocument::FindSection(std::string_view name) {
    for (size_t i = 1; i < sections_.size(); ++i) {
        if (EqualNoCase(sections_[i].name, name))
            return &sections_[i];
    }
    return nullptr;
}

const IniDocument::Section* IniDocument::FindSection(std::string_view name) const {
    return const_cast<IniDocument*>(this)->FindSection(name);
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
    const Section* s = FindSection(section);
    if (s == nullptr)
        return std::nullopt;
    for (const std::string& line : s->lines) {
        const auto k = KeyOf(line);
        if (!k || !EqualNoCase(*k, key))
            continue;
        std::string_view v = Trim(std::string_view(line).substr(line.find('=') + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            v = v.substr(1, v.size() - 2);
        }
        return std::string(v);
    }
    return std::nullopt;
}

void IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    Section* s = FindSection(section);
    if (s == nullptr) {
        sections_.push_back(Section{std::string(section), "[" + std::string(section) + "]", {}});
        s = &sections_.back();
    }
    for (std::string& line : s->lines) {
        const auto k = KeyOf(line);
        if (k && EqualNoCase(*k, key)) {
            line = std::string(*k) + "=" + std::string(value);
            return;
        }
    }
    // New keys go after the last non-blank line, so blank separators stay before the next section.
    auto pos = s->lines.end();
    while (pos != s->lines.begin() && Trim(*std::prev(pos)).empty())
        --pos;
    s->lines.insert(pos, std::string(key) + "=" + std::string(value));
}

std::string IniDocument::Serialize() const {
    std::string out = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
    for (const Section& s : sections_) {
        if (!s.header.empty())
            out += s.header + "\r\n";
        for (const std::string& line : s.lines)
            out += line + "\r\n";
    }
    return out;
}

bool IniDocument::Save(const std::filesystem::path& path, DiskFlush* flush,
                       FileOwnership* ownership) const {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A symbolic link keeps pointing where it points: its target is what is replaced.
    fs::path target = path;
    for (int hops = 0; hops < 40 && fs::is_symlink(target, ec); ++hops) {
        const fs::path link = fs::read_symlink(target, ec);
        if (ec)
            return false;
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    const fs::file_status st = fs::status(target, ec);
    const bool exists = fs::exists(st);
    if (exists) {
        if (!fs::is_regular_file(st))
            return false;
        // A read-only file stays as it is, whoever runs the program.
        const fs::perms write =
            fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        if ((st.permissions() & write) == fs::perms::none)
            return false;
        // ... and so does one this user may not write.
        std::FILE* probe = std::fopen(target.c_str(), "r+b");
        if (probe == nullptr)
            return false;
        std::fclose(probe);
    }

    fs::path tmp = target;
    tmp += ".tmp";
    const auto discard = [&tmp] {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        return false;
    };
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        const std::string content = Serialize();
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out)
            return discard();
    }
    if (exists)
        fs::permissions(tmp, st.permissions(), ec);
    const fs::path directory = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    if (ownership != nullptr && !ownership->Take(tmp, exists ? target : directory))
        return discard();
    if (flush != nullptr && !flush->Flush(tmp))
        return discard();
    fs::rename(tmp, target, ec);
    if (ec)
        return discard();
    if (flush != nullptr)
        flush->Flush(directory);
    return true;
}

}  // namespace velk
