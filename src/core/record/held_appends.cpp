#include "core/record/held_appends.h"

namespace velk {

AppendResult HeldAppends::Append(const std::filesystem::path& path, std::string_view bytes,
                                 const Header& headerIfNew) {
    if (!hold_) {
        // What the file holds goes before: the bytes reach it in the order they were appended.
        if (!Out(path))
            return AppendResult::Failed;
        return files_.Append(path, bytes, headerIfNew);
    }
    for (Held& h : held_) {
        if (h.path.native() == path.native()) {
            h.bytes.append(bytes);
            return AppendResult::Written;
        }
    }
    held_.push_back({path, std::string(bytes), headerIfNew});
    return AppendResult::Written;
}

bool HeldAppends::Write(Held& held) {
    // Where the batch began in the file, so that a batch another file refused can be taken back.
    before_.try_emplace(held.path.native(), files_.Length(held.path));
    // One append for the whole batch: a new file still gets its header first, once.
    const AppendResult result = files_.Append(held.path, held.bytes, held.header);
    if (result == AppendResult::Written)
        return true;
    error_ = files_.ErrorText();
    if (error_.empty())
        error_ = result == AppendResult::CannotOpen ? "it cannot be opened" : "it cannot be written";
    failed_ = true;
    return false;
}

bool HeldAppends::OutWhere(const std::function<bool(const Held&)>& which) {
    bool ok = true;
    std::vector<Held> rest;
    for (Held& h : held_) {
        if (which(h))
            ok = Write(h) && ok;
        else
            rest.push_back(std::move(h));
    }
    held_ = std::move(rest);
    return ok;
}

bool HeldAppends::Changing(const std::filesystem::path& path) {
    if (!Out(path))
        return false;
    before_.erase(path.native());
    return true;
}

bool HeldAppends::WriteHeld() {
    OutWhere([](const Held&) { return true; });
    // A write that failed, now or since the batch began, takes the whole batch back, and so
    // everything written after it until WritePending has said so.
    if (failed_)
        TakeBack();
    before_.clear();
    return !failed_;
}

bool HeldAppends::WritePending() {
    const bool ok = WriteHeld();
    // Said here once, whatever wrote the batch.
    failed_ = false;
    if (ok)
        error_.clear();
    return ok;
}

void HeldAppends::TakeBack() {
    // Every file of the batch goes back to where it began: a record is in all of its files or in
    // none, as when each was appended on its own and taken back out of its files at a failure.
    for (const auto& [name, length] : before_) {
        const std::filesystem::path path(name);
        if (files_.Length(path) > length && !files_.CutBack(path, length))
            error_ += "; " + path.filename().string() + " keeps a part of the batch";
    }
}

bool HeldAppends::FlushWritten() {
    // A failure stays to be said by WritePending, which the importing program asks.
    const bool written = WriteHeld();
    const bool flushed = files_.FlushWritten();
    return written && flushed;
}

size_t HeldAppends::HeldBytes() const {
    size_t n = 0;
    for (const Held& h : held_)
        n += h.bytes.size();
    return n;
}

}  // namespace velk
