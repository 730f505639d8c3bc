#include "platform/index_follower.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <system_error>

#include "core/foundation/base_directory.h"

namespace velk {

IndexFollower::IndexFollower(const AppSettings& settings, const std::filesystem::path& base)
    : settings_(settings),
      raw_(OutputDirectories::Under(base).bill, ".raw"),
      measure_(OutputDirectories::Under(base).bill, ".raw"),
      index_(base / kRecordIndexFile, SqliteRecordIndex::Mode::Write),
      log_(base / kRecordIndexFile, SqliteRecordIndex::Mode::Write),
      indexer_(settings_, clock_, &index_, &published_,
               [this](const std::string& event, const std::string& detail) {
                   const std::lock_guard<std::mutex> lock(lock_);
                   problems_.emplace_back(event, detail);
               }) {
    index_.SetCheckpointPages(kCheckpointPages);
    // The copying thread never waits for the index thread's transactions.
    log_.SetBusyTimeout(0);
}

IndexFollower::~IndexFollower() {
    stopping_ = true;
    Ask();
    if (thread_.joinable())
        thread_.join();
    if (copier_.joinable())
        copier_.join();
}

void IndexFollower::Start() {
    if (thread_.joinable())
        return;
    std::map<std::string, uint64_t> before = LengthsOf(measure_);
    published_.Publish(before);
    indexer_.SetReadBackSource(RecordSource::Import, std::move(before));
    indexer_.SetImporting(true);  // its batches keep their room between publications
    indexer_.CatchUp();
    asked_ = 1;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        Broken(std::string("no thread could be started for it: ") + e.what());
        return;
    }
    try {
        copier_ = std::thread([this] { CopyLog(); });
    } catch (const std::system_error&) {
        // The index thread's own connection copies its log then.
    }
}

void IndexFollower::CopyLog() {
    try {
        std::unique_lock<std::mutex> lock(lock_);
        while (!changed_.wait_for(lock, std::chrono::milliseconds(kCopyLogMs),
                                  [this] { return stopping_.load(); })) {
            lock.unlock();
            log_.CopyLog();
            lock.lock();
        }
    } catch (const std::exception&) {
        // Out of memory: the index thread's own connection copies its log from here on.
    }
    log_.Close();
}

void IndexFollower::Broken(const std::string& why) {
    {
        const std::lock_guard<std::mutex> lock(lock_);
        problems_.emplace_back("Record index", why + "; the records stored from here on reach it "
                                                     "at the next start");
        broken_ = true;
        ok_ = false;
        read_ = UINT64_MAX;
    }
    changed_.notify_all();
}

void IndexFollower::Ask() {
    {
        const std::lock_guard<std::mutex> lock(lock_);
        ++asked_;
    }
    changed_.notify_all();
}

void IndexFollower::Publish() {
    if (!thread_.joinable())
        return;
    published_.Publish(LengthsOf(measure_));
    Ask();
}

bool IndexFollower::Finish() {
    if (!thread_.joinable()) {
        const std::lock_guard<std::mutex> lock(lock_);
        return !broken_;
    }
    std::unique_lock<std::mutex> lock(lock_);
    finishAt_ = ++asked_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return read_ >= finishAt_; });
    return ok_;
}

std::vector<std::pair<std::string, std::string>> IndexFollower::TakeProblems() {
    const std::lock_guard<std::mutex> lock(lock_);
    return std::exchange(problems_, {});
}

uint64_t IndexFollower::EnteredCount() {
    const std::lock_guard<std::mutex> lock(lock_);
    return entered_;
}

void IndexFollower::Run() {
    while (true) {
        uint64_t asked = 0;
        bool finishing = false;
        {
            std::unique_lock<std::mutex> lock(lock_);
            changed_.wait(lock, [this] { return asked_ != read_; });
            if (stopping_)
                return;
            asked = asked_;
            finishing = finishAt_ > read_;
        }
        bool ok = true;
        try {
            // Only the files the import wrote to since are read on; the rest of Bill was looked
            // at once, at the start, and is looked at once more at the end (a file that could not
            // be opened meanwhile is read then).
            indexer_.LookAt(published_.TakeChanged());
            if (finishing) {
                indexer_.CatchUp();
                ok = indexer_.Finish();
            } else {
                while (!stopping_ && indexer_.Step()) {
                }
                ok = !indexer_.Failing();
            }
        } catch (const std::exception& e) {
            // Out of memory, most likely: what was committed stays, the rest waits in the files.
            Broken(e.what());
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(lock_);
            read_ = asked;
            ok_ = ok;
            entered_ = indexer_.EnteredCount();
        }
        changed_.notify_all();
    }
}

}  // namespace velk
