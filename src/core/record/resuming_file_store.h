#pragma once

#include <string>
#include <vector>

#include "core/record/file_store.h"

namespace velk {

// The recorders' files, passed through to another store. While a record whose storing the
// program's death cut short is stored again (Resuming), an append that the file ends with already
// is left out: the files that got the record before keep it once, the others get it now.
//
// An append whose write failed (a full disk) is owed: the store keeps it until RetryOwed writes
// it, so that a record held back while its files cannot be written reaches every one of them.
class ResumingFileStore : public FileStore {
public:
    explicit ResumingFileStore(FileStore& files) : files_(files) {}

    void SetResuming(bool resuming) { resuming_ = resuming; }
    // The files a record being stored stands in already (an import run again after a kill):
    // its appends to them are left out. Cleared with an empty list.
    void SetLeaveOut(std::vector<std::filesystem::path> files) { leaveOut_ = std::move(files); }
    // A record stored again: resumed, or completed in the files it is missing from.
    bool Resuming() const { return resuming_ || !leaveOut_.empty(); }

    bool Exists(const std::filesystem::path& path) override { return files_.Exists(path); }
    bool CreateIfMissing(const std::filesystem::path& path) override {
        return files_.CreateIfMissing(path);
    }
    AppendResult Append(const std::filesystem::path& path, std::string_view bytes,
                        const Header& headerIfNew = nullptr) override {
        if (resuming_ && files_.EndsWith(path, bytes))
            return AppendResult::Written;
        for (const auto& file : leaveOut_) {
            if (file == path)
                return AppendResult::Written;
        }
        const AppendResult result = files_.Append(path, bytes, headerIfNew);
        if (result == AppendResult::Failed)
            owed_.push_back({path, std::string(bytes), headerIfNew});
        if (result == AppendResult::Written)
            appended_.push_back({path, std::string(bytes), nullptr});
        return result;
    }
    // A record's appends begin: Undo takes back those that went through since.
    void BeginRecord() { appended_.clear(); }
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
    bool Replace(const std::filesystem::path& path, std::string_view content) override {
        return files_.Replace(path, content);
    }
    std::string ErrorText() const override { return files_.ErrorText(); }

private:
    struct Owed {
        std::filesystem::path path;
        std::string bytes;
        Header header;
    };

    FileStore& files_;
    std::vector<Owed> owed_;
    std::vector<Owed> appended_;  // since BeginRecord
    std::vector<std::filesystem::path> leaveOut_;
    bool resuming_ = false;
};

}  // namespace velk
