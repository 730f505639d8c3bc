#pragma once

#include <filesystem>
#include <string>

#include "core/web/web_console.h"

namespace velk {

// The stored calls for the web console: the record index VELK.db of a base directory, opened
// read only for each request, and the database server of many sites when one is set up.
class IndexWebArchive : public WebArchive {
public:
    IndexWebArchive(std::filesystem::path indexFile, std::string serverConnection);
    std::unique_ptr<RecordIndex> Open(bool server, const std::string& site,
                                      std::string& why) override;
    bool Newest(int64_t afterId, size_t most, std::vector<IndexRow>& rows, int64_t& lastId,
                std::string& why) override;
    bool HasServer() const override { return !server_.empty(); }

private:
    std::filesystem::path indexFile_;
    std::string server_;
};

}  // namespace velk
