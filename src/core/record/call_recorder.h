#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "core/decode/billing_message.h"
#include "core/decode/field_decoder.h"
#include "core/decode/record_pipeline.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/base_directory.h"
#include "core/record/file_store.h"

namespace velk {

// The separator byte of the decoded files from "Distributor ASCII Code": 16 x d(c1) + d(c2),
// d giving 1..9 for '1'..'9', 10..15 for 'A'..'F' and 'a'..'f', 0 for anything else.
char SeparatorByte(const std::string& code);

// The base name of a record's files: the date of field 4 as eight digits, or "BAD_DATE".
std::string BaseName(const std::string& startTime);

// A raw record: optional STX, the message body (length digits, text, BCC), then the optional
// ETX, EOT, CR and LF, as the settings say.
std::string RawRecord(const BillingMessage& message, const AppSettings& settings);

// The names of a record's files in Bill and Bill_Backup, from the base name of its day: the raw
// file (daily, or one file "cs1000.raw") and the decoded file (cut to twelve characters).
std::string RawFileName(const AppSettings& settings, const std::string& baseName);
std::string DecodedFileName(const AppSettings& settings, const std::string& baseName);

// The decoded line of a record: the written columns in column order, CR LF included.
std::string MakeDecodedLine(const AppSettings& settings, FieldDecoder& decoder,
                            const BillingMessage& message);

// Appends text to a decoded or traffic line with every CR and LF written as a blank.
void AppendOnOneLine(std::string& line, std::string_view text);

// The decoded line of a record's field texts and the header line, as the decoded files have
// them (the written columns, the separator, CR LF).
std::string DecodedFileLine(const AppSettings& settings, const std::array<std::string, 50>& fields);
std::string DecodedFileHeader(const AppSettings& settings);

// Where a recorder reports what went wrong with its files: an event name of up to 18 characters
// (for the connection log) and the details.
using FileProblemReport = std::function<void(const std::string& event, const std::string& detail)>;

// Appends through the store and reports a record that could not be written because another
// program kept writing the file; a file that cannot be opened is skipped without a report, and a
// write that failed (a full disk) is left to the store's owner, which holds the record.
bool AppendReported(FileStore& files, const std::filesystem::path& path, std::string_view bytes,
                    const FileProblemReport& report, const FileStore::Header& header = nullptr);

// Stores every kept call record raw and decoded into Bill and Bill_Backup and collects it in the
// buffer files that a pick-up program takes.
class CallRecorder : public RecordSaver {
public:
    CallRecorder(const AppSettings& settings, FileStore& files, const OutputDirectories& dirs);

    // Runs after a successful hand-off: the buffer timer starts its full period again.
    void SetBufferTimerRestart(std::function<void()> restart) { restart_ = std::move(restart); }
    // The hand-off a saved record starts waits for HandOffAfterRecord: a record must be safe on
    // the disk (its files flushed, the journal told) before its buffer file is handed over.
    void SetHandOffWaitsForRecord(bool wait) { handOffWaits_ = wait; }
    // Asked right before a buffer file is handed over: what was said of its records must be on
    // the disk first, or a power failure could bring back a record as not stored after its file
    // was gone. False keeps the file for a later hand-off.
    using BeforeHandOff = std::function<bool(const std::filesystem::path& in)>;
    void SetBeforeHandOff(BeforeHandOff ready) { beforeHandOff_ = std::move(ready); }
    // Told right after a buffer in-file was moved away.
    void SetAfterHandOff(std::function<void(const std::filesystem::path& in)> done) {
        afterHandOff_ = std::move(done);
    }
    // Hands the buffer in-files over when a record was saved since the last call.
    void HandOffAfterRecord();
    void SetProblemReport(FileProblemReport report) { report_ = std::move(report); }

    bool SaveCall_All(const BillingMessage& message) override;
    // Uses the texts the pipeline decoded instead of decoding the record again.
    bool SaveDecoded(const BillingMessage& message, const LastCallsRing::Record& fields) override;
    bool SaveCall(const BillingMessage& message, const std::filesystem::path& directory);
    bool SaveCall_inDir(const BillingMessage& message, const std::filesystem::path& path,
                        bool makeHeader);
    // The same with the decoded line already made (one line serves every file of a record).
    bool SaveLine(const std::string& line, const std::filesystem::path& path, bool makeHeader);
    bool SaveCall_Buffers(const BillingMessage& message);
    // Hands the buffer in-files over; true when the last hand-off attempted took place.
    bool BuffersOnTimer();
    // At start: a hand-off by link and unlink that was stopped between its two steps leaves
    // the in-file and the out-file one file under two names, whose records the pick-up program
    // would take twice. The in-file's name goes (reported).
    void DropDoubledInFiles();

    // The decoded line and the header line, CR LF included.
    std::string DecodedLine(const BillingMessage& message);
    std::string DecodedLine(const LastCallsRing::Record& fields) const;
    std::string HeaderLine() const;

    // Consecutive failed moves of a buffer in-file (0: the last hand-off worked).
    int HandOffFailures(const std::string& in) const;
    // The records saved into at least one file so far.
    uint64_t RecordsWritten() const { return recordsWritten_; }
    // True when the settings name any file a call record goes into.
    bool StoresRecords() const;

private:
    bool HandOff(const std::string& in, const std::filesystem::path& out, int& failures);
    bool Append(const std::filesystem::path& path, std::string_view bytes,
                const FileStore::Header& header = nullptr);
    // True when one of the directory's files got the record.
    bool SaveCallWith(const std::filesystem::path& dir, const std::string& base,
                      const std::string& raw, const std::string& line);
    bool SaveAll(const BillingMessage& message, const std::string& base,
                 const std::function<std::string()>& decodedLine);

    const AppSettings& settings_;
    FileStore& files_;
    OutputDirectories dirs_;
    FieldDecoder decoder_;
    std::function<void()> restart_;
    BeforeHandOff beforeHandOff_;
    std::function<void(const std::filesystem::path& in)> afterHandOff_;
    FileProblemReport report_;
    std::string field_;
    bool handOffWaits_ = false;
    bool savedSinceHandOff_ = false;
    int rawHandOffFailures_ = 0;
    int decodedHandOffFailures_ = 0;
    uint64_t recordsWritten_ = 0;
};

}  // namespace velk
