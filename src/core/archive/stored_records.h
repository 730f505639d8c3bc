#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/analysis/raw_import.h"
#include "core/decode/field_decoder.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/base_directory.h"
#include "core/foundation/regular_file.h"

namespace velk {

// A regular file read from its start as an import source.
class StreamImportSource : public ImportSource {
public:
    explicit StreamImportSource(const std::filesystem::path& path) : file_(path) {}
    bool Ok() const { return file_.Ok(); }
    uint64_t Length() const override { return file_.Length(); }
    size_t Read(uint8_t* to, size_t n) override {
        return file_.Read(reinterpret_cast<char*>(to), n);
    }
    std::istream& Stream() { return file_.Stream(); }

private:
    RegularFile file_;
};

// True when the file is one the recorders append call records to: a file in Bill or
// Bill_Backup, or a buffer in-file. An import of it would store its records into itself.
bool IsRecordFile(const std::filesystem::path& file, const OutputDirectories& dirs);

// The call records of a file to import that stand in the record files already, found by their
// text in the file of their day in Bill: the raw file where raw files are kept (the message as
// received), else the decoded file (the decoded line; only when its columns tell calls apart,
// with the sequence number and the start time). An import asks before it stores a record, so that
// a file imported twice is not billed twice. Each stored copy answers for one record only. Only
// the records of the file to import are kept in memory, not those of the record files.
class StoredRecords {
public:
    // The settings are copied: an import may run on a thread of its own.
    StoredRecords(const AppSettings& settings, const OutputDirectories& dirs);
    StoredRecords(const StoredRecords&) = delete;
    StoredRecords& operator=(const StoredRecords&) = delete;

    // False when the settings keep no file in Bill that tells the calls apart.
    bool Comparable() const;
    // First every call record of the file to import is noted, then the record files are looked
    // through once: the number of noted records that stand there.
    void Note(const uint8_t* frame, uint32_t length);
    uint64_t Look();
    // During the import: true when the record stands in its day's file and that copy was not
    // taken yet; it is taken.
    bool Take(const uint8_t* frame, uint32_t length);

private:
    struct Key {
        uint64_t a, b;
        bool operator==(const Key& o) const { return a == o.a && b == o.b; }
    };
    struct KeyHash {
        size_t operator()(const Key& k) const { return static_cast<size_t>(k.a ^ (k.b << 1)); }
    };
    struct Copies {
        uint32_t noted = 0;
        uint32_t stored = 0;
        uint32_t taken = 0;
    };
    using File = std::unordered_map<Key, Copies, KeyHash>;

    static Key KeyOf(std::string_view text);
    // The day's file of a call record and its key there; false for another message.
    bool Locate(const uint8_t* frame, uint32_t length, std::filesystem::path& path, Key& key);
    // Counts the copies of the noted records that the file holds.
    void Count(const std::filesystem::path& path, File& file) const;

    AppSettings settings_;
    OutputDirectories dirs_;
    FieldDecoder decoder_{settings_};
    std::map<std::filesystem::path, File> files_;
};

// What an import finds of a file before it stores anything: how many call records pass their
// check, and how many of them are stored already.
struct ImportSurvey {
    uint64_t callRecords = 0;
    uint64_t alreadyStored = 0;
    bool cancelled = false;
};
// Reads the source once without storing anything, noting its call records in `stored` and
// looking them up. `cancelled` is asked after every message.
ImportSurvey SurveyImport(ImportSource& source, bool otherProgram, StoredRecords& stored,
                          const std::function<bool()>& cancelled = nullptr);

// The call records the day's file in Bill holds (the day as yyyymmdd): the daily raw file where
// raw files are kept by day, else the decoded file (its header line not counted); 0 when the
// settings keep neither, or the file is not there.
uint64_t CallRecordsOfDay(const AppSettings& settings, const OutputDirectories& dirs,
                          const std::string& day);

// True for the type code of a call record.
inline bool IsCallRecord(const uint8_t* frame) {
    return frame[4] == '5' && frame[5] == '2';
}

}  // namespace velk
