#include "platform/pg_database.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <mutex>

#include "core/archive/index_row.h"
#include "core/foundation/database_settings.h"
#include "core/foundation/latin1_text.h"

namespace velk {
namespace {

std::string Column(int c) {
    return "\"" + IndexColumnName(c) + "\"";
}

// VELK's tables: the schema version, each site's mark, and the calls of every site, partitioned
// by the month of their start (velk_month makes a month's partition). A call is one row per
// site, message and occurrence: the unique key takes a batch sent twice once.
std::string SchemaSql() {
    std::string columns;
    for (int c = 0; c < kIndexColumns; ++c)
        columns += "  " + Column(c) + (IndexColumnIsNumber(c) ? " bigint,\n" : " text,\n");
    const std::string start = Column(4);
    return "CREATE TABLE IF NOT EXISTS velk_schema (version integer NOT NULL);\n"
           "INSERT INTO velk_schema SELECT " + std::to_string(kServerSchemaVersion) +
           " WHERE NOT EXISTS (SELECT FROM velk_schema);\n"
           "CREATE TABLE IF NOT EXISTS velk_sites (\n"
           "  site text PRIMARY KEY,\n"
           "  through_id bigint NOT NULL,\n"
           "  fingerprint bigint NOT NULL,\n"
           "  system_type integer NOT NULL,\n"
           "  updated_at timestamptz NOT NULL DEFAULT now());\n"
           "CREATE TABLE IF NOT EXISTS velk_calls (\n"
           "  site text NOT NULL,\n"
           "  started timestamp NOT NULL,\n"
           "  occurrence integer NOT NULL,\n"
           "  local_id bigint NOT NULL,\n" +
           columns +
           "  raw bytea NOT NULL,\n"
           "  hex_type smallint NOT NULL,\n"
           "  system_type smallint NOT NULL,\n"
           "  source smallint NOT NULL,\n"
           "  stored_at timestamptz NOT NULL,\n"
           "  shipped_at timestamptz NOT NULL DEFAULT now(),\n"
           "  record_md5 uuid GENERATED ALWAYS AS (md5(raw)::uuid) STORED,\n"
           "  CONSTRAINT velk_calls_record UNIQUE (site, record_md5, occurrence, started)\n"
           ") PARTITION BY RANGE (started);\n"
           "CREATE INDEX IF NOT EXISTS velk_calls_start ON velk_calls (" + start +
           ") INCLUDE (site, " + Column(32) + ", answered);\n"
           "CREATE INDEX IF NOT EXISTS velk_calls_calling ON velk_calls (" + Column(3) + ", " +
           start + ");\n"
           "CREATE INDEX IF NOT EXISTS velk_calls_dialled ON velk_calls (" + Column(6) + ");\n"
           "CREATE OR REPLACE FUNCTION velk_month(month date) RETURNS void LANGUAGE plpgsql AS $f$\n"
           "BEGIN\n"
           "  EXECUTE format('CREATE TABLE IF NOT EXISTS %I PARTITION OF velk_calls"
           " FOR VALUES FROM (%L) TO (%L)', 'velk_calls_' || to_char(month, 'YYYY_MM'),"
           " date_trunc('month', month), date_trunc('month', month) + interval '1 month');\n"
           "EXCEPTION WHEN duplicate_table OR unique_violation THEN NULL;\n"
           "END $f$;\n";
}

bool LoginRefusal(const std::string& text) {
    for (const char* sign :
         {"authentication failed", "no password supplied", "does not exist", "pg_hba.conf",
          "permission denied", "password file", "too many connections"}) {
        if (text.find(sign) != std::string::npos)
            return true;
    }
    return false;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

}  // namespace

struct PgDatabase::Canceller {
    std::mutex lock;
    PGcancel* cancel = nullptr;
};

PgDatabase::PgDatabase(std::string connection)
    : connection_(std::move(connection)), cancel_(std::make_shared<Canceller>()) {}

PgDatabase::~PgDatabase() {
    Close();
}

void PgDatabase::Close() {
    {
        std::lock_guard<std::mutex> hold(cancel_->lock);
        if (cancel_->cancel != nullptr)
            PQfreeCancel(cancel_->cancel);
        cancel_->cancel = nullptr;
    }
    if (conn_ != nullptr)
        PQfinish(conn_);
    conn_ = nullptr;
}

void PgDatabase::Cancel() {
    std::lock_guard<std::mutex> hold(cancel_->lock);
    char error[256];
    if (cancel_->cancel != nullptr)
        PQcancel(cancel_->cancel, error, sizeof error);
}

bool PgDatabase::Fail(ServerFault fault, const std::string& text) {
    fault_ = fault;
    // libpq's messages can repeat the connection string, a password perhaps, and they go to
    // the log.
    error_ = MaskPasswords(Trimmed(text));
    Close();
    return false;
}

bool PgDatabase::FailWith(const pg_result* result, const std::string& what) {
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK)
        return Fail(ServerFault::Unreachable, what + ": " + (conn_ ? PQerrorMessage(conn_) : ""));
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string sqlState = state != nullptr ? state : "";
    const std::string message = result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(conn_);
    ServerFault fault = ServerFault::Refused;
    // An error libpq made itself (no SQLSTATE) is the connection's.
    if (sqlState.empty() || sqlState.rfind("08", 0) == 0 || sqlState.rfind("57P", 0) == 0)
        fault = ServerFault::Unreachable;
    else if (sqlState.rfind("28", 0) == 0 || sqlState == "3D000")
        fault = ServerFault::LoginRefused;
    else if (sqlState == "42P01" || sqlState == "42703" || sqlState == "42883")
        fault = ServerFault::Schema;
    return Fail(fault, what + ": " + message);
}

bool PgDatabase::Open(bool create) {
    ClearFault();
    if (conn_ != nullptr)
        return true;
    // Keywords are taken in order: the time-out may be overridden by the connection string, the
    // encoding may not. Texts travel as UTF-8, as site names are written; record texts, whose
    // bytes are Latin-1 characters, are converted on the way (RecordText, ServerText).
    const char* keywords[] = {"connect_timeout", "application_name", "dbname", "client_encoding",
                              nullptr};
    const char* values[] = {"10", "velk", connection_.c_str(), "UTF8", nullptr};
    conn_ = PQconnectdbParams(keywords, values, 1);
    if (conn_ == nullptr)
        return Fail(ServerFault::Unreachable, "out of memory");
    // The server's notices ("already exists, skipping" when two sites make the tables at once)
    // are no news to anybody: libpq would print them on standard error.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string text = PQerrorMessage(conn_);
        return Fail(LoginRefusal(text) ? ServerFault::LoginRefused : ServerFault::Unreachable,
                    text);
    }
    {
        std::lock_guard<std::mutex> hold(cancel_->lock);
        cancel_->cancel = PQgetCancel(conn_);
    }
    return Schema(create);
}

