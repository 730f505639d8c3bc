// velk-web: the web console of a VELK base directory. It reads the record index VELK.db (read
// only), the traffic files and the collector's published state, and serves them behind a login:
// status, the newest calls, searches, reports with charts, the system load, a JSON API and
// /metrics. velk-web --add-user NAME adds an account (or gives it a new password).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>

#include "core/foundation/base_directory.h"
#include "core/foundation/command_line.h"
#include "core/foundation/ini_file.h"
#include "core/foundation/settings_store.h"
#include "core/web/web_console.h"
#include "core/web/web_settings.h"
#include "platform/crypt_password_hasher.h"
#include "platform/mhd_web_server.h"
#include "platform/web_archive.h"
#include "platform/web_status.h"

namespace {

const velk::ProgramHelp kHelp = {
    "velk-web",
    "[--dir DIR] [--listen ADDRESS:PORT] | [--dir DIR] --add-user NAME",
    "Serves the web console of a VELK base directory: the collector's status, the newest calls,\n"
    "searches and reports of the record index VELK.db (read only), the system load, a JSON API\n"
    "under /api/ and /metrics, behind a login with the accounts of its own accounts file. With\n"
    "--add-user it adds an account, or gives an existing one a new password, read from the\n"
    "terminal or from standard input, and ends.",
    "  --listen ADDRESS:PORT  where to listen (127.0.0.1:8080 unless [Web] Listen says\n"
    "                   otherwise); plain HTTP only on loopback unless [Web] allows it\n"
    "  --add-user NAME  adds the account NAME to the accounts file\n",
    false};

std::mutex logMutex;

void Log(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    std::fprintf(stderr, "velk-web: %s\n", line.c_str());
    std::fflush(stderr);
}

std::string ReadFile(const std::filesystem::path& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return ok ? std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())
              : std::string();
}

