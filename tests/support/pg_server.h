#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace velk::test {

// A PostgreSQL server of the test's own: initdb into a temporary directory as an ordinary user
// (initdb and the server refuse root), listening only on a Unix socket in that directory, never
// on TCP. The database "velk" belongs to the role "velk", which logs in with a password (from
// a password file); the superuser "postgres" needs none. The server ends with the test, or with
// the test's process when that dies.
class PgServer {
public:
    static constexpr const char* kPassword = "velk-secret";

    PgServer();
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // False (with Error) when the server could not be made or started.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // The connection of the role velk, its password in a file readable by this user only.
    std::string Connection() const;
    // The same with a file holding a wrong password.
    std::string WrongPasswordConnection() const;
    const std::filesystem::path& SocketDirectory() const { return dir_.Path(); }

    // Runs SQL as the superuser in the database velk (or another); the rows' first columns, one
    // per line. Fails the test when it cannot.
    std::string Sql(const std::string& sql, const std::string& database = "velk") const;

    // Stops the server in order (fast shutdown) or at once (as a crash would), and starts it
    // again on the same data.
    void Stop(bool immediate = false);
    bool Start();
    bool Running() const { return pid_ > 0; }
    // Stops every process of the server where it is (SIGSTOP): connections stay open, nothing
    // answers; and lets them go on (SIGCONT).
    void Freeze();
    void Thaw();

private:
    TempDir dir_;
    std::filesystem::path data_;
    pid_t pid_ = -1;
    std::string error_;
};

}  // namespace velk::test
