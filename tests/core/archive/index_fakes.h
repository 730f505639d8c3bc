#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/archive/followed_files.h"
#include "core/archive/index_writer.h"

namespace velk::test {

// Files by name in memory; a file put in place of another under the same name gets a new inode.
class FakeFollowedFiles : public FollowedFiles {
public:
    struct File {
        std::string content;
        uint64_t inode = 0;
    };

    void Append(const std::string& name, const std::string& bytes) {
        File& f = files[name];
        if (f.inode == 0)
            f.inode = ++lastInode_;
        f.content += bytes;
    }
    // Another file, with this content, under the name.
    void Replace(const std::string& name, const std::string& content) {
        files[name] = {content, ++lastInode_};
    }

    std::vector<std::string> Names() override {
        std::vector<std::string> names;
        for (const auto& [name, file] : files)
            names.push_back(name);
        return names;
    }
    std::unique_ptr<FollowedFile> Open(const std::string& name) override {
        const auto it = files.find(name);
        if (it == files.end())
            return nullptr;
        ++opened;
        return std::make_unique<Snapshot>(it->second);
    }

    std::map<std::string, File> files;
    int opened = 0;

private:
    // The file as it was when opened.
    class Snapshot : public FollowedFile {
    public:
        explicit Snapshot(const File& f) : content_(f.content), identity_{7, f.inode} {}
        FileIdentity Identity() const override { return identity_; }
        uint64_t Size() const override { return content_.size(); }
        size_t ReadAt(uint64_t offset, uint8_t* to, size_t n) override {
            if (offset >= content_.size())
                return 0;
            n = std::min<size_t>(n, content_.size() - static_cast<size_t>(offset));
            std::copy_n(content_.data() + offset, n, to);
            return n;
        }

    private:
        std::string content_;
        FileIdentity identity_;
    };
    uint64_t lastInode_ = 0;
};

// The index in memory with transactions: what a commit holds survives a kill (a new indexer over
// the same object); a rollback, a failure or a kill inside a transaction leaves nothing. Identical
// records are counted as SQLite's index counts them: by message and start.
class FakeIndexWriter : public IndexWriter {
public:
    bool Begin() override {
        ++begins;
        if (locked) {
            error_ = "VELK.db: database is locked";
            return false;
        }
        Rollback();
        open_ = true;
        before_ = {committed.rows.size(), committed.marks, committed.lastId};
        return true;
    }
    bool Mark(const std::string& file, std::optional<FileMark>& mark) override {
        mark.reset();
        const auto it = committed.marks.find(file);
        if (it != committed.marks.end())
            mark = it->second;
        return open_;
    }
    bool Insert(std::vector<IndexRow>& rows, bool onlyMissing) override {
        if (!open_)
            return false;
        for (IndexRow& row : rows) {
            if (damaged_) {
                error_ = "VELK.db: database disk image is malformed";
                Rollback();
                return false;
            }
            const int64_t same = Same(row);
            if (onlyMissing && same > row.occurrence) {
                row.id = 0;
                continue;
            }
            row.occurrence = same;
            row.id = ++committed.lastId;
            committed.rows.push_back(row);
            ++same_[Key(row)];
            ++counted_;
        }
        return true;
    }
    bool SetMark(const FileMark& mark) override {
        committed.marks[mark.file] = mark;
        return open_;
    }
    bool Commit() override {
        if (!open_)
            return false;
        if (failCommit) {
            error_ = "VELK.db: disk I/O error";
            Rollback();
            return false;
        }
        open_ = false;
        ++commits;
        return true;
    }
    void Rollback() override {
        if (!open_)
            return;
        committed.rows.resize(before_.rows);
        counted_ = static_cast<size_t>(-1);
        committed.marks = before_.marks;
        committed.lastId = before_.lastId;
        open_ = false;
    }
    bool Marks(std::vector<FileMark>& marks) override {
        marks.clear();
        if (locked) {
            error_ = "VELK.db: database is locked";
            return false;
        }
        for (const auto& [file, mark] : committed.marks)
            marks.push_back(mark);
        return true;
    }
    std::string ErrorText() const override { return error_; }
    bool Damaged() const override { return damaged_; }
    bool SetAside(std::string& where) override {
        where = "VELK.db.damaged";
        setAside.push_back(committed.rows.size());
        committed = Content{};
        counted_ = static_cast<size_t>(-1);
        damaged_ = false;
        return true;
    }
    bool Renewed() override { return std::exchange(renewed, false); }

    // The database is found damaged by the next row written.
    void Damage() { damaged_ = true; }
    // Another, empty database was put in place (a rebuild, a deletion).
    void Replace() {
        committed = Content{};
        counted_ = static_cast<size_t>(-1);
        renewed = true;
    }
    // Rows of a raw message, in order of their ids.
    std::vector<std::string> Raws() const {
        std::vector<std::string> raws;
        for (const IndexRow& r : committed.rows)
            raws.push_back(r.raw);
        return raws;
    }

    struct Content {
        std::vector<IndexRow> rows;
        std::map<std::string, FileMark> marks;
        int64_t lastId = 0;
    };
    // Outside a transaction: what is committed.
    Content committed;
    bool locked = false;
    bool failCommit = false;
    bool renewed = false;
    int begins = 0;
    int commits = 0;
    std::vector<size_t> setAside;  // rows the database held when it was set aside

private:
    static std::string Key(const IndexRow& row) {
        const auto* start = std::get_if<std::string>(&row.Field(4));
        return row.raw + '\n' + (start != nullptr ? *start : std::string());
    }
    // Counted again whenever the rows were changed from outside (a test, a rollback).
    int64_t Same(const IndexRow& row) {
        if (counted_ != committed.rows.size()) {
            same_.clear();
            for (const IndexRow& r : committed.rows)
                ++same_[Key(r)];
            counted_ = committed.rows.size();
        }
        return same_[Key(row)];
    }
    struct Before {
        size_t rows = 0;
        std::map<std::string, FileMark> marks;
        int64_t lastId = 0;
    };
    Before before_;
    std::map<std::string, int64_t> same_;
    size_t counted_ = 0;
    bool open_ = false;
    bool damaged_ = false;
    std::string error_;
};

}  // namespace velk::test
