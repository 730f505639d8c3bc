#pragma once

#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/record/file_store.h"

namespace velk::test {

// Files in memory, with directories that can be missing and files another program is writing.
//
// It models the system's page cache: `files` is what the program sees, `disk` what a power failure
// leaves behind. An append, a write or a move reaches the disk with the flush that covers it
// (FlushWritten for appends and moves, Flush for a state file); PowerCut() takes back everything
// else, unless the system happened to write some of it back on its own before (Writeback).
//
// Every operation that changes a file or flushes one is a step. With dieAtStep set, the machine
// stops at that step: it and every later one do nothing and fail, as nothing happens any more
// after the program died (Dead() tells the test's other fakes).
class FakeFileStore : public FileStore {
public:
    bool Exists(const std::filesystem::path& p) override { return files.count(p.string()) != 0; }
    bool CreateIfMissing(const std::filesystem::path& p) override {
        if (!Step("create " + p.string()) || !DirOk(p) || Exists(p))
            return false;
        files[p.string()];
        return true;
    }
    AppendResult Append(const std::filesystem::path& p, std::string_view bytes,
                        const Header& headerIfNew = nullptr) override {
        if (!Step("append " + p.string()))
            return AppendResult::Failed;
        if (!DirOk(p))
            return AppendResult::CannotOpen;
        if (locked.count(p.string()))
            return AppendResult::Busy;
        if (full || roomForAppends == 0 || (refuse && refuse(p.string())))
            return AppendResult::Failed;
        if (roomForAppends > 0)
            --roomForAppends;
        std::string& content = files[p.string()];
        if (headerIfNew && content.empty())
            content += headerIfNew();
        content.append(bytes);
        unflushed.insert(p.string());
        ++writes;
        return AppendResult::Written;
    }
    bool NobodyWriting(const std::filesystem::path& p) override {
        return Exists(p) && !locked.count(p.string());
    }
    bool MoveNoReplace(const std::filesystem::path& from,
                       const std::filesystem::path& to) override {
        if (!Step("move " + from.string()))
            return false;
        if (!Exists(from) || Exists(to) || !DirOk(to) || failMoves)
            return false;
        files[to.string()] = files[from.string()];
        files.erase(from.string());
        moves.emplace_back(from.string(), to.string());
        if (unflushed.erase(from.string()) != 0)
            unflushed.insert(to.string());
        return true;
    }
    bool EndsWith(const std::filesystem::path& p, std::string_view bytes) override {
        const auto it = files.find(p.string());
        return it != files.end() && it->second.size() >= bytes.size() &&
               it->second.compare(it->second.size() - bytes.size(), bytes.size(), bytes) == 0;
    }
    bool FlushWritten() override {
        if (!Step("flush the record files"))
            return false;
        WriteBack();
        return !failFlush;
    }
    // What a flush of the record files writes to the disk: the moves and the appends.
    void WriteBack() {
        for (const auto& [from, to] : moves) {
            const auto it = disk.find(from);
            if (it != disk.end()) {
                disk[to] = it->second;
                disk.erase(from);
            }
        }
        moves.clear();
        for (const auto& p : unflushed) {
            if (files.count(p) != 0)
                disk[p] = files[p];
        }
        unflushed.clear();
    }
    bool ReadWhole(const std::filesystem::path& p, std::string& content, size_t atMost) override {
        const auto it = files.find(p.string());
        if (it == files.end())
            return false;
        content = it->second.substr(0, atMost);
        return true;
    }
    bool WriteAt(const std::filesystem::path& p, uint64_t offset, std::string_view bytes) override {
        if (!Step("write " + p.string()) || failStateWrites)
            return false;
        stateFiles.insert(p.string());
        std::string& content = files[p.string()];
        if (content.size() < offset + bytes.size())
            content.resize(offset + bytes.size(), '\0');
        content.replace(offset, bytes.size(), bytes);
        return true;
    }
    bool Flush(const std::filesystem::path& p) override {
        if (!Step("flush " + p.string()))
            return false;
        if (files.count(p.string()) != 0)
            disk[p.string()] = files[p.string()];
        return !failFlush;
    }
    bool Replace(const std::filesystem::path& p, std::string_view content) override {
        if (!Step("replace " + p.string()) || !DirOk(p) || failReplace)
            return false;
        files[p.string()] = std::string(content);
        ++replaces;
        return true;
    }

