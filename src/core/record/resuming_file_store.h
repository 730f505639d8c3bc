#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/record/file_store.h"

namespace velk {

// Where a record file stood before the records of one unit of storing (a frame, or what the
// hard-disk buffer gives) were appended to it: its name under the base directory and its length.
struct FilePosition {
    std::string file;
    uint64_t length = 0;
    bool operator==(const FilePosition&) const = default;
};

// The recorders' files, passed through to another store, with the positions that let a unit of
// storing be stored again after the program died, by position and never by content: two records
// with equal bytes are still two records.
//
// While a unit is stored (Storing), the first append to a file the unit's positions do not name
// yet adds the file's length to them and has it kept (on the disk, through keep) before the
// append goes out: whatever reaches a file of the unit, the journal knows where the unit began
// in it. While a unit is stored again (Resuming), each append goes to the file's position for it:
// the bytes there already are left (a file that got them before the program died), a file that
// ends at the position gets them, a file that ends inside them (an append cut short) is cut back
// to the position and gets them whole. A unit from a journal without positions (an older VELK)
// is stored again where the file does not end with the bytes already.
//
// An append whose write failed (a full disk) is owed: the store keeps it until RetryOwed writes
// it, so that a record held back while its files cannot be written reaches every one of them.
// A file that refused an append was cut back to its length before it, so an owed append, like a
// resumed one, goes exactly where the unit's position for that file says.
class ResumingFileStore : public FileStore {
public:
    enum class Mode { Off, Storing, Resuming };

    ResumingFileStore(FileStore& files, std::filesystem::path baseDirectory)
        : files_(files), base_(std::move(baseDirectory)) {}

    // The positions of the units, kept in the journal's state.
    void Track(std::vector<FilePosition>* positions) { positions_ = positions; }
    // The files the last unit appended to (at start: those the journal names).
    void Remember(const std::vector<FilePosition>& positions);
    // The positions a new unit starts from: the length of each file the last unit appended to.
    std::vector<FilePosition> StartPositions();
    // A unit begins: whether it goes by the tracked positions (false: a unit of an older
    // journal, resumed by content) and how a position just added is kept on the disk (false:
    // the append is not made).
    void Begin(Mode mode, bool byPosition, std::function<bool()> keep);
    // The unit ends. After resuming, Longer() names the files that hold more than the unit's
    // positions and appends account for (a journal older than the files), Misfits() those whose
    // bytes at the position were not the unit's.
    void End();
    // A record stored again: resumed, or completed in the files it is missing from.
    bool Resuming() const { return mode_ == Mode::Resuming || !leaveOut_.empty(); }
    const std::vector<std::string>& Longer() const { return longer_; }
    const std::vector<std::string>& Misfits() const { return misfits_; }
    // A file moved away (a buffer hand-off): it starts again empty. True when the tracked
    // positions named it.
    bool Moved(const std::filesystem::path& path);
    // The files a record being stored stands in already (an import run again after a kill):
    // its appends to them are left out. Cleared with an empty list.
    void SetLeaveOut(std::vector<std::filesystem::path> files) { leaveOut_ = std::move(files); }

