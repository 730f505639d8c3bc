#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/analysis/raw_import.h"
#include "core/decode/field_decoder.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/base_directory.h"

namespace velk {

// A file read from its start as an import source, as long as it was when opened.
class StreamImportSource : public ImportSource {
public:
    explicit StreamImportSource(const std::filesystem::path& path);
    bool Ok() const { return ok_; }
    uint64_t Length() const override { return length_; }
    size_t Read(uint8_t* to, size_t n) override;

private:
    std::ifstream in_;
    uint64_t length_ = 0;
    bool ok_ = false;
};

// True when the file is one the recorders append call records to: a file in Bill or
// Bill_Backup, or a buffer in-file. An import of it would store its records into itself.
bool IsRecordFile(const std::filesystem::path& file, const OutputDirectories& dirs);

// The call records that stand in the record files already, found by their text in the file of
// their day in Bill: the raw file where raw files are kept (the message as received), else the
// decoded file (the decoded line). An import asks before it stores a record, so that a file
// imported twice is not billed twice. Each stored copy answers for one record only.
class StoredRecords {
public:
    // The settings are copied: an import may run on a thread of its own.
    StoredRecords(const AppSettings& settings, const OutputDirectories& dirs);
    StoredRecords(const StoredRecords&) = delete;
    StoredRecords& operator=(const StoredRecords&) = delete;

    // False when the settings keep no file in Bill to compare with.
    bool Comparable() const;
    // True when the message is a call record that stands in its day's file and whose copy there
    // was not taken yet: the copy is taken. The day's file is read when first needed.
    bool Take(const uint8_t* frame, uint32_t length);
    // Every copy taken can be taken again.
    void Restore();

private:
    struct Key {
        uint64_t a, b;
        bool operator==(const Key& o) const { return a == o.a && b == o.b; }
    };
    struct KeyHash {
        size_t operator()(const Key& k) const { return static_cast<size_t>(k.a ^ (k.b << 1)); }
    };
    struct Copies {
        uint32_t stored = 0;
        uint32_t taken = 0;
    };
    using File = std::unordered_map<Key, Copies, KeyHash>;

    static Key KeyOf(std::string_view text);
    File Read(const std::filesystem::path& path) const;

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
};
// Reads the source once without storing anything. The stored copies are all there again
// afterwards.
ImportSurvey SurveyImport(ImportSource& source, bool otherProgram, StoredRecords& stored);

// True for the type code of a call record.
inline bool IsCallRecord(const uint8_t* frame) {
    return frame[4] == '5' && frame[5] == '2';
}

}  // namespace velk