// A password from the terminal without echo (asked twice), or the first line of standard input.
bool ReadPassword(std::string& password, std::string& why) {
    const int tty = ::isatty(STDIN_FILENO);
    termios old{};
    if (tty == 1) {
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string again;
    const bool read = static_cast<bool>(std::getline(std::cin, password));
    if (tty == 1) {
        std::fputs("\nAgain: ", stderr);
        std::fflush(stderr);
        std::getline(std::cin, again);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::fputs("\n", stderr);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (!read || password.empty()) {
        why = "no password given";
        return false;
    }
    if (tty == 1 && again != password) {
        why = "the two passwords differ";
        return false;
    }
    if (password.size() > 1024 || password.find('\0') != std::string::npos) {
        why = "a password has at most 1024 characters";
        return false;
    }
    return true;
}

int AddUser(const std::filesystem::path& accounts, const std::string& name) {
    if (!velk::AccountNameValid(name)) {
        std::fprintf(stderr, "velk-web: '%s' cannot be an account's name (1 to 64 letters, digits, "
                             "'.', '_', '-')\n", name.c_str());
        return 2;
    }
    bool exists = false;
    const std::string old = ReadFile(accounts, exists);
    std::error_code error;
    if (!exists && std::filesystem::exists(accounts, error)) {
        std::fprintf(stderr, "velk-web: %s cannot be read\n", accounts.c_str());
        return 1;
    }
    std::string password, why;
    if (!ReadPassword(password, why)) {
        std::fprintf(stderr, "velk-web: %s\n", why.c_str());
        return 1;
    }
    velk::CryptPasswordHasher hasher;
    const std::string hash = hasher.Hash(password);
    password.assign(password.size(), '\0');
    if (hash.empty()) {
        std::fprintf(stderr, "velk-web: the password cannot be hashed\n");
        return 1;
    }
    // Written beside the old file and put in its place, readable by its owner and group only.
    const std::string text = velk::AccountsWith(old, name, hash);
    const std::filesystem::path temporary = accounts.string() + ".new";
    struct stat before{};
    const bool hadFile = ::stat(accounts.c_str(), &before) == 0;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) {
        struct stat directory{};
        if (hadFile) {
            ok = ok && ::fchmod(fd, before.st_mode & 0640) == 0;
            [[maybe_unused]] const int owned = ::fchown(fd, before.st_uid, before.st_gid);
        } else if (::stat(accounts.parent_path().c_str(), &directory) == 0) {
            // A new file takes its directory's group (velk for the service's base directory),
            // so that the console's own user, a member, can read it.
            [[maybe_unused]] const int owned = ::fchown(fd, static_cast<uid_t>(-1), directory.st_gid);
        }
        ok = ::fsync(fd) == 0 && ok;
        ok = ::close(fd) == 0 && ok;
    }
    if (!ok || ::rename(temporary.c_str(), accounts.c_str()) != 0) {
        std::fprintf(stderr, "velk-web: %s cannot be written\n", accounts.c_str());
        ::unlink(temporary.c_str());
        return 1;
    }
    std::fprintf(stderr, "velk-web: account %s %s in %s\n", name.c_str(),
                 exists && old.find(name + ":") != std::string::npos ? "changed" : "added",
                 accounts.c_str());
    return 0;
}

class MonotonicSeconds {
public:
    int64_t operator()() const {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

}  // namespace

int main(int argc, char* argv[]) {
    const velk::CommandLine line = velk::ParseCommandLine(argc, argv);
    if (const auto code = velk::AnswerCommonOptions(line, kHelp, std::cout, std::cerr))
        return *code;
    const auto usage = [](const std::string& what) {
        return velk::UsageError(kHelp, what, std::cerr);
    };
    std::string listen, addUser;
    bool adding = false;
    const std::vector<std::string>& args = line.arguments;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a != "--listen" && a != "--add-user")
            return usage("unknown argument '" + a + "'");
        if (i + 1 >= args.size() || args[i + 1].empty())
            return usage(a + " needs a value");
        if (a == "--listen") {
            listen = args[++i];
        } else {
            addUser = args[++i];
            adding = true;
        }
    }
    if (adding && !listen.empty())
        return usage("--add-user and --listen do not go together");

    std::filesystem::path base;
    std::string why;
    if (!velk::ChosenBaseDirectory(line.dir, std::getenv("HOME"), base, why, false)) {
        std::fprintf(stderr, "velk-web: %s\n", why.c_str());
        return 1;
    }
    velk::SettingsStore store(base);
    velk::AppSettings settings;
    store.ReadIniFile(settings);
    velk::IniDocument ini;
    ini.Load(store.IniPath());
    velk::WebSettings web;
    if (!velk::ReadWebSettings(ini, base, web, why)) {
        std::fprintf(stderr, "velk-web: %s\n", why.c_str());
        return 2;
    }
    if (adding)
        return AddUser(web.accounts, addUser);
    if (!listen.empty())
        web.listen = listen;
    std::string host;
    uint16_t port = 0;
    if (!velk::ReadListenAddress(web.listen, host, port, why))
        return usage(why);
    std::string certificate, key;
    if (!web.certificate.empty()) {
        bool readC = false, readK = false;
        certificate = ReadFile(web.certificate, readC);
        key = ReadFile(web.key, readK);
        if (!readC || !readK) {
            std::fprintf(stderr, "velk-web: the certificate %s or key %s cannot be read\n",
                         web.certificate.c_str(), web.key.c_str());
            return 1;
        }
    }
    const std::string refusal = velk::ListenRefusal(host, !certificate.empty(),
                                                    web.plainHttpOffLoopback);
    if (!refusal.empty()) {
        std::fprintf(stderr, "velk-web: %s\n", refusal.c_str());
        return 2;
    }

    // The server's threads take this mask: the signals that end it wait for the main thread.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    signal(SIGPIPE, SIG_IGN);

    velk::SystemClock clock;
    const MonotonicSeconds monotonic;
    velk::CryptPasswordHasher hasher;
    velk::SessionStore sessions(monotonic, velk::KernelRandomBytes, web.sessionMinutes * 60,
                                12 * 3600);
    velk::LoginThrottle throttle(monotonic);
    velk::IndexWebArchive archive(base / "VELK.db", settings.Database_Connection);
    velk::StateFileStatus status(base, clock);
    velk::WebConsoleOptions options;
    options.tls = !certificate.empty();
    options.metricsFrom = web.metricsFrom;
    options.searchSeconds = web.searchSeconds;
    options.trafficDirectory = base / "Trf";
    const std::filesystem::path accounts = web.accounts;
    velk::WebConsole console(
        settings, archive, status, hasher,
        [accounts] {
            bool ok = false;
            return ReadFile(accounts, ok);
        },
        sessions, throttle, clock, monotonic, Log, options);
    velk::MhdWebServer server([&console](const velk::WebRequest& r) { return console.Handle(r); },
                              velk::WebServerLimits{});
    if (!server.Start(host, port, certificate, key, why)) {
        std::fprintf(stderr, "velk-web: %s\n", why.c_str());
        return 1;
    }
    certificate.assign(certificate.size(), '\0');
    Log(std::string("serving ") + base.c_str() + " on " + (options.tls ? "https" : "http") +
        "://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
        std::to_string(server.Port()));
    std::error_code error;
    if (!std::filesystem::exists(accounts, error))
        Log("no accounts yet: add one with velk-web --add-user NAME");
    int signal = 0;
    sigwait(&ending, &signal);
    server.Stop();
    Log("stopped");
    return 0;
}
