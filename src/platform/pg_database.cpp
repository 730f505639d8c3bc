#include "platform/pg_database.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
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
    : connection_(std::move(connection)),
      cancel_(std::make_shared<Canceller>()),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PgDatabase::~PgDatabase() {
    Close();
    if (wake_ >= 0)
        ::close(wake_);
}

void PgDatabase::Close() {
    {
        std::lock_guard<std::mutex> hold(cancel_->lock);
        if (cancel_->cancel != nullptr)
            PQfreeCancel(cancel_->cancel);
        cancel_->cancel = nullptr;
    }
    // The connection is non-blocking: its goodbye never waits for a server that does not read.
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

void PgDatabase::Interrupt() {
    const uint64_t one = 1;
    if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
        // Already readable (the counter is full): nothing more to do.
    }
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
    else if (sqlState == "57014")
        fault = ServerFault::NotAnswering;  // the statement ran out of its time on the server
    else if (sqlState.rfind("28", 0) == 0 || sqlState == "3D000")
        fault = ServerFault::LoginRefused;
    else if (sqlState == "42P01" || sqlState == "42703" || sqlState == "42883")
        fault = ServerFault::Schema;
    return Fail(fault, what + ": " + message);
}

bool PgDatabase::Await(bool write, int ms, const std::string& what, int allowed) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (true) {
        pollfd fds[2] = {{PQsocket(conn_), static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0},
                         {wake_, POLLIN, 0}};
        int left = -1;
        if (ms >= 0) {
            left = static_cast<int>(std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())
                       .count()));
        }
        const int n = ::poll(fds, wake_ >= 0 ? 2 : 1, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(ServerFault::Unreachable, what + ": " + std::strerror(errno));
        if (wake_ >= 0 && (fds[1].revents & POLLIN) != 0)
            return Fail(ServerFault::Unreachable, what + ": the program stops");
        if (n == 0) {
            return Fail(ServerFault::NotAnswering,
                        what + ": the server did not answer within " +
                            std::to_string((allowed >= 0 ? allowed : ms) / 1000) + " s");
        }
        return true;
    }
}

bool PgDatabase::Flush(const std::string& what) {
    while (true) {
        const int r = PQflush(conn_);
        if (r == 0)
            return true;
        if (r < 0)
            return FailWith(nullptr, what);
        // A server that reads nothing while it writes must be read from meanwhile.
        if (!Await(true, WaitMs(), what))
            return false;
        if (PQconsumeInput(conn_) != 1)
            return FailWith(nullptr, what);
    }
}

pg_result* PgDatabase::NextResult(const std::string& what, bool& failed) {
    failed = false;
    while (PQisBusy(conn_) != 0) {
        if (!Await(false, WaitMs(), what)) {
            failed = true;
            return nullptr;
        }
        if (PQconsumeInput(conn_) != 1) {
            failed = true;
            FailWith(nullptr, what);
            return nullptr;
        }
    }
    return PQgetResult(conn_);
}

bool PgDatabase::Connect() {
    // Keywords are taken in order: the connection string overrides the time-out and the
    // keep-alives (they are before it), never the encoding. Texts travel as UTF-8, as site names
    // are written; record texts, whose bytes are Latin-1 characters, are converted on the way
    // (RecordText, ServerText).
    const std::string idle = std::to_string(timeoutSeconds_ > 0 ? std::max(1, timeoutSeconds_ / 3) : 60);
    const std::string userTimeout = std::to_string(timeoutSeconds_ > 0 ? timeoutSeconds_ * 1000 : 0);
    const char* keywords[] = {"connect_timeout",  "application_name",    "keepalives",
                              "keepalives_idle",  "keepalives_interval", "keepalives_count",
                              "tcp_user_timeout", "dbname",              "client_encoding",
                              nullptr};
    // A connection never waits longer than any other wait for the server.
    const std::string connectSeconds =
        std::to_string(timeoutSeconds_ > 0 ? std::min(10, timeoutSeconds_) : 10);
    const char* values[] = {connectSeconds.c_str(), "velk", "1",
                            idle.c_str(), "5",   "3",
                            userTimeout.c_str(), connection_.c_str(), "UTF8",
                            nullptr};
    conn_ = PQconnectStartParams(keywords, values, 1);
    if (conn_ == nullptr)
        return Fail(ServerFault::Unreachable, "out of memory");
    // The server's notices ("already exists, skipping" when two sites make the tables at once)
    // are no news to anybody: libpq would print them on standard error.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    // libpq leaves the connect time-out to a program that connects without blocking.
    int seconds = 10;
    if (PQconninfoOption* options = PQconninfo(conn_)) {
        for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
            if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val != nullptr)
                seconds = std::atoi(o->val);
        }
        PQconninfoFree(options);
    }
    // The whole connection (every step of it) within the time-out, as libpq counts it.
    const int ms = seconds > 0 ? std::max(seconds, 2) * 1000 : -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(conn_) != CONNECTION_BAD && state != PGRES_POLLING_OK &&
           state != PGRES_POLLING_FAILED) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (!Await(state == PGRES_POLLING_WRITING,
                   ms < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, left.count())),
                   "cannot connect", ms))
            return false;
        state = PQconnectPoll(conn_);
    }
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string text = PQerrorMessage(conn_);
        return Fail(LoginRefusal(text) ? ServerFault::LoginRefused : ServerFault::Unreachable,
                    text);
    }
    if (PQsetnonblocking(conn_, 1) != 0)
        return Fail(ServerFault::Unreachable, PQerrorMessage(conn_));
    return true;
}

