#include "platform/pg_record_server.h"

#include <ctime>

#include "core/foundation/latin1_text.h"

namespace velk {
namespace {

// The columns a batch fills, in the order of its COPY data.
const std::string& ShippedColumns() {
    static const std::string list = [] {
        std::string l = "site, started, occurrence, local_id";
        for (int c = 0; c < kIndexColumns; ++c)
            l += ", \"" + IndexColumnName(c) + "\"";
        return l + ", raw, hex_type, system_type, source, stored_at";
    }();
    return list;
}

void AppendRow(std::string& out, const std::string& site, const std::string& started,
               int32_t systemType, const IndexRow& row) {
    AppendCopyText(out, site);
    out += '\t' + started + '\t' + std::to_string(row.occurrence) + '\t' + std::to_string(row.id);
    for (int c = 0; c < kIndexColumns; ++c) {
        out += '\t';
        const IndexValue& v = row.values[static_cast<size_t>(c)];
        if (const auto* n = std::get_if<int64_t>(&v))
            out += std::to_string(*n);
        else if (const auto* t = std::get_if<std::string>(&v); t != nullptr && !IndexColumnIsNumber(c))
            AppendCopyText(out, ServerText(*t));
        else
            out += "\\N";  // absent, or a text where a number belongs (its message has it)
    }
    static const char kHex[] = "0123456789abcdef";
    out += "\t\\\\x";
    for (unsigned char b : row.raw) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    std::tm utc{};
    const std::time_t at = static_cast<std::time_t>(row.storedAt);
    gmtime_r(&at, &utc);
    char stored[40];
    std::strftime(stored, sizeof stored, "%Y-%m-%d %H:%M:%S+00", &utc);
    out += '\t' + std::to_string(row.hexType) + '\t' + std::to_string(systemType) + '\t' +
           std::to_string(static_cast<int>(row.source)) + '\t' + stored + '\n';
}

}  // namespace

bool PgRecordServer::Open() {
    if (db_.IsOpen()) {
        db_.ClearFault();
        return true;
    }
    if (!db_.Open(true))
        return false;
    months_.clear();
    PgDatabase::Result parts;
    if (!db_.Run("CREATE TEMP TABLE velk_stage (LIKE velk_calls INCLUDING DEFAULTS) "
                 "ON COMMIT DELETE ROWS",
                 "cannot make the table a batch is copied into") ||
        !db_.Run("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                 "WHERE i.inhparent = 'velk_calls'::regclass",
                 {}, &parts, "cannot read the months of velk_calls"))
        return false;
    // velk_month names them velk_calls_YYYY_MM.
    for (int i = 0; i < parts.Rows(); ++i) {
        std::string name = parts.Text(i, 0);
        if (name.size() == 18 && name.rfind("velk_calls_", 0) == 0)
            months_.insert(name.substr(11, 4) + "-" + name.substr(16, 2));
    }
    return true;
}

bool PgRecordServer::Month(const std::string& month) {
    const std::string first = month + "-01";
    if (!db_.Run("SELECT velk_month($1::date)", {first.c_str()}, nullptr,
                 "cannot make the partition of " + month))
        return false;
    months_.insert(month);
    return true;
}

std::optional<ShipMark> PgRecordServer::Mark(const std::string& site) {
    if (!Open())
        return std::nullopt;
    PgDatabase::Result r;
    if (!db_.Run("SELECT through_id, fingerprint FROM velk_sites WHERE site = $1", {site.c_str()},
                 &r, "cannot read the site's mark"))
        return std::nullopt;
    if (r.Rows() == 0 && !Renamed(site, r))
        return std::nullopt;
    if (r.Rows() == 0)
        return ShipMark{};
    return ShipMark{r.Number(0, 0), r.Number(0, 1)};
}

std::optional<bool> PgRecordServer::Holds(const std::string& site,
                                          const std::vector<IndexRow>& rows) {
    if (!Open())
        return std::nullopt;
    static const char kHex[] = "0123456789abcdef";
    for (const IndexRow& row : rows) {
        const auto* start = std::get_if<std::string>(&row.Field(4));
        const std::string started = ServerTimestamp(start != nullptr ? *start : std::string());
        std::string hex;
        for (unsigned char b : row.raw) {
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
        }
        // The unique key's columns: one look in its index.
        PgDatabase::Result r;
        if (!db_.Run("SELECT 1 FROM velk_calls WHERE site = $1 AND record_md5 = "
                     "md5(decode($2, 'hex'))::uuid AND started = $3 LIMIT 1",
                     {site.c_str(), hex.c_str(), started.c_str()}, &r,
                     "cannot look for the site's records"))
            return std::nullopt;
        if (r.Rows() > 0)
            return true;
    }
    return false;
}

bool PgRecordServer::Renamed(const std::string& site, PgDatabase::Result& mark) {
    // Earlier VELKs sent texts as Latin-1: a name written in UTF-8 reached the server with each
    // of its bytes taken for a character ("Zürich" as "ZÃ¼rich"). Such a site's rows and mark
    // take the name as written, so that nothing is sent again under the new name.
    const std::string garbled = Latin1ToUtf8(site);
    if (garbled == site)
        return true;
    PgDatabase::Result old;
    if (!db_.Run("BEGIN", "cannot begin renaming the site") ||
        !db_.Run("SELECT FROM velk_sites WHERE site = $1 FOR UPDATE", {garbled.c_str()}, &old,
                 "cannot read the site's mark"))
        return false;
    if (old.Rows() == 0)
        return db_.Run("ROLLBACK", "cannot end reading the site's mark");
    if (!db_.Run("UPDATE velk_calls SET site = $1 WHERE site = $2", {site.c_str(), garbled.c_str()},
                 nullptr, "cannot rename the site's records") ||
        !db_.Run("UPDATE velk_sites SET site = $1 WHERE site = $2", {site.c_str(), garbled.c_str()},
                 nullptr, "cannot rename the site's mark") ||
        !db_.Run("COMMIT", "cannot commit renaming the site"))
        return false;
    return db_.Run("SELECT through_id, fingerprint FROM velk_sites WHERE site = $1", {site.c_str()},
                   &mark, "cannot read the site's mark");
}

bool PgRecordServer::Ship(const std::string& site, int32_t systemType,
                          const std::vector<IndexRow>& rows, const ShipMark& from,
                          const ShipMark& to) {
    lastAdded_ = 0;
    if (!Open())
        return false;
    copy_.clear();
    std::set<std::string> months;
    for (const IndexRow& row : rows) {
        const auto* start = std::get_if<std::string>(&row.Field(4));
        const std::string started = ServerTimestamp(start != nullptr ? *start : std::string());
        months.insert(started.substr(0, 7));
        AppendRow(copy_, site, started, systemType, row);
    }
    for (const std::string& month : months) {
        if (months_.count(month) == 0 && !Month(month))
            return false;
    }
    // Rows after the server's mark are new to it: they are copied straight in. Only when some
    // are there already (the index was built anew and everything is offered again) does the
    // unique key refuse the copy; the batch then goes through a table of its own and in where
    // missing.
    bool direct = true;
    PgDatabase::Result added;
    while (true) {
        if (!Begin(site, from))
            return false;
        if (direct) {
            if (db_.Copy("COPY velk_calls (" + ShippedColumns() + ") FROM STDIN", copy_,
                         "cannot send the records", "23505")) {
                lastAdded_ = static_cast<int64_t>(rows.size());
                break;
            }
            if (!db_.Tolerated() || !db_.Run("ROLLBACK", "cannot roll back"))
                return false;
            direct = false;
            continue;
        }
        if (!db_.Copy("COPY velk_stage (" + ShippedColumns() + ") FROM STDIN", copy_,
                      "cannot send the records") ||
            !db_.Run("INSERT INTO velk_calls (" + ShippedColumns() + ") SELECT " +
                         ShippedColumns() + " FROM velk_stage ON CONFLICT DO NOTHING",
                     {}, &added, "cannot store the records"))
            return false;
        lastAdded_ = added.Affected();
        break;
    }
    const std::string through = std::to_string(to.throughId),
                      fingerprint = std::to_string(to.fingerprint),
                      type = std::to_string(systemType);
    if (
        !db_.Run("INSERT INTO velk_sites (site, through_id, fingerprint, system_type) "
                 "VALUES ($1, $2, $3, $4) ON CONFLICT (site) DO UPDATE SET "
                 "through_id = EXCLUDED.through_id, fingerprint = EXCLUDED.fingerprint, "
                 "system_type = EXCLUDED.system_type, updated_at = now()",
                 {site.c_str(), through.c_str(), fingerprint.c_str(), type.c_str()}, nullptr,
                 "cannot move the site's mark") ||
        !db_.Run("COMMIT", "cannot commit the batch"))
        return false;
    return true;
}

bool PgRecordServer::Begin(const std::string& site, const ShipMark& from) {
    PgDatabase::Result mark;
    if (!db_.Run("BEGIN", "cannot begin a batch") ||
        !db_.Run("SELECT through_id, fingerprint FROM velk_sites WHERE site = $1 FOR UPDATE",
                 {site.c_str()}, &mark, "cannot read the site's mark"))
        return false;
    const ShipMark current =
        mark.Rows() == 0 ? ShipMark{} : ShipMark{mark.Number(0, 0), mark.Number(0, 1)};
    if (current == from)
        return true;
    return db_.Fail(ServerFault::Conflict,
                    "its mark moved from row " + std::to_string(from.throughId) + " to row " +
                        std::to_string(current.throughId) +
                        " meanwhile: is another collector set up with the same site name?");
}

}  // namespace velk
