#pragma once

#include <map>
#include <set>
#include <string>

#include "core/record/file_store.h"

namespace velk::test {

// Files in memory, with directories that can be missing and files another program is writing.
class FakeFileStore : public FileStore {
public:
    bool Exists(const std::filesystem::path& p) override { return files.count(p.string()) != 0; }
    bool CreateIfMissing(const std::filesystem::path& p) override {
        if (!DirOk(p) || Exists(p))
            return false;
        files[p.string()];
        return true;
    }
    AppendResult Append(const std::filesystem::path& p, std::string_view bytes,
                        const Header& headerIfNew = nullptr) override {
        if (!DirOk(p))
            return AppendResult::CannotOpen;
        if (locked.count(p.string()))
            return AppendResult::Busy;
        std::string& content = files[p.string()];
        if (headerIfNew && content.empty())
            content += headerIfNew();
        content.append(bytes);
        ++writes;
        return AppendResult::Written;
    }
    bool NobodyWriting(const std::filesystem::path& p) override {
        return Exists(p) && !locked.count(p.string());
    }
    bool MoveNoReplace(const std::filesystem::path& from,
                       const std::filesystem::path& to) override {
        if (!Exists(from) || Exists(to) || !DirOk(to) || failMoves)
            return false;
        files[to.string()] = files[from.string()];
        files.erase(from.string());
        return true;
    }
    std::string Content(const std::filesystem::path& p) const {
        const auto it = files.find(p.string());
        return it == files.end() ? "<missing>" : it->second;
    }
    bool DirOk(const std::filesystem::path& p) const {
        return !missingDirs.count(p.parent_path().string());
    }

    std::map<std::string, std::string> files;
    std::set<std::string> missingDirs;
    std::set<std::string> locked;
    int writes = 0;
    bool failMoves = false;
    std::string ErrorText() const override { return failMoves ? "Invalid argument" : "busy"; }
};

}  // namespace velk::test
