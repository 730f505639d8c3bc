#pragma once

#include <set>
#include <string>

#include "core/archive/record_server.h"
#include "platform/pg_database.h"

namespace velk {

// The database server of many sites, as the sender of one site writes to it: every batch is
// copied into a table of the session's own, then put into velk_calls where the server lacks it,
// and the site's mark moves, in one transaction. A month's partition is made before the first
// call of that month goes in.
class PgRecordServer : public RecordServer {
public:
    explicit PgRecordServer(std::string connection) : db_(std::move(connection)) {}

    bool Open() override;
    void Close() override { db_.Close(); }
    std::optional<ShipMark> Mark(const std::string& site) override;
    bool Ship(const std::string& site, int32_t systemType, const std::vector<IndexRow>& rows,
              const ShipMark& from, const ShipMark& to) override;
    ServerFault Fault() const override { return db_.Fault(); }
    std::string ErrorText() const override { return db_.ErrorText(); }

    std::optional<bool> Holds(const std::string& site, const std::vector<IndexRow>& rows) override;
    // How long the server may take to answer (seconds).
    void SetTimeout(int seconds) { db_.SetTimeout(seconds); }
    // From another thread, at shutdown: whatever waits for the server ends now, and from now on.
    void Interrupt() { db_.Interrupt(); }
    // Rows the last batch added (the others were there already).
    int64_t LastAdded() const { return lastAdded_; }

private:
    bool Month(const std::string& month);
    // Begins the batch's transaction, the site's mark locked; false (the connection closed) when
    // the mark is not at `from`.
    bool Begin(const std::string& site, const ShipMark& from);
    // With no mark under the site's name: gives a site an earlier VELK sent under a garbled
    // name its name, and `mark` its mark then. False when the server fails.
    bool Renamed(const std::string& site, PgDatabase::Result& mark);

    PgDatabase db_;
    std::set<std::string> months_;  // "YYYY-MM" of the partitions known to be there
    int64_t lastAdded_ = 0;
    std::string copy_;
};

}  // namespace velk
