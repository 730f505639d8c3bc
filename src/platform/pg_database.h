#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/archive/record_server.h"

struct pg_conn;
struct pg_result;

namespace velk {

// The schema version of VELK's tables on the database server, kept in velk_schema.
inline constexpr int kServerSchemaVersion = 1;

// One libpq connection to the database server and the statements both the sender and the
// reports need. Values always travel as parameters (or as COPY data), never inside SQL text.
// One object belongs to one thread.
class PgDatabase {
public:
    explicit PgDatabase(std::string connection);
    ~PgDatabase();
    PgDatabase(const PgDatabase&) = delete;
    PgDatabase& operator=(const PgDatabase&) = delete;

    // Connects when not connected: the client encoding UTF-8 (record texts go through
    // ServerText and RecordText), a connect time-out of 10 s (the time-out, when shorter) unless
    // the connection says otherwise, TCP keep-alives; the server's notices are dropped. Error texts never hold a
    // password. With `create`, VELK's tables are made when the server has none; tables of another
    // schema version are reported, never changed. False with Fault and ErrorText (the connection
    // is then closed).
    bool Open(bool create);
    // How long the server may stay silent while an answer is awaited before it counts as not
    // answering (NotAnswering, the connection closed); 0 (the default) waits for ever. A
    // statement runs at most as long on the server too. From the next connection on.
    void SetTimeout(int seconds) { timeoutSeconds_ = seconds; }
    // From any thread: whatever waits for the server now, or later, ends at once (Unreachable,
    // the connection closed). For a program that stops, whatever the server does.
    void Interrupt();
    void Close();
    bool IsOpen() const { return conn_ != nullptr; }

    // Results of one statement, freed with the object.
    struct Result {
        std::shared_ptr<pg_result> result;
        int Rows() const;
        std::string Text(int row, int column) const;
        bool Null(int row, int column) const;
        int64_t Number(int row, int column) const;
        // Rows an INSERT or UPDATE touched.
        int64_t Affected() const;
    };
    // Runs a statement with text parameters (a null pointer for SQL NULL). False (and the
    // connection closed) when it fails.
    bool Run(const std::string& sql, const std::vector<const char*>& parameters, Result* result,
             const std::string& what);
    bool Run(const std::string& sql, const std::string& what) { return Run(sql, {}, nullptr, what); }
    // COPY ... FROM STDIN with the data in COPY's text form. A failure whose SQLSTATE is
    // `tolerated` leaves the connection open (its transaction failed) and sets Tolerated.
    bool Copy(const std::string& sql, const std::string& data, const std::string& what,
              const char* tolerated = nullptr);
    bool Tolerated() const { return tolerated_; }
    // Runs a query row by row (any size of result) until visit returns false.
    bool Each(const std::string& sql, const std::vector<const char*>& parameters,
              const std::function<bool(const Result&)>& visit, const std::string& what);
    // Sends a cancel for the statement running on the connection now (any thread may call it).
    void Cancel();

    ServerFault Fault() const { return fault_; }
    const std::string& ErrorText() const { return error_; }
    void ClearFault() {
        fault_ = ServerFault::None;
        error_.clear();
    }
    // Records the fault and closes the connection (a transaction open on it is rolled back).
    bool Fail(ServerFault fault, const std::string& text);

private:
    bool FailWith(const pg_result* result, const std::string& what);
    bool Schema(bool create);
    // Waits for the connection's socket to be readable (or writable too), at most `ms` (-1: for
    // ever); false when the time ran out or Interrupt came (the connection then closed).
    // `allowed` is the wait as said in the error (ms unless given).
    bool Await(bool write, int ms, const std::string& what, int allowed = -1);
    // Sends what libpq holds; the next result (null at the end, or when waiting failed: failed).
    bool Flush(const std::string& what);
    pg_result* NextResult(const std::string& what, bool& failed);
    bool Connect();
    int WaitMs() const { return timeoutSeconds_ > 0 ? timeoutSeconds_ * 1000 : -1; }

    std::string connection_;
    pg_conn* conn_ = nullptr;
    struct Canceller;
    std::shared_ptr<Canceller> cancel_;
    int timeoutSeconds_ = 0;
    int wake_ = -1;  // readable once Interrupt came
    ServerFault fault_ = ServerFault::None;
    std::string error_;
    bool tolerated_ = false;
};

// A text as COPY's text form writes it (backslash, tab, line ends escaped; a zero byte, which no
// database text can hold, as a blank).
void AppendCopyText(std::string& out, const std::string& text);
// A start date-time "YYYY-MM-DD hh:mm:ss" the database can take as a timestamp: the text when it
// is a real one, else "1970-01-01 00:00:00".
std::string ServerTimestamp(const std::string& text);
// The start a garbled start text is filed under (the month of its partition).
inline constexpr const char* kServerNoTimestamp = "1970-01-01 00:00:00";

// A record's text as the server keeps it (each 8-bit character as UTF-8), and back: the server
// holds the characters of the record, in whatever encoding it keeps them.
std::string ServerText(const std::string& recordText);
std::string RecordText(const std::string& serverText);

}  // namespace velk
