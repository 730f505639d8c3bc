#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/record/file_store.h"

namespace velk {

// The record files of a bulk import (velk-import), passed through to another store, except that
// appends made while they are held (HoldAppends) wait in memory and reach each file with one
// write when WritePending is called: an import then costs one open, lock and write a file for a
// batch of records instead of one for every record.
//
// Nothing else sees a file without its held appends: whatever else is done with a file (its
// length read, its tail compared, a move, a flush, a cut) writes what it holds first, and so does
// FlushWritten, for every file. A held append cannot fail when it is made; when a write fails later
// (a full disk), every file the batch went to is cut back to where the batch began in it (the
// refusing one by the store below), what was held is dropped, and the next WritePending says false
// (FlushWritten too, but leaves it to be said): the import stops there, each record of the batch in
// none of its files, and the file to import still holds them for a run again.
class HeldAppends : public FileStore {
public:
    explicit HeldAppends(FileStore& files) : files_(files) {}

    void HoldAppends(bool hold) override { hold_ = hold; }
    bool WritePending() override;

    AppendResult Append(const std::filesystem::path& path, std::string_view bytes,
                        const Header& headerIfNew = nullptr) override;
    bool FlushWritten() override;

    bool Exists(const std::filesystem::path& path) override {
        return Out(path) && files_.Exists(path);
    }
    bool CreateIfMissing(const std::filesystem::path& path) override {
        return Out(path) && files_.CreateIfMissing(path);
    }
    bool NobodyWriting(const std::filesystem::path& path) override {
        return Out(path) && files_.NobodyWriting(path);
    }
    bool MoveNoReplace(const std::filesystem::path& from,
                       const std::filesystem::path& to) override {
        return Changing(from) && Changing(to) && files_.MoveNoReplace(from, to);
    }
    bool EndsWith(const std::filesystem::path& path, std::string_view bytes) override {
        return Out(path) && files_.EndsWith(path, bytes);
    }
    bool ReadWhole(const std::filesystem::path& path, std::string& content,
                   size_t atMost) override {
        return Out(path) && files_.ReadWhole(path, content, atMost);
    }
    bool WriteAt(const std::filesystem::path& path, uint64_t offset,
                 std::string_view bytes) override {
        return Changing(path) && files_.WriteAt(path, offset, bytes);
    }
    bool Flush(const std::filesystem::path& path) override {
        return Out(path) && files_.Flush(path);
    }
    bool ListFiles(const std::filesystem::path& directory,
                   std::vector<std::string>& names) override {
        return OutWhere([&](const Held& h) { return h.path.parent_path() == directory; }) &&
               files_.ListFiles(directory, names);
    }
    bool ReadTail(const std::filesystem::path& path, size_t atMost, std::string& tail,
                  uint64_t& size) override {
        return Out(path) && files_.ReadTail(path, atMost, tail, size);
    }
    bool CutTo(const std::filesystem::path& path, uint64_t length) override {
        return Changing(path) && files_.CutTo(path, length);
    }
    bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) override {
        return Out(a) && Out(b) && files_.SameFile(a, b);
    }
    bool RemoveName(const std::filesystem::path& path) override {
        return Changing(path) && files_.RemoveName(path);
    }
    std::optional<uint64_t> FreeBytes(const std::filesystem::path& path) override {
        return files_.FreeBytes(path);
    }
    uint64_t Length(const std::filesystem::path& path) override {
        Out(path);
        return files_.Length(path);
    }
    bool ReadAt(const std::filesystem::path& path, uint64_t offset, size_t n,
                std::string& bytes) override {
        return Out(path) && files_.ReadAt(path, offset, n, bytes);
    }
    bool CutBack(const std::filesystem::path& path, uint64_t length) override {
        return Changing(path) && files_.CutBack(path, length);
    }
    std::string Identity(const std::filesystem::path& path) override {
        Out(path);
        return files_.Identity(path);
    }
    bool Replace(const std::filesystem::path& path, std::string_view content) override {
        return Changing(path) && files_.Replace(path, content);
    }
    std::string ErrorText() const override { return error_.empty() ? files_.ErrorText() : error_; }

    // Bytes held now, of every file.
    size_t HeldBytes() const;

private:
    struct Held {
        std::filesystem::path path;
        std::string bytes;
        Header header;  // of the first held append: the file may be new when they are written
    };
    // Writes what the files `which` picks hold; false when that failed (what they held is dropped).
    bool OutWhere(const std::function<bool(const Held&)>& which);
    bool Out(const std::filesystem::path& path) {
        return OutWhere([&](const Held& h) { return h.path.native() == path.native(); });
    }
    // Out, for an operation after which the file is no longer the one the batch went to (moved,
    // cut, replaced): it is not taken back.
    bool Changing(const std::filesystem::path& path);
    bool Write(Held& held);
    // Writes everything held; false when a write failed since WritePending last said so.
    bool WriteHeld();
    void TakeBack();

    FileStore& files_;
    bool hold_ = false;
    std::vector<Held> held_;  // in the order of each file's first held append
    std::string error_;
    bool failed_ = false;  // a write failed since WritePending last said so
    std::map<std::string, uint64_t> before_;  // each file's length before the batch reached it
};

}  // namespace velk
