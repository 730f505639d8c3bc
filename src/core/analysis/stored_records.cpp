#include "core/analysis/stored_records.h"

#include <functional>
#include <system_error>

#include "core/decode/billing_message.h"
#include "core/record/call_recorder.h"

namespace velk {

StreamImportSource::StreamImportSource(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return;
    length_ = std::filesystem::file_size(path, ec);
    if (ec)
        return;
    in_.open(path, std::ios::binary);
    ok_ = in_.is_open();
}

size_t StreamImportSource::Read(uint8_t* to, size_t n) {
    in_.read(reinterpret_cast<char*>(to), static_cast<std::streamsize>(n));
    return static_cast<size_t>(in_.gcount());
}

bool IsRecordFile(const std::filesystem::path& file, const OutputDirectories& dirs) {
    std::error_code ec;
    const auto real = std::filesystem::canonical(file, ec);
    if (ec)
        return false;
    const auto same = [](const std::filesystem::path& a, const std::filesystem::path& b) {
        std::error_code e;
        return std::filesystem::equivalent(a, b, e);
    };
    return same(real.parent_path(), dirs.bill) || same(real.parent_path(), dirs.billBackup) ||
           same(real, dirs.buffers / "buffer_in.raw") || same(real, dirs.buffers / "buffer_in.csv");
}

StoredRecords::StoredRecords(const AppSettings& settings, const OutputDirectories& dirs)
    : settings_(settings), dirs_(dirs) {}

bool StoredRecords::Comparable() const {
    return settings_.RawSave == 1 || settings_.SaveToFile == 1;
}

StoredRecords::Key StoredRecords::KeyOf(std::string_view text) {
    // Two independent 64-bit hashes: records of one day never share both by chance.
    uint64_t fnv = 14695981039346656037ull;
    for (unsigned char c : text) {
        fnv ^= c;
        fnv *= 1099511628211ull;
    }
    return {fnv, std::hash<std::string_view>{}(text)};
}

StoredRecords::File StoredRecords::Read(const std::filesystem::path& path) const {
    File file;
    StreamImportSource source(path);  // a regular file only: a pipe would hold the import
    if (!source.Ok())
        return file;
    if (settings_.RawSave == 1) {
        // The file is read as an import reads it: each message as received, from its length
        // digits to its check digits.
        struct Collect : ImportSink {
            explicit Collect(File& f) : file(f) {}
            void Message(const uint8_t* frame, uint32_t length) override {
                ++file[KeyOf(std::string_view(reinterpret_cast<const char*>(frame) + 1,
                                              length + 2))]
                      .stored;
            }
            void BadCheck() override {}
            File& file;
        } collect(file);
        RunRawImport(source, collect, false);
        return file;
    }
    std::string content(static_cast<size_t>(source.Length()), '\0');
    content.resize(source.Read(reinterpret_cast<uint8_t*>(content.data()), content.size()));
    // A decoded line ends with CR LF; a last line without them is still being written.
    for (size_t at = 0, end; (end = content.find("\r\n", at)) != std::string::npos; at = end + 2)
        ++file[KeyOf(std::string_view(content).substr(at, end - at))].stored;
    return file;
}

bool StoredRecords::Take(const uint8_t* frame, uint32_t length) {
    if (!Comparable() || length < 3 || !IsCallRecord(frame))
        return false;
    const BillingMessage message(frame, length);
    std::string date;
    decoder_.DecodeField(4, message, RecordBase::FromHexType(settings_.Hex_Type), date);
    const std::string base = BaseName(date);
    const bool raw = settings_.RawSave == 1;
    const auto path =
        dirs_.bill / (raw ? RawFileName(settings_, base) : DecodedFileName(settings_, base));
    auto at = files_.find(path);
    if (at == files_.end())
        at = files_.emplace(path, Read(path)).first;
    std::string line;
    if (!raw) {
        line = MakeDecodedLine(settings_, decoder_, message);
        line.resize(line.size() - 2);  // without its CR LF
    }
    const auto copy =
        at->second.find(raw ? KeyOf(std::string_view(reinterpret_cast<const char*>(frame) + 1,
                                                     length + 2))
                            : KeyOf(line));
    if (copy == at->second.end() || copy->second.taken == copy->second.stored)
        return false;
    ++copy->second.taken;
    return true;
}

void StoredRecords::Restore() {
    for (auto& [path, file] : files_) {
        for (auto& [key, copies] : file)
            copies.taken = 0;
    }
}

ImportSurvey SurveyImport(ImportSource& source, bool otherProgram, StoredRecords& stored) {
    struct Count : ImportSink {
        explicit Count(StoredRecords& s) : stored(s) {}
        void Message(const uint8_t* frame, uint32_t length) override {
            if (!IsCallRecord(frame))
                return;
            ++survey.callRecords;
            survey.alreadyStored += stored.Take(frame, length) ? 1 : 0;
        }
        void BadCheck() override {}
        StoredRecords& stored;
        ImportSurvey survey;
    } count(stored);
    RunRawImport(source, count, otherProgram);
    stored.Restore();
    return count.survey;
}

}  // namespace velk
