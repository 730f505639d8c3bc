#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velk {

// Texts of the raw file import.
inline constexpr const char* kImportQuestion =
    "Is the file made not by VELK\n and CS1000 Ver 3.60 or upper?";
inline constexpr const char* kImportFilter = "VELK Raw Data File (*.raw)|*.raw|*.*|*.*||";
inline constexpr const char* kImportCannotOpen = "Selected file can not be open!";
inline constexpr const char* kImportTooSmall = "Selected file has a mistake!\nToo small file size!";
inline constexpr const char* kImportReadError = "Selected file has a mistake!\nRead error!";
inline constexpr const char* kImportNoMemory = "Memory Buffer Read Errors!";
inline constexpr const char* kImportStarted = "Import started.";
inline constexpr const char* kImportCompleted = "Import completed.";
inline constexpr const char* kImportStopped = "Import Stopped.";
// A file the recorders append to would be read while the import adds to it.
inline constexpr const char* kImportOwnFile =
    "Selected file is one VELK stores its records in!\n"
    "Copy it to another folder and import the copy.";

// How a raw file holds its messages: as VELK stores what the PBX sent, as another program
// writes them (CS1000 3.60 format, scrambled), or a file VELK stored read back. A message VELK
// stored can hold blanks (another program's characters that were no shifted digits become
// blanks), so inside a stored message, as in another program's, everything above 13 counts.
enum class RawFormat { Received, OtherProgram, Stored };

// Cuts a byte stream into messages as the import does: characters above the blank (above 13 in
// other-program and stored mode once the length digits are in; never bytes of 128 and above) are
// collected from position 1; the first three are the length digits L; the message is complete at L
// + 2 characters (the text and the two check digits). Its frame has STX at position 0.
//
// A message that fails its check, or whose length digits give a length no message can have (0, or
// more than 998), may have begun at a stray character: reading goes on at the next message start,
// the first of its characters that followed a byte the scanner dropped (a separator), and those
// characters are read again; the characters before it are skipped. Where the failed message holds
// no separator, the characters after it are skipped up to the next one when the message itself
// began after a separator; one that did not (records written without anything between them) is
// followed right away by the next. A message that the end of the file cuts off is read the same
// way when a message start follows inside it: its length digits may be the damaged ones.
class RawImportScanner {
public:
    static constexpr uint32_t kLongest = 1000;  // characters of one message

    enum class Step { Continue, Complete };

    explicit RawImportScanner(bool otherProgram)
        : RawImportScanner(otherProgram ? RawFormat::OtherProgram : RawFormat::Received) {}
    explicit RawImportScanner(RawFormat format) : format_(format) { Reset(); }

    // The byte at `offset` of the file.
    Step Feed(uint8_t c, uint64_t offset = 0);
    // After Complete: the message (unscrambled first in other-program mode) and its length. A
    // message whose length cannot be is complete at its length digits and fails its check.
    const uint8_t* Frame() const { return area_.data(); }
    uint32_t Length() const { return length_; }
    bool LengthPossible() const { return PossibleLength(length_); }
    bool CheckOk() const;
    // After a complete message that passed its check: the next one starts.
    void Reset();
    // After a complete message that failed its check: the next one starts at the next message
    // start, and characters of this one may have to be read again (Replay).
    void Resync();
    // Reads again the characters Resync kept, up to the next complete message; Continue when
    // none are left.
    Step Replay();
    uint32_t Collected() const { return count_; }
    // Whether a message start (a character after a separator) follows the first character of
    // the message being collected: where reading would go on after a Resync.
    bool StartInside() const;
    // The file offset of the first character of the message being collected.
    uint64_t MessageOffset() const { return count_ > 0 ? chars_[0].offset : 0; }
    // After Complete: the file offset just past the message's last character, where reading can
    // begin afresh.
    uint64_t EndOffset() const { return count_ > 0 ? chars_[count_ - 1].offset + 1 : 0; }

