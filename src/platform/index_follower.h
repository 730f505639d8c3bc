#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/archive/call_indexer.h"
#include "core/archive/published_files.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/clock.h"
#include "platform/posix_followed_files.h"
#include "platform/sqlite_record_index.h"

namespace velk {

// The record index of an import, kept on a thread of its own: it reads the raw files of Bill as
// far as the import has said they are stored (a batch in every one of its files and on the disk)
// and puts their records in, while the import decodes and stores the next batch. The thread has
// its own connection to VELK.db. What the raw files held before the import is read first, as a
// start of the collector reads it; the records after it are the import's. What the index has to
// say is collected for the importing thread (TakeProblems).
//
// A second thread with a connection of its own copies the log into the database every
// kCopyLogMs meanwhile, so that the index thread neither waits for that nor writes into an ever
// longer log.
class IndexFollower {
public:
    // The pages of VELK.db's log the index thread lets it hold before it copies them into the
    // database itself (32 MiB), should the copying thread fall behind or be missing.
    static constexpr int kCheckpointPages = 8192;
    static constexpr int kCopyLogMs = 20;

    IndexFollower(const AppSettings& settings, const std::filesystem::path& base);
    // Stops the thread; whatever it had not read yet, the next program to start here reads.
    ~IndexFollower();
    IndexFollower(const IndexFollower&) = delete;
    IndexFollower& operator=(const IndexFollower&) = delete;

    // Begins reading: what the raw files hold now came before the import.
    void Start();
    // The import's records stored so far are in their files and on the disk: read them.
    void Publish();
    // Waits until the index holds every record published (what was not published, a batch the
    // files refused or one that did not reach the disk, the next start reads), or failed (a failing index is tried
    // again at once). False when it failed; TakeProblems says why.
    bool Finish();
    // (event, detail) of what the index reported since the last call.
    std::vector<std::pair<std::string, std::string>> TakeProblems();
    uint64_t EnteredCount();

private:
    void Run();
    // The copying thread.
    void CopyLog();
    void Ask();
    // The thread cannot go on (or never started): Finish says false, with why.
    void Broken(const std::string& why);

    const AppSettings settings_;  // a copy: the thread reads it
    SystemClock clock_;
    PosixFollowedFiles raw_;      // the thread's
    PosixFollowedFiles measure_;  // the importing thread's
    PublishedFiles published_{raw_};
    SqliteRecordIndex index_;
    SqliteRecordIndex log_;  // the copying thread's connection
    CallIndexer indexer_;
    std::mutex lock_;
    std::condition_variable changed_;
    uint64_t asked_ = 0;  // how often the thread was asked to read on
    uint64_t read_ = 0;   // the last of them it has read for
    uint64_t finishAt_ = 0;  // a Finish waits for this one
    bool ok_ = true;
    bool broken_ = false;
    uint64_t entered_ = 0;
    std::atomic<bool> stopping_{false};
    std::vector<std::pair<std::string, std::string>> problems_;
    std::thread thread_;
    std::thread copier_;
};

}  // namespace velk
