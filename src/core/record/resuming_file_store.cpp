#include "core/record/resuming_file_store.h"

#include <algorithm>

namespace velk {

std::string ResumingFileStore::Name(const std::filesystem::path& path) const {
    return path.lexically_relative(base_).generic_string();
}

void ResumingFileStore::Remember(const std::vector<FilePosition>& positions) {
    lastFiles_.clear();
    for (const FilePosition& p : positions)
        lastFiles_.insert(p.file);
}

std::vector<FilePosition> ResumingFileStore::StartPositions() {
    std::vector<FilePosition> positions;
    for (const std::string& name : lastFiles_)
        positions.push_back({name, files_.Length(base_ / name)});
    return positions;
}

void ResumingFileStore::Begin(Mode mode, bool byPosition, std::function<bool()> keep) {
    mode_ = mode;
    byPosition_ = byPosition && positions_ != nullptr;
    keep_ = std::move(keep);
    cursor_.clear();
    longer_.clear();
    misfits_.clear();
    unitFiles_.clear();
    if (byPosition_) {
        for (const FilePosition& p : *positions_)
            cursor_[p.file] = p.length;
    }
}

void ResumingFileStore::End() {
    // A unit that appended nothing (a duplicate, a record the filter kept out) leaves the files
    // of the unit before as the ones the next unit most likely appends to.
    if (!unitFiles_.empty())
        lastFiles_ = unitFiles_;
    if (mode_ == Mode::Resuming && byPosition_) {
        for (const FilePosition& p : *positions_) {
            const auto it = cursor_.find(p.file);
            if (it != cursor_.end() && files_.Length(base_ / p.file) > it->second)
                longer_.push_back(p.file);
        }
    }
    mode_ = Mode::Off;
    keep_ = nullptr;
}

bool ResumingFileStore::Moved(const std::filesystem::path& path) {
    const std::string name = Name(path);
    if (positions_ == nullptr)
        return false;
    for (FilePosition& p : *positions_) {
        if (p.file == name) {
            p.length = 0;
            cursor_[name] = 0;
            return true;
        }
    }
    return false;
}

bool ResumingFileStore::Position(const std::string& name, const std::filesystem::path& path) {
    const uint64_t length = files_.Length(path);
    positions_->push_back({name, length});
    cursor_[name] = length;
    if (keep_ && !keep_()) {
        error_ = "the journal could not keep where the record goes";
        return false;
    }
    return true;
}

AppendResult ResumingFileStore::Append(const std::filesystem::path& path, std::string_view bytes,
                                       const Header& headerIfNew) {
    error_.clear();
    for (const auto& file : leaveOut_) {
        if (file == path)
            return AppendResult::Written;
    }
    const AppendResult result = AppendUnit(path, bytes, headerIfNew);
    if (result == AppendResult::Failed)
        owed_.push_back({path, std::string(bytes), headerIfNew});
    if (result == AppendResult::Written && undoable_)
        appended_.push_back({path, std::string(bytes), nullptr});
    return result;
}

AppendResult ResumingFileStore::AppendUnit(const std::filesystem::path& path,
                                           std::string_view bytes, const Header& headerIfNew) {
    if (mode_ == Mode::Off)
        return files_.Append(path, bytes, headerIfNew);
    if (!byPosition_) {
        if (files_.EndsWith(path, bytes))
            return AppendResult::Written;
        return files_.Append(path, bytes, headerIfNew);
    }
    const std::string name = Name(path);
    unitFiles_.insert(name);
    if (cursor_.count(name) == 0) {
        // A file the unit did not append to before: it is positioned before anything reaches it.
        if (!Position(name, path))
            return AppendResult::Failed;
    } else if (mode_ == Mode::Resuming) {
        return AppendAt(path, name, bytes, headerIfNew);
    }
    const AppendResult result = files_.Append(path, bytes, headerIfNew);
    cursor_[name] = files_.Length(path);
    return result;
}

AppendResult ResumingFileStore::AppendAt(const std::filesystem::path& path,
                                         const std::string& name, std::string_view bytes,
                                         const Header& headerIfNew) {
    uint64_t& at = cursor_[name];
    const uint64_t length = files_.Length(path);
    // A new file gets its header in the same write as its first record.
    std::string expected;
    if (at == 0 && headerIfNew)
        expected = headerIfNew();
    expected.append(bytes);
    if (length > at) {
        const size_t there = static_cast<size_t>(std::min<uint64_t>(length - at, expected.size()));
        std::string found;
        if (files_.ReadAt(path, at, there, found) && found == expected.substr(0, there)) {
            if (there == expected.size()) {
                at += expected.size();  // stored before the program died
                return AppendResult::Written;
            }
            // An append cut short: the record is written again whole.
            if (!files_.CutBack(path, at))
                return AppendResult::Failed;
        } else {
            misfits_.push_back(name);
        }
    } else if (length < at) {
        misfits_.push_back(name);
    }
    const AppendResult result = files_.Append(path, bytes, headerIfNew);
    at = files_.Length(path);
    return result;
}

}  // namespace velk