bool PgDatabase::Schema(bool create) {
    Result version;
    PGresult* probe = PQexec(conn_, "SELECT to_regclass('velk_schema') IS NOT NULL");
    const bool probed = PQresultStatus(probe) == PGRES_TUPLES_OK && PQntuples(probe) == 1;
    const bool present = probed && std::string(PQgetvalue(probe, 0, 0)) == "t";
    if (!probed) {
        FailWith(probe, "cannot look for VELK's tables");
        PQclear(probe);
        return false;
    }
    PQclear(probe);
    if (!present) {
        if (!create)
            return Fail(ServerFault::Schema, "the database holds no VELK tables (no site has "
                                             "sent records to it yet)");
        // Two collectors meeting an empty database at once: one makes the tables.
        if (!Run("BEGIN; SELECT pg_advisory_xact_lock(3185601); " + SchemaSql() + "COMMIT;",
                 "cannot create VELK's tables"))
            return Fail(ServerFault::Schema, error_);
    }
    if (!Run("SELECT min(version), max(version) FROM velk_schema", {}, &version,
             "cannot read VELK's schema version"))
        return false;
    const int64_t low = version.Null(0, 0) ? 0 : version.Number(0, 0);
    const int64_t high = version.Null(0, 1) ? 0 : version.Number(0, 1);
    if (low != kServerSchemaVersion || high != kServerSchemaVersion) {
        return Fail(ServerFault::Schema,
                    "the database holds VELK tables of schema version " + std::to_string(high) +
                        ", this VELK uses version " + std::to_string(kServerSchemaVersion) +
                        (high > kServerSchemaVersion ? " (a newer VELK made them)"
                                                     : " (an older VELK made them)") +
                        "; they are left as they are");
    }
    return true;
}

int PgDatabase::Result::Rows() const {
    return result ? PQntuples(result.get()) : 0;
}

std::string PgDatabase::Result::Text(int row, int column) const {
    return std::string(PQgetvalue(result.get(), row, column),
                       static_cast<size_t>(PQgetlength(result.get(), row, column)));
}

bool PgDatabase::Result::Null(int row, int column) const {
    return PQgetisnull(result.get(), row, column) != 0;
}

