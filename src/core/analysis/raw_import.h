#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velk {

// Texts of the raw file import.
inline constexpr const char* kImportQuestion =
    "Is the file made not by VELK\n and CS1000 Ver 3.60 or upper?";
inline constexpr const char* kImportFilter = "VELK Raw Data File (*.raw)|*.raw|*.*|*.*||";
inline constexpr const char* kImportCannotOpen = "Selected file can not be open!";
inline constexpr const char* kImportTooSmall = "Selected file has a mistake!\nToo small file size!";
inline constexpr const char* kImportReadError = "Selected file has a mistake!\nRead error!";
inline constexpr const char* kImportTooLong =
    "Selected file has a mistake!\nToo long VELK message!";
inline constexpr const char* kImportStarted = "Import started.";
inline constexpr const char* kImportCompleted = "Import completed.";
inline constexpr const char* kImportStopped = "Import Stopped.";

// Cuts a byte stream into messages as the import does: characters above the blank (above 13 in
// other-program mode once the length digits are in; never bytes of 128 and above) are collected
// from position 1; the first three are the length digits L; the message is complete at L + 2
// characters (the text and the two check digits). Its frame has STX at position 0.
class RawImportScanner {
public:
    static constexpr uint32_t kLongest = 1000;  // characters of one message

    enum class Step { Continue, Complete, TooLong };

    explicit RawImportScanner(bool otherProgram) : otherProgram_(otherProgram) { Reset(); }

    Step Feed(uint8_t c);
    // After Complete: the message (unscrambled first in other-program mode) and its length.
    const uint8_t* Frame() const { return area_.data(); }
    uint32_t Length() const { return length_; }
    bool CheckOk() const;
    void Reset();
    uint32_t Collected() const { return count_; }

private:
    bool otherProgram_;
    std::array<uint8_t, kLongest + 4> area_{};
    uint32_t count_ = 0;   // j: characters collected
    uint32_t length_ = 0;  // L
};

// Where the bytes come from.
class ImportSource {
public:
    virtual ~ImportSource() = default;
    virtual uint64_t Length() const = 0;
    // Reads up to n bytes; 0 at a read error or at the end.
    virtual size_t Read(uint8_t* to, size_t n) = 0;
};

// What the import does with what it finds, and when it is told to stop.
class ImportSink {
public:
    virtual ~ImportSink() = default;
    // A message that passed its check: dispatched and counted as normal data.
    virtual void Message(const uint8_t* frame, uint32_t length) = 0;
    // A message whose check failed: counted, dropped.
    virtual void BadCheck() = 0;
    virtual void Progress(uint32_t percent) { (void)percent; }
    virtual void Imported(uint64_t count) { (void)count; }
    // Between messages (the window keeps itself responsive with a pause).
    virtual void Pause() {}
    virtual bool Cancelled() { return false; }
};

enum class ImportEnd { Completed, Cancelled, TooSmall, ReadError, TooLong };

struct ImportResult {
    ImportEnd end = ImportEnd::Completed;
    uint64_t imported = 0;  // messages that passed their check
    uint64_t badCheck = 0;
    uint64_t consumed = 0;  // bytes read
    // The message box to show, if any, and the status line to leave.
    std::string Message() const;
    const char* Status() const;
};

// The whole import of one source: chunks of 50001 bytes, scanned byte by byte.
ImportResult RunRawImport(ImportSource& source, ImportSink& sink, bool otherProgram);

// The progress window's texts: elapsed and estimated time as days:hours:minutes:seconds, the
// count and the estimated total.
struct ImportProgressText {
    static std::string Elapsed(int64_t seconds);
    // The estimated remaining time for a percentage p: (elapsed / p) x (100 - p); empty for 0.
    static std::string Estimated(int64_t elapsedSeconds, uint32_t percent);
    static std::string Imported(uint64_t count);
    // n x 100 / p; empty for 0.
    static std::string EstimatedTotal(uint64_t count, uint32_t percent);
};

}  // namespace velk