    bool Exists(const std::filesystem::path& path) override { return files_.Exists(path); }
    bool CreateIfMissing(const std::filesystem::path& path) override {
        return files_.CreateIfMissing(path);
    }
    AppendResult Append(const std::filesystem::path& path, std::string_view bytes,
                        const Header& headerIfNew = nullptr) override;
    // A record's appends begin: Undo takes back those that went through since, until EndRecord
    // (appends outside BeginRecord and EndRecord are not kept for an Undo).
    void BeginRecord() {
        appended_.clear();
        undoable_ = true;
    }
    void EndRecord() {
        appended_.clear();
        undoable_ = false;
    }
    // Cuts each file the record went into back to its length before, so that the record stands
    // in none of its files (an import stopped at it stores it whole when run again).
    void Undo() {
        for (auto it = appended_.rbegin(); it != appended_.rend(); ++it) {
            std::string tail;
            uint64_t size = 0;
            if (files_.ReadTail(it->path, it->bytes.size(), tail, size) && tail == it->bytes)
                files_.CutTo(it->path, size - it->bytes.size());
        }
        appended_.clear();
        undoable_ = false;
    }
    bool Owes() const { return !owed_.empty(); }
    // Writes the owed appends again, in their order; true when none is owed any more. A file
    // that can no longer be opened at all (its directory went) is given up, as a new record
    // would skip it.
    bool RetryOwed() {
        std::vector<Owed> still;
        for (Owed& o : owed_) {
            const AppendResult result = files_.Append(o.path, o.bytes, o.header);
            if (result == AppendResult::Failed || result == AppendResult::Busy)
                still.push_back(std::move(o));
        }
        owed_ = std::move(still);
        return owed_.empty();
    }
    void ForgetOwed() { owed_.clear(); }
    bool NobodyWriting(const std::filesystem::path& path) override {
        return files_.NobodyWriting(path);
    }
    bool MoveNoReplace(const std::filesystem::path& from,
                       const std::filesystem::path& to) override {
        return files_.MoveNoReplace(from, to);
    }
    bool EndsWith(const std::filesystem::path& path, std::string_view bytes) override {
        return files_.EndsWith(path, bytes);
    }
    bool FlushWritten() override { return files_.FlushWritten(); }
    void HoldAppends(bool hold) override { files_.HoldAppends(hold); }
    bool WritePending() override { return files_.WritePending(); }
    bool ReadWhole(const std::filesystem::path& path, std::string& content,
                   size_t atMost) override {
        return files_.ReadWhole(path, content, atMost);
    }
    bool WriteAt(const std::filesystem::path& path, uint64_t offset,
                 std::string_view bytes) override {
        return files_.WriteAt(path, offset, bytes);
    }
    bool Flush(const std::filesystem::path& path) override { return files_.Flush(path); }
    bool ListFiles(const std::filesystem::path& directory,
                   std::vector<std::string>& names) override {
        return files_.ListFiles(directory, names);
    }
    bool ReadTail(const std::filesystem::path& path, size_t atMost, std::string& tail,
                  uint64_t& size) override {
        return files_.ReadTail(path, atMost, tail, size);
    }
    bool CutTo(const std::filesystem::path& path, uint64_t length) override {
        return files_.CutTo(path, length);
    }
    bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) override {
        return files_.SameFile(a, b);
    }
    bool RemoveName(const std::filesystem::path& path) override { return files_.RemoveName(path); }
    std::optional<uint64_t> FreeBytes(const std::filesystem::path& path) override {
        return files_.FreeBytes(path);
    }
    uint64_t Length(const std::filesystem::path& path) override { return files_.Length(path); }
    bool ReadAt(const std::filesystem::path& path, uint64_t offset, size_t n,
                std::string& bytes) override {
        return files_.ReadAt(path, offset, n, bytes);
    }
    bool CutBack(const std::filesystem::path& path, uint64_t length) override {
        return files_.CutBack(path, length);
    }
    std::string Identity(const std::filesystem::path& path) override {
        return files_.Identity(path);
    }
    bool Replace(const std::filesystem::path& path, std::string_view content) override {
        return files_.Replace(path, content);
    }
    std::string ErrorText() const override { return error_.empty() ? files_.ErrorText() : error_; }

private:
    struct Owed {
        std::filesystem::path path;
        std::string bytes;
        Header header;
    };

    std::string Name(const std::filesystem::path& path) const;
    // Adds the file's position to the unit and keeps it; false when it could not be kept.
    bool Position(const std::string& name, const std::filesystem::path& path);
    // The append of a unit in its mode (Off: straight through).
    AppendResult AppendUnit(const std::filesystem::path& path, std::string_view bytes,
                            const Header& headerIfNew);
    AppendResult AppendAt(const std::filesystem::path& path, const std::string& name,
                          std::string_view bytes, const Header& headerIfNew);

    FileStore& files_;
    std::filesystem::path base_;
    Mode mode_ = Mode::Off;
    bool byPosition_ = true;
    std::vector<FilePosition>* positions_ = nullptr;
    std::function<bool()> keep_;
    std::map<std::string, uint64_t> cursor_;  // resuming: where the unit's next bytes go
    std::set<std::string> lastFiles_;         // appended to by the last unit
    std::set<std::string> unitFiles_;         // appended to by the unit in progress
    std::vector<std::string> longer_;
    std::vector<std::string> misfits_;
    std::string error_;
    std::vector<Owed> owed_;
    std::vector<Owed> appended_;  // since BeginRecord
    bool undoable_ = false;
    std::vector<std::filesystem::path> leaveOut_;
};

}  // namespace velk
