#include "platform/web_archive.h"

#include <algorithm>
#include <system_error>

#include "platform/pg_record_index.h"
#include "platform/sqlite_record_index.h"

namespace velk {

IndexWebArchive::IndexWebArchive(std::filesystem::path indexFile, std::string serverConnection)
    : indexFile_(std::move(indexFile)), server_(std::move(serverConnection)) {}

std::unique_ptr<RecordIndex> IndexWebArchive::Open(bool server, const std::string& site,
                                                   std::string& why) {
    if (server) {
        if (server_.empty()) {
            why = "no database server is set up";
            return nullptr;
        }
        return std::make_unique<PgRecordIndex>(server_, site);
    }
    std::error_code error;
    if (!std::filesystem::exists(indexFile_, error)) {
        why = "there is no " + indexFile_.filename().string() + " yet";
        return nullptr;
    }
    return std::make_unique<SqliteRecordIndex>(indexFile_, SqliteRecordIndex::Mode::Read);
}

bool IndexWebArchive::Newest(int64_t afterId, size_t most, std::vector<IndexRow>& rows,
                             int64_t& lastId, std::string& why) {
    rows.clear();
    std::error_code error;
    if (!std::filesystem::exists(indexFile_, error)) {
        lastId = 0;
        return true;
    }
    SqliteRecordIndex index(indexFile_, SqliteRecordIndex::Mode::Read);
    lastId = index.LastId();
    if (lastId < 0) {
        why = index.ErrorText();
        return false;
    }
    // A first look, or one after an index built anew (its numbers start again): the newest.
    int64_t from = afterId;
    if (from < 0 || from > lastId || lastId - from > static_cast<int64_t>(most))
        from = std::max<int64_t>(0, lastId - static_cast<int64_t>(most));
    if (from >= lastId)
        return true;
    if (!index.After(from, most, rows)) {
        why = index.ErrorText();
        return false;
    }
    return true;
}

}  // namespace velk
