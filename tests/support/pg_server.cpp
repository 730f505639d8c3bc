#include "support/pg_server.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ios>
#include <vector>
#include <thread>

#include <gtest/gtest.h>

namespace velk::test {
namespace {

constexpr uid_t kNobody = 65534;
const std::string kBin = VELK_PG_BINDIR;

// Runs a program as the ordinary user (nobody when the test runs as root); its output goes to
// `log`. With wait, answers its exit code; else its pid.
pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& log, bool wait) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(126);
        // A server outliving a crashed test would run on for ever.
        ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (::getppid() != parent)
            ::_exit(126);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (!wait)
        return pid;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

void WritePassFile(const std::filesystem::path& file, const std::string& password) {
    WriteFile(file, "*:*:*:velk:" + password + "\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
}

}  // namespace

PgServer::PgServer() : data_(dir_ / "data") {
    // The ordinary user owns the directory; the test (root, or that user) can still use it.
    if (::geteuid() == 0 && ::chown(dir_.Path().c_str(), kNobody, kNobody) != 0) {
        error_ = "cannot give the directory to nobody";
        return;
    }
    if (Spawn({kBin + "/initdb", "-D", data_.string(), "-U", "postgres", "--auth=trust",
               "--no-sync", "-E", "UTF8", "--locale=C"},
              dir_ / "initdb.log", true) != 0) {
        error_ = "initdb failed: " + ReadFile(dir_ / "initdb.log");
        return;
    }
    // The role velk logs in with its password; everyone else is trusted (on the socket only).
    WriteFile(data_ / "pg_hba.conf",
              "local all velk scram-sha-256\n"
              "local all all trust\n");
    WritePassFile(dir_ / "pgpass", kPassword);
    WritePassFile(dir_ / "pgpass-wrong", "not-the-password");
    if (!Start())
        return;
    Sql("CREATE ROLE velk LOGIN PASSWORD '" + std::string(kPassword) + "'", "postgres");
    Sql("CREATE DATABASE velk OWNER velk", "postgres");
}

PgServer::~PgServer() {
    Stop(true);
}

bool PgServer::Start() {
    pid_ = Spawn({kBin + "/postgres", "-D", data_.string(), "-k", dir_.Path().string(), "-c",
                  "listen_addresses=", "-c", "fsync=off", "-c", "full_page_writes=off", "-c",
                  "max_connections=30", "-c", "shared_buffers=32MB"},
                 dir_ / "server.log", false);
    const std::string ping = "host=" + dir_.Path().string() + " dbname=postgres user=postgres";
    for (int i = 0; i < 300 && pid_ > 0; ++i) {
        if (PQping(ping.c_str()) == PQPING_OK)
            return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "the server did not start: " + ReadFile(dir_ / "server.log");
    Stop(true);
    return false;
}

void PgServer::Stop(bool immediate) {
    if (pid_ <= 0)
        return;
    Thaw();  // a stopped process would keep the signal waiting
    ::kill(pid_, immediate ? SIGQUIT : SIGINT);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

namespace {

// The server's process and its children, by their parent's process id in /proc.
std::vector<pid_t> ServerProcesses(pid_t postmaster) {
    std::vector<pid_t> pids = {postmaster};
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // A process that ends while its file is read fails the read (ESRCH), which the stream
        // throws: it is no longer one to signal.
        std::string stat;
        try {
            stat = ReadFile(e.path() / "stat");
        } catch (const std::ios_base::failure&) {
            continue;
        }
        // "pid (comm) state ppid ...": the command may hold blanks and parentheses.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        int ppid = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
            ppid == postmaster)
            pids.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return pids;
}

}  // namespace

void PgServer::Freeze() {
    if (pid_ <= 0)
        return;
    // The postmaster first: a backend it forks while the others are looked for would answer.
    ::kill(pid_, SIGSTOP);
    for (pid_t p : ServerProcesses(pid_))
        ::kill(p, SIGSTOP);
}

void PgServer::Thaw() {
    if (pid_ <= 0)
        return;
    for (pid_t p : ServerProcesses(pid_))
        ::kill(p, SIGCONT);
}

std::string PgServer::Connection() const {
    return "host=" + dir_.Path().string() + " dbname=velk user=velk passfile=" +
           (dir_ / "pgpass").string();
}

std::string PgServer::WrongPasswordConnection() const {
    return "host=" + dir_.Path().string() + " dbname=velk user=velk passfile=" +
           (dir_ / "pgpass-wrong").string();
}

std::string PgServer::Sql(const std::string& sql, const std::string& database) const {
    const std::string conninfo =
        "host=" + dir_.Path().string() + " dbname=" + database + " user=postgres";
    PGconn* conn = PQconnectdb(conninfo.c_str());
    std::string out;
    if (PQstatus(conn) != CONNECTION_OK) {
        ADD_FAILURE() << "cannot connect: " << PQerrorMessage(conn);
        PQfinish(conn);
        return out;
    }
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        ADD_FAILURE() << sql << ": " << PQresultErrorMessage(r);
    for (int i = 0; status == PGRES_TUPLES_OK && i < PQntuples(r); ++i)
        out += std::string(PQgetvalue(r, i, 0)) + (i + 1 < PQntuples(r) ? "\n" : "");
    PQclear(r);
    PQfinish(conn);
    return out;
}

}  // namespace velk::test
