#pragma once

#include <string>
#include <vector>

#include "core/archive/record_index.h"
#include "platform/pg_database.h"

namespace velk {

// A statement and its parameters, as the server gets them.
struct PgStatement {
    std::string sql;
    std::vector<std::string> parameters;
};
// The statements PgRecordIndex runs to search and to count (a look at the server's plan shows
// which months' partitions they read).
PgStatement PgSelectStatement(const IndexFilter& filter, const std::string& site);
PgStatement PgTotalsStatement(ReportBy by, int prefixDigits, const std::string& site,
                              const std::string& from, const std::string& to);

// The calls of every site on the database server, searched and counted like the record index of
// one site: across sites, or of one site only. Nothing is added through it: the collectors
// send the rows. A field whose text did not read as a number is absent here (its message has
// it).
class PgRecordIndex : public RecordIndex {
public:
    // site: the one site to read, empty for all.
    PgRecordIndex(std::string connection, std::string site)
        : db_(std::move(connection)), site_(std::move(site)) {}

    bool Add(std::vector<IndexRow>& rows, bool onlyMissing = false) override;
    bool Select(const IndexFilter& filter,
                const std::function<bool(const IndexRow&)>& visit) override;
    std::optional<std::vector<GroupTotals>> Totals(ReportBy by, int prefixDigits,
                                                   const std::string& from,
                                                   const std::string& to) override;
    std::string ErrorText() const override { return db_.ErrorText(); }

private:
    PgDatabase db_;
    std::string site_;
};

}  // namespace velk
