#include "core/record/torn_records.h"

#include "core/link/link_protocol.h"

namespace velk {
namespace {

constexpr char kStx = '\x02';

// The bytes every raw record ends with under these settings.
std::string RawSuffix(const AppSettings& s) {
    std::string suffix;
    if (s.APP_ETX != 0)
        suffix += '\x03';
    if (s.APP_EOT != 0)
        suffix += '\x04';
    if (s.APP_CR != 0)
        suffix += '\r';
    if (s.APP_LF != 0)
        suffix += '\n';
    return suffix;
}

bool IsDayName(std::string_view base) {
    if (base == "BAD_DATE")
        return true;
    if (base.size() != 8)
        return false;
    for (char c : base) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

enum class Kind { None, Raw, Lines };

// What a file in Bill or Bill_Backup holds, by the names the recorders give their files.
Kind KindInBill(const std::string& name, const AppSettings& settings) {
    if (name == "cs1000.raw" || (name.size() == 12 && name.substr(8) == ".raw" &&
                                 IsDayName(std::string_view(name).substr(0, 8)))) {
        return Kind::Raw;
    }
    if (name.size() >= 8 && IsDayName(std::string_view(name).substr(0, 8)) &&
        name == DecodedFileName(settings, name.substr(0, 8))) {
        return Kind::Lines;
    }
    return Kind::None;
}

}  // namespace

RecordFileEnd RawRecordsEnd(std::string_view content, const AppSettings& settings) {
    const std::string suffix = RawSuffix(settings);
    const bool stx = settings.APP_STX != 0;
    size_t at = 0;
    while (at < content.size()) {
        const size_t start = at;
        if (stx) {
            if (content[at] != kStx)
                return {};
            ++at;
        }
        if (content.size() - at < 3)
            return {start};
        const uint32_t length = ParseLengthDigits(reinterpret_cast<const uint8_t*>(&content[at]));
        if (length == 0 || length > 999)
            return {};
        if (content.size() - at < length + 2)
            return {start};
        at += length + 2;
        const std::string_view rest = content.substr(at);
        if (rest.size() < suffix.size()) {
            // A line end cut short belongs to a record cut short; other bytes are no record of
            // these settings.
            if (suffix.compare(0, rest.size(), rest) == 0)
                return {start};
            return {};
        }
        if (rest.substr(0, suffix.size()) != suffix)
            return {};
        at += suffix.size();
    }
    return {at};
}

RecordFileEnd LinesEnd(std::string_view content) {
    const size_t lastEnd = content.rfind('\n');
    return {lastEnd == std::string_view::npos ? 0 : lastEnd + 1};
}

std::vector<std::filesystem::path> CutTornRecords(FileStore& files, const AppSettings& settings,
                                                  const OutputDirectories& dirs,
                                                  const FileProblemReport& report) {
    std::vector<std::pair<std::filesystem::path, Kind>> candidates;
    std::vector<std::string> names;
    for (const auto& dir : {dirs.bill, dirs.billBackup}) {
        if (!files.ListFiles(dir, names))
            continue;
        for (const std::string& name : names) {
            const Kind kind = KindInBill(name, settings);
            if (kind != Kind::None)
                candidates.emplace_back(dir / name, kind);
        }
    }
    candidates.emplace_back(dirs.buffers / "buffer_in.raw", Kind::Raw);
    candidates.emplace_back(dirs.buffers / "buffer_in.csv", Kind::Lines);
    if (files.ListFiles(dirs.trf, names)) {
        for (const std::string& name : names) {
            if (name.size() > 4 && name.substr(name.size() - 4) == ".trf")
                candidates.emplace_back(dirs.trf / name, Kind::Lines);
        }
    }

    const std::string suffix = RawSuffix(settings);
    std::vector<std::filesystem::path> cut;
    std::string tail;
    std::string content;
    for (const auto& [path, kind] : candidates) {
        uint64_t size = 0;
        // Nearly always the last bytes tell that the end is whole; only a file that ends
        // otherwise is read whole.
        if (!files.ReadTail(path, 8, tail, size) || size == 0)
            continue;
        if (kind == Kind::Lines && tail.back() == '\n')
            continue;
        if (kind == Kind::Raw && !suffix.empty() && tail.size() >= suffix.size() &&
            tail.compare(tail.size() - suffix.size(), suffix.size(), suffix) == 0) {
            continue;
        }
        if (!files.ReadWhole(path, content, static_cast<size_t>(size)))
            continue;
        const RecordFileEnd end = kind == Kind::Raw ? RawRecordsEnd(content, settings)
                                                    : LinesEnd(content);
        if (end.wholeUpTo == RecordFileEnd::kUnknown || end.wholeUpTo >= content.size())
            continue;
        const uint64_t removed = content.size() - end.wholeUpTo;
        if (!files.CutTo(path, end.wholeUpTo)) {
            if (report) {
                report("Cut back", path.string() + ": its last " + std::to_string(removed) +
                                       " bytes are not a whole record and cannot be cut off (" +
                                       files.ErrorText() + ")");
            }
            continue;
        }
        cut.push_back(path);
        if (report) {
            report("Cut back", path.string() + ": " + std::to_string(removed) +
                                   " bytes after its last whole record (a record cut short when "
                                   "a program stopped) are removed; " +
                                   std::to_string(end.wholeUpTo) + " bytes remain");
        }
    }
    return cut;
}

}  // namespace velk