    bool ListFiles(const std::filesystem::path& dir, std::vector<std::string>& names) override {
        names.clear();
        for (const auto& [path, content] : files) {
            const std::filesystem::path p(path);
            if (p.parent_path() == dir && stateFiles.count(path) == 0)
                names.push_back(p.filename().string());
        }
        return files.count(dir.string() + "/") == 0 && !missingDirs.count(dir.string());
    }
    bool CutTo(const std::filesystem::path& p, uint64_t length) override {
        if (!Step("cut " + p.string()) || failCuts)
            return false;
        const auto it = files.find(p.string());
        if (it == files.end() || it->second.size() < length)
            return false;
        it->second.resize(length);
        // Made durable at once, as far as the disk held the file.
        const auto d = disk.find(p.string());
        if (d != disk.end() && d->second.size() > length)
            d->second.resize(length);
        cuts.emplace_back(p.string(), length);
        return true;
    }

    std::optional<uint64_t> FreeBytes(const std::filesystem::path&) override { return freeBytes; }
    // Two names of one file: a hard link (its content is kept under both names here).
    bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) override {
        return links.count({a.string(), b.string()}) != 0 || links.count({b.string(), a.string()}) != 0;
    }
    bool RemoveName(const std::filesystem::path& p) override {
        if (!Step("unlink " + p.string()) || files.erase(p.string()) == 0)
            return false;
        disk.erase(p.string());
        for (auto it = links.begin(); it != links.end();)
            it = it->first == p.string() || it->second == p.string() ? links.erase(it) : std::next(it);
        return true;
    }
    uint64_t Length(const std::filesystem::path& p) override {
        const auto it = files.find(p.string());
        return it == files.end() ? 0 : it->second.size();
    }
    bool ReadAt(const std::filesystem::path& p, uint64_t offset, size_t n,
                std::string& bytes) override {
        const auto it = files.find(p.string());
        if (it == files.end() || offset + n > it->second.size())
            return false;
        bytes = it->second.substr(offset, n);
        return true;
    }
    bool CutBack(const std::filesystem::path& p, uint64_t length) override {
        if (!Step("cut back " + p.string()))
            return false;
        const auto it = files.find(p.string());
        if (it == files.end())
            return false;
        if (it->second.size() > length)
            it->second.resize(length);
        unflushed.insert(p.string());
        return true;
    }
    std::string Identity(const std::filesystem::path& p) override {
        const auto it = identities.find(p.string());
        return it == identities.end() ? std::string() : it->second;
    }

    // The power fails: what was not flushed is gone, but for what the system wrote back by itself
    // before: nothing, the state files' writes, or the appends and moves.
    enum class Writeback { Nothing, StateFiles, Appends };
    void PowerCut(Writeback early = Writeback::Nothing) {
        // The system writes back on its own, whether the program still lives or not.
        if (early == Writeback::Appends)
            WriteBack();
        for (const auto& p : stateFiles) {
            if (early == Writeback::StateFiles && files.count(p) != 0)
                disk[p] = files[p];
        }
        files = disk;
        unflushed.clear();
        moves.clear();
    }
    // The program starts again on the same files (after a kill, or after PowerCut).
    void Revive() {
        dieAtStep = 0;
        dead = false;
    }
    bool Dead() const { return dead; }

    std::string Content(const std::filesystem::path& p) const {
        const auto it = files.find(p.string());
        return it == files.end() ? "<missing>" : it->second;
    }
    bool DirOk(const std::filesystem::path& p) const {
        return !missingDirs.count(p.parent_path().string());
    }

    std::map<std::string, std::string> files;
    std::map<std::string, std::string> disk;
    std::set<std::string> unflushed;
    std::vector<std::pair<std::string, std::string>> moves;
    std::set<std::string> stateFiles;  // written with WriteAt
    std::set<std::string> missingDirs;
    std::set<std::string> locked;
    std::map<std::string, std::string> identities;  // what Identity answers, by path
    int writes = 0;
    std::vector<std::pair<std::string, uint64_t>> cuts;
    bool failCuts = false;
    std::optional<uint64_t> freeBytes;
    std::set<std::pair<std::string, std::string>> links;
    bool full = false;  // every append fails, as on a full disk (the journal is preallocated)
    int roomForAppends = -1;  // when not negative: the appends that still fit
    std::function<bool(const std::string& path)> refuse;  // true: this append fails (no room)
    bool failMoves = false;
    bool failFlush = false;
    bool failStateWrites = false;
    bool failReplace = false;
    int replaces = 0;
    // Steps taken so far, and the step at which the machine stops (0: never).
    int steps = 0;
    int dieAtStep = 0;
    std::vector<std::string> stepNames;  // filled while recordSteps is set
    bool recordSteps = false;
    std::string ErrorText() const override { return failMoves ? "Invalid argument" : "busy"; }

private:
    bool Step(const std::string& what) {
        if (dead)
            return false;
        ++steps;
        if (recordSteps)
            stepNames.push_back(what);
        if (dieAtStep != 0 && steps >= dieAtStep)
            dead = true;
        return !dead;
    }
    bool dead = false;
};

}  // namespace velk::test
