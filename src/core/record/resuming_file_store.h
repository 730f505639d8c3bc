#pragma once

#include "core/record/file_store.h"

namespace velk {

// The recorders' files, passed through to another store. While a record whose storing the
// program's death cut short is stored again (Resuming), an append that the file ends with already
// is left out: the files that got the record before keep it once, the others get it now.
class ResumingFileStore : public FileStore {
public:
    explicit ResumingFileStore(FileStore& files) : files_(files) {}

    void SetResuming(bool resuming) { resuming_ = resuming; }
    bool Resuming() const { return resuming_; }

    bool Exists(const std::filesystem::path& path) override { return files_.Exists(path); }
    bool CreateIfMissing(const std::filesystem::path& path) override {
        return files_.CreateIfMissing(path);
    }
    AppendResult Append(const std::filesystem::path& path, std::string_view bytes,
                        const Header& headerIfNew = nullptr) override {
        if (resuming_ && files_.EndsWith(path, bytes))
            return AppendResult::Written;
        return files_.Append(path, bytes, headerIfNew);
    }
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
    bool Replace(const std::filesystem::path& path, std::string_view content) override {
        return files_.Replace(path, content);
    }
    std::string ErrorText() const override { return files_.ErrorText(); }

private:
    FileStore& files_;
    bool resuming_ = false;
};

}  // namespace velk