bool PgDatabase::Open(bool create) {
    ClearFault();
    if (conn_ != nullptr)
        return true;
    if (!Connect())
        return false;
    {
        std::lock_guard<std::mutex> hold(cancel_->lock);
        cancel_->cancel = PQgetCancel(conn_);
    }
    if (timeoutSeconds_ > 0 &&
        !Run("SET statement_timeout = " + std::to_string(timeoutSeconds_ * 1000),
             "cannot set the statement time-out"))
        return false;
    return Schema(create);
}

bool PgDatabase::Schema(bool create) {
    Result version, probe;
    if (!Run("SELECT to_regclass('velk_schema') IS NOT NULL", {}, &probe,
             "cannot look for VELK's tables"))
        return false;
    const bool present = probe.Rows() == 1 && probe.Text(0, 0) == "t";
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
    const int sent = parameters.empty()
                         ? PQsendQuery(conn_, sql.c_str())
                         : PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(parameters.size()),
                                             nullptr, parameters.data(), nullptr, nullptr, 0);
    if (sent != 1)
        return FailWith(nullptr, what);
    if (!Flush(what))
        return false;
    // Statements after one that failed do not run: its error is the answer; else the last one's.
    PGresult* answer = nullptr;
    bool failed = false, error = false;
    for (PGresult* r; (r = NextResult(what, failed)) != nullptr;) {
        if (error) {
            PQclear(r);
            continue;
        }
        const ExecStatusType status = PQresultStatus(r);
        error = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
        PQclear(answer);
        answer = r;
    }
    if (failed) {
        PQclear(answer);
        return false;
    }
    const ExecStatusType status = PQresultStatus(answer);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        FailWith(answer, what);
        PQclear(answer);
        return false;
    }
    if (result != nullptr)
        result->result.reset(answer, PQclear);
    else
        PQclear(answer);
    return true;
}

bool PgDatabase::Copy(const std::string& sql, const std::string& data, const std::string& what,
                      const char* tolerated) {
    tolerated_ = false;
    if (conn_ == nullptr)
        return Fail(ServerFault::Unreachable, what + ": not connected");
    if (PQsendQuery(conn_, sql.c_str()) != 1)
        return FailWith(nullptr, what);
    if (!Flush(what))
        return false;
    bool failed = false;
    PGresult* r = NextResult(what, failed);
    if (failed)
        return false;
    if (PQresultStatus(r) != PGRES_COPY_IN) {
        FailWith(r, what);
        PQclear(r);
        return false;
    }
    PQclear(r);
    constexpr size_t kPiece = 1 << 20;
    for (size_t at = 0; at < data.size();) {
        const size_t n = std::min(kPiece, data.size() - at);
        const int put = PQputCopyData(conn_, data.data() + at, static_cast<int>(n));
        if (put < 0)
            return FailWith(nullptr, what);
        if (put == 0) {
            // libpq's buffer is full: wait until the server takes some.
            if (!Await(true, WaitMs(), what))
                return false;
            if (PQconsumeInput(conn_) != 1 || PQflush(conn_) < 0)
                return FailWith(nullptr, what);
            continue;
        }
        at += n;
    }
    for (int end; (end = PQputCopyEnd(conn_, nullptr)) != 1;) {
        if (end < 0)
            return FailWith(nullptr, what);
        if (!Await(true, WaitMs(), what))
            return false;
        if (PQconsumeInput(conn_) != 1)
            return FailWith(nullptr, what);
    }
    if (!Flush(what))
        return false;
    bool ok = true;
    while ((r = NextResult(what, failed)) != nullptr) {
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
            return false;
        }
        PQclear(r);
    }
    return ok && !failed;
}

bool PgDatabase::Each(const std::string& sql, const std::vector<const char*>& parameters,
                      const std::function<bool(const Result&)>& visit, const std::string& what) {
    if (conn_ == nullptr)
        return Fail(ServerFault::Unreachable, what + ": not connected");
    if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(parameters.size()), nullptr,
                          parameters.data(), nullptr, nullptr, 0) != 1 ||
        PQsetSingleRowMode(conn_) != 1)
        return FailWith(nullptr, what);
    if (!Flush(what))
        return false;
    bool ok = true, wanted = true, failed = false;
    PGresult* r = nullptr;
    while ((r = NextResult(what, failed)) != nullptr) {
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
    return ok && !failed;
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
