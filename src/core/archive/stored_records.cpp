#include "core/archive/stored_records.h"

#include <algorithm>
#include <functional>
#include <system_error>

#include "core/decode/billing_message.h"
#include "core/record/call_recorder.h"

namespace velk {

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

bool StoredRecords::LinesTellCalls() const {
    // Decoded lines of two calls differ for sure only with the sequence number and the start.
    bool sequence = false, start = false;
    for (size_t k = 0; k < settings_.f.size(); ++k) {
        if (settings_.f[k] != 1)
            continue;
        sequence = sequence || settings_.SaveInd[k] == 0;
        start = start || settings_.SaveInd[k] == 4;
    }
    return sequence && start;
}

bool StoredRecords::Comparable() const {
    if (settings_.RawSave == 1 || settings_.DoBufferPacked != 0)
        return true;
    return (settings_.SaveToFile == 1 || settings_.DoBufferDecoded != 0) && LinesTellCalls();
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

const std::vector<StoredRecords::Target>* StoredRecords::Targets(const uint8_t* frame,
                                                                 uint32_t length) {
    if (!Comparable() || length < 3 || !IsCallRecord(frame))
        return nullptr;
    decoder_.DecodeField(4, BillingMessage(frame, length),
                         RecordBase::FromHexType(settings_.Hex_Type), text_);
    std::string base = BaseName(text_);
    auto day = days_.find(base);
    if (day == days_.end()) {
        std::vector<Target> targets = TargetsOfDay(base);
        day = days_.try_emplace(std::move(base), std::move(targets)).first;
    }
    return day->second.empty() ? nullptr : &day->second;
}

std::vector<StoredRecords::Target> StoredRecords::TargetsOfDay(const std::string& base) const {
    std::vector<Target> targets;
    const bool lines = LinesTellCalls();
    const auto add = [&](const std::filesystem::path& file, std::vector<std::filesystem::path> read,
                         bool raw) {
        std::error_code ec;
        const bool present = std::any_of(read.begin(), read.end(), [&ec](const auto& f) {
            return std::filesystem::exists(f, ec);
        });
        targets.push_back({file, std::move(read), raw, !raw && !lines, present, {}});
    };
    for (const auto& dir : {dirs_.bill, dirs_.billBackup}) {
        if (settings_.RawSave == 1) {
            const auto raw = dir / RawFileName(settings_, base);
            add(raw, {raw}, true);
        }
        if (settings_.SaveToFile == 1) {
            const auto decoded = dir / DecodedFileName(settings_, base);
            add(decoded, {decoded}, false);
        }
    }
    if (settings_.DoBufferPacked != 0) {
        add(dirs_.buffers / "buffer_in.raw",
            {dirs_.buffers / "buffer_in.raw", settings_.DoBufferPackedToOut != 0
                                                  ? dirs_.buffersRaw / "buffer_out.raw"
                                                  : dirs_.buffers / "buffer_out.raw"},
            true);
    }
    if (settings_.DoBufferDecoded != 0) {
        add(dirs_.buffers / "buffer_in.csv",
            {dirs_.buffers / "buffer_in.csv", settings_.DoBufferDecodedToOut != 0
                                                  ? dirs_.buffersCsv / "buffer_out.csv"
                                                  : dirs_.buffers / "buffer_out.csv"},
            false);
    }
    // A follower's leader: the raw file of its directory, else the first raw file.
    for (Target& t : targets) {
        if (!t.follows)
            continue;
        for (const Target& r : targets) {
            if (r.raw && (t.leader.empty() || r.file.parent_path() == t.file.parent_path()))
                t.leader = r.file;
            if (r.raw && r.file.parent_path() == t.file.parent_path())
                break;
        }
    }
    return targets;
}

StoredRecords::Key StoredRecords::RecordKeys::Of(const Target& target) {
    if (target.raw) {
        if (!raw_) {
            rawKey_ =
                KeyOf(std::string_view(reinterpret_cast<const char*>(frame_) + 1, length_ + 2));
            raw_ = true;
        }
        return rawKey_;
    }
    if (!line_) {
        const std::string text =
            MakeDecodedLine(records_.settings_, records_.decoder_, BillingMessage(frame_, length_));
        lineKey_ = KeyOf(std::string_view(text).substr(0, text.size() - 2));  // without CR LF
        line_ = true;
    }
    return lineKey_;
}

void StoredRecords::Note(const uint8_t* frame, uint32_t length) {
    const std::vector<Target>* targets = Targets(frame, length);
    if (targets == nullptr)
        return;
    RecordKeys keys(*this, frame, length);
    for (const Target& t : *targets) {
        if (t.follows)
            continue;
        if (first_.empty())
            first_ = t.file.native();
        // A file that is not there holds no copy: nothing to note.
        if (!t.present)
            continue;
        ++files_[t.file.native()][keys.Of(t)].noted;
        read_.try_emplace(t.file.native(), &t);
    }
}

void StoredRecords::Count(const Target& target, File& file) const {
    const auto count = [&file](std::string_view text) {
        if (const auto it = file.find(KeyOf(text)); it != file.end())
            ++it->second.stored;
    };
    for (const auto& path : target.read) {
        StreamImportSource source(path);
        if (!source.Ok())
            continue;
        if (target.raw) {
            // Each message as it was stored, from its length digits to its check digits, blanks
            // inside it included (another program's file can give it some), whatever the file's
            // length.
            struct Collect : ImportSink {
                explicit Collect(const decltype(count)& c) : found(c) {}
                void Message(const uint8_t* frame, uint32_t length) override {
                    found(std::string_view(reinterpret_cast<const char*>(frame) + 1, length + 2));
                }
                void BadCheck() override {}
                const decltype(count)& found;
            } collect(count);
            ReadStoredRawFile(source, collect);
            continue;
        }
        // A decoded line ends with CR LF; a last line without them is still being written.
        std::string line;
        for (std::istream& in = source.Stream(); std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r' && !in.eof()) {
                line.pop_back();
                count(line);
            }
        }
    }
}

uint64_t CallRecordsOfDay(const AppSettings& settings, const OutputDirectories& dirs,
                          const std::string& day) {
    if (settings.RawSave == 1 && settings.RawSaveDaily == 1) {
        StreamImportSource source(dirs.bill / RawFileName(settings, day));
        if (!source.Ok())
            return 0;
        struct Counter : ImportSink {
            void Message(const uint8_t* frame, uint32_t) override {
                count += IsCallRecord(frame) ? 1 : 0;
            }
            void BadCheck() override {}
            uint64_t count = 0;
        } counter;
        ReadStoredRawFile(source, counter);
        return counter.count;
    }
    if (settings.SaveToFile != 1)
        return 0;
    StreamImportSource source(dirs.bill / DecodedFileName(settings, day));
    if (!source.Ok())
        return 0;
    std::string header = DecodedFileHeader(settings);
    while (!header.empty() && (header.back() == '\n' || header.back() == '\r'))
        header.pop_back();
    // A decoded line ends with CR LF; a last line without them is still being written.
    uint64_t count = 0;
    bool first = true;
    std::string line;
    for (std::istream& in = source.Stream(); std::getline(in, line); first = false) {
        if (line.empty() || line.back() != '\r' || in.eof())
            continue;
        line.pop_back();
        if (!(first && line == header))
            ++count;
    }
    return count;
}

uint64_t StoredRecords::Look() {
    uint64_t stored = 0;
    for (auto& [path, file] : files_) {
        Count(*read_.at(path), file);
        const bool first = path == first_;
        for (const auto& [key, copies] : file) {
            anyStored_ = anyStored_ || std::min(copies.noted, copies.stored) > 0;
            if (first)
                stored += std::min(copies.noted, copies.stored);
        }
    }
    return stored;
}

StoredRecords::Found StoredRecords::TakeStored(const uint8_t* frame, uint32_t length) {
    Found found;
    const std::vector<Target>* targets = Targets(frame, length);
    if (targets == nullptr)
        return found;
    RecordKeys keys(*this, frame, length);
    found.everywhere = true;
    std::map<std::filesystem::path, bool> decided;
    // The files searched first; the decoded files that follow a raw file after them.
    for (const bool following : {false, true}) {
        for (const Target& t : *targets) {
            if (t.follows != following)
                continue;
            bool stored = false;
            if (t.follows) {
                stored = decided[t.leader];
            } else if (const auto file = files_.find(t.file.native()); file != files_.end()) {
                const auto copy = file->second.find(keys.Of(t));
                if (copy != file->second.end() && copy->second.taken < copy->second.stored) {
                    ++copy->second.taken;
                    stored = true;
                }
            }
            decided[t.file] = stored;
            if (stored)
                found.files.push_back(t.file);
            else
                found.everywhere = false;
        }
    }
    return found;
}

ImportSurvey SurveyImport(ImportSource& source, bool otherProgram, StoredRecords& stored,
                          const std::function<bool()>& cancelled) {
    struct Note : ImportSink {
        Note(StoredRecords& s, const std::function<bool()>& c) : stored(s), cancel(c) {}
        void Message(const uint8_t* frame, uint32_t length) override {
            if (!IsCallRecord(frame))
                return;
            ++callRecords;
            stored.Note(frame, length);
        }
        void BadCheck() override {}
        bool Cancelled() override { return cancel && cancel(); }
        StoredRecords& stored;
        const std::function<bool()>& cancel;
        uint64_t callRecords = 0;
    } note(stored, cancelled);
    ImportSurvey survey;
    survey.cancelled = RunRawImport(source, note, otherProgram).end == ImportEnd::Cancelled;
    survey.callRecords = note.callRecords;
    if (!survey.cancelled)
        survey.alreadyStored = stored.Look();
    return survey;
}

}  // namespace velk