    // Characters skipped after messages that failed their check (or length digits no message can
    // have), and where each run of them began (the first few); a run ends with a message that
    // passes.
    static constexpr size_t kSkipOffsetsKept = 5;
    uint64_t SkippedCharacters() const { return skipped_; }
    const std::vector<uint64_t>& SkipOffsets() const { return skipOffsets_; }
    uint64_t SkipRuns() const { return skipRuns_; }

private:
    struct Char {
        uint8_t c;
        bool afterSeparator;
        uint64_t offset;
    };
    Step Take(uint8_t c, bool afterSeparator, uint64_t offset);
    static bool PossibleLength(uint32_t length);
    void Clear();

    RawFormat format_;
    std::array<uint8_t, kLongest + 4> area_{};
    std::array<Char, kLongest> chars_{};  // the characters as read, before unscrambling
    uint32_t count_ = 0;                  // j: characters collected
    uint32_t length_ = 0;                 // L
    bool dropped_ = false;                // the byte before was not taken
    bool skipping_ = false;               // up to the next separator
    std::vector<Char> replay_;
    size_t replayed_ = 0;
    uint64_t skipped_ = 0;
    uint64_t skipRuns_ = 0;
    bool skipRun_ = false;
    std::vector<uint64_t> skipOffsets_;
};

// Where the bytes come from.
class ImportSource {
public:
    virtual ~ImportSource() = default;
    // The length when the import began: nothing past it is read.
    virtual uint64_t Length() const = 0;
    // Reads up to n bytes; 0 at a read error or at the end.
    virtual size_t Read(uint8_t* to, size_t n) = 0;
};

// What the import does with what it finds, and when it is told to stop.
class ImportSink {
public:
    virtual ~ImportSink() = default;
    // A message that passed its check and that is stored already: true to leave it out.
    virtual bool Skip(const uint8_t* frame, uint32_t length) {
        (void)frame;
        (void)length;
        return false;
    }
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

enum class ImportEnd { Completed, Cancelled, TooSmall, ReadError, NoMemory };

struct ImportResult {
    ImportEnd end = ImportEnd::Completed;
    uint64_t imported = 0;  // messages that passed their check and were handed on
    uint64_t badCheck = 0;
    uint64_t skippedStored = 0;  // messages left out because they were stored already
    uint64_t consumed = 0;       // bytes read
    // Characters skipped after messages that failed their check or could not be messages, and
    // where (the first few).
    uint64_t skippedCharacters = 0;
    uint64_t skipRuns = 0;
    std::vector<uint64_t> skipOffsets;
    // A message cut off by the end of the file: its bytes and where it began.
    uint64_t tailBytes = 0;
    uint64_t tailOffset = 0;

    // The message box to show, if any, and the status line to leave.
    std::string Message() const;
    const char* Status() const;
    // What the operator should know of a file that was read to its end: skipped characters and
    // a cut-off last message, one sentence each; empty when there is nothing to say.
    std::string Remarks() const;
};

// The whole import of one source: chunks of up to 50001 bytes, never past the length taken at the
// start, scanned byte by byte.
ImportResult RunRawImport(ImportSource& source, ImportSink& sink, bool otherProgram);
// A raw file VELK stored, read back the same way (in RawFormat::Stored), whatever its length: a
// file of one short record is read too.
ImportResult ReadStoredRawFile(ImportSource& source, ImportSink& sink);

// The progress window's texts: elapsed and estimated time as days:hours:minutes:seconds, the
// count and the estimated total.
struct ImportProgressText {
    static std::string Elapsed(int64_t seconds);
    // The estimated remaining time for a percentage p: elapsed x (100 - p) / p; empty for 0.
    static std::string Estimated(int64_t elapsedSeconds, uint32_t percent);
    static std::string Imported(uint64_t count);
    // n x 100 / p; empty for 0.
    static std::string EstimatedTotal(uint64_t count, uint32_t percent);
};

}  // namespace velk
