#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// The call records of a file to import that stand in the record files already, decided for each
// file a record goes to: the raw and decoded files of its day in Bill and Bill_Backup, and the
// buffer pairs (in-file and out-file together). A raw file is searched for the message as
// received; a decoded file for the decoded line when its columns tell calls apart (the sequence
// number and the start time), else it follows the raw file of its directory (or the record's
// first raw file). An import asks before
// it stores a record, so that a file imported twice is not billed twice, and a run after a killed
// one completes the files the record is missing from. Each stored copy answers for one record
// only. Only the records of the file to import are kept in memory, not those of the record files.
class StoredRecords {
public:
    // The settings are copied: an import may run on a thread of its own.
    StoredRecords(const AppSettings& settings, const OutputDirectories& dirs);
    StoredRecords(const StoredRecords&) = delete;
    StoredRecords& operator=(const StoredRecords&) = delete;

    // False when the settings keep no file that tells the calls apart.
    bool Comparable() const;
    // First every call record of the file to import is noted, then the record files are looked
    // through once: the number of noted records that stand in the first of their files.
    void Note(const uint8_t* frame, uint32_t length);
    uint64_t Look();
    // After Look: whether any noted record stands in any of its files.
    bool AnyStored() const { return anyStored_; }
    // During the import: the files the record stands in (a copy not taken yet; it is taken), and
    // whether that is every file it goes to.
    struct Found {
        bool everywhere = false;
        std::vector<std::filesystem::path> files;
    };
    Found TakeStored(const uint8_t* frame, uint32_t length);
    // True when the record stands in every file it goes to.
    bool Take(const uint8_t* frame, uint32_t length) { return TakeStored(frame, length).everywhere; }

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
    // A file a record goes to, the files read for it (a buffer in-file and its out-file), how its
    // records are written, and whether any of those files was there when the first record of its
    // day was noted (one that was not holds no copy); a decoded file whose lines do not tell calls
    // apart follows a raw file (of its own directory where there is one) and takes its decision.
    struct Target {
        std::filesystem::path file;
        std::vector<std::filesystem::path> read;
        bool raw = true;
        bool follows = false;
        bool present = false;
        std::filesystem::path leader;
    };
    // The keys of one record, each made when a file that is there asks for it (a decoded line is
    // made only for a decoded file that is there).
    class RecordKeys {
    public:
        RecordKeys(StoredRecords& records, const uint8_t* frame, uint32_t length)
            : records_(records), frame_(frame), length_(length) {}
        Key Of(const Target& target);

    private:
        StoredRecords& records_;
        const uint8_t* frame_;
        uint32_t length_;
        bool raw_ = false, line_ = false;
        Key rawKey_{}, lineKey_{};
    };

    static Key KeyOf(std::string_view text);
    bool LinesTellCalls() const;
    // The files of a call record, the same for every record of its day (worked out once for each
    // day); nullptr for another message.
    const std::vector<Target>* Targets(const uint8_t* frame, uint32_t length);
    std::vector<Target> TargetsOfDay(const std::string& base) const;
    // Counts the copies of the noted records that the target's files hold.
    void Count(const Target& target, File& file) const;

    AppSettings settings_;
    OutputDirectories dirs_;
    FieldDecoder decoder_{settings_};
    // By the files' names as text: every record noted looks up each of its files here.
    std::map<std::string, File> files_;
    // How each noted target's files are read (its day's entry in days_).
    std::map<std::string, const Target*> read_;
    std::string first_;  // the first file of the first record noted
    bool anyStored_ = false;
    // The files of each day a record was noted or looked up for, by the day's name.
    std::unordered_map<std::string, std::vector<Target>> days_;
    std::string text_;  // a record's start, for its day's name
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