int64_t PgDatabase::Result::Number(int row, int column) const {
    return std::strtoll(PQgetvalue(result.get(), row, column), nullptr, 10);
}

int64_t PgDatabase::Result::Affected() const {
    return result ? std::strtoll(PQcmdTuples(result.get()), nullptr, 10) : 0;
}

bool PgDatabase::Run(const std::string& sql, const std::vector<const char*>& parameters,
                     Result* result, const std::string& what) {
    if (conn_ == nullptr)
        return Fail(ServerFault::Unreachable, what + ": not connected");
    PGresult* r = parameters.empty()
                      ? PQexec(conn_, sql.c_str())
                      : PQexecParams(conn_, sql.c_str(), static_cast<int>(parameters.size()),
                                     nullptr, parameters.data(), nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        FailWith(r, what);
        PQclear(r);
        return false;
    }
    if (result != nullptr)
        result->result.reset(r, PQclear);
    else
        PQclear(r);
    return true;
}

bool PgDatabase::Copy(const std::string& sql, const std::string& data, const std::string& what,
                      const char* tolerated) {
    tolerated_ = false;
    PGresult* r = PQexec(conn_, sql.c_str());
    if (PQresultStatus(r) != PGRES_COPY_IN) {
        FailWith(r, what);
        PQclear(r);
        return false;
    }
    PQclear(r);
    constexpr size_t kPiece = 1 << 20;
    for (size_t at = 0; at < data.size(); at += kPiece) {
        const size_t n = std::min(kPiece, data.size() - at);
        if (PQputCopyData(conn_, data.data() + at, static_cast<int>(n)) != 1)
            return FailWith(nullptr, what);
    }
    if (PQputCopyEnd(conn_, nullptr) != 1)
        return FailWith(nullptr, what);
    bool ok = true;
    while ((r = PQgetResult(conn_)) != nullptr) {
        if (ok && PQresultStatus(r) != PGRES_COMMAND_OK) {
            ok = false;
            const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            if (tolerated != nullptr && state != nullptr && std::string(state) == tolerated) {
                tolerated_ = true;
                PQclear(r);
                continue;
            }
            // The connection is closed by FailWith: the rest of the results go with it.
            FailWith(r, what);
            PQclear(r);
            break;
        }
        PQclear(r);
    }
    return ok;
}

bool PgDatabase::Each(const std::string& sql, const std::vector<const char*>& parameters,
                      const std::function<bool(const Result&)>& visit, const std::string& what) {
    if (conn_ == nullptr)
        return Fail(ServerFault::Unreachable, what + ": not connected");
    if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(parameters.size()), nullptr,
                          parameters.data(), nullptr, nullptr, 0) != 1 ||
        PQsetSingleRowMode(conn_) != 1)
        return FailWith(nullptr, what);
    bool ok = true, wanted = true;
    PGresult* r = nullptr;
    while ((r = PQgetResult(conn_)) != nullptr) {
        const ExecStatusType status = PQresultStatus(r);
        if (ok && status == PGRES_SINGLE_TUPLE && wanted) {
            Result row;
            row.result.reset(r, PQclear);
            wanted = visit(row);
            if (!wanted)
                Cancel();
            continue;
        }
        if (ok && status != PGRES_TUPLES_OK && status != PGRES_SINGLE_TUPLE && wanted) {
            // Closing the connection drops the results still to come.
            FailWith(r, what);
            PQclear(r);
            return false;
        }
        PQclear(r);
    }
    return ok;
}

void AppendCopyText(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\0':
                out += ' ';
                break;
            default:
                out += c;
        }
    }
}

std::string ServerTimestamp(const std::string& text) {
    static const std::string none = kServerNoTimestamp;
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':')
        return none;
    int v[6];
    const size_t at[6] = {0, 5, 8, 11, 14, 17}, len[6] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i) {
        v[i] = 0;
        for (size_t k = 0; k < len[i]; ++k) {
            const char c = text[at[i] + k];
            if (c < '0' || c > '9')
                return none;
            v[i] = v[i] * 10 + (c - '0');
        }
    }
    const int year = v[0], month = v[1], day = v[2];
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days[month - 1] || v[3] > 23 ||
        v[4] > 59 || v[5] > 59)
        return none;
    return text;
}

std::string ServerText(const std::string& recordText) {
    return Latin1ToUtf8(recordText);
}

std::string RecordText(const std::string& serverText) {
    return Utf8ToLatin1(serverText);
}

}  // namespace velk
