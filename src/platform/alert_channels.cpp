#include "platform/alert_channels.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

extern char** environ;

namespace velk {
namespace {

constexpr size_t kMostReason = 200;

std::string Bounded(std::string text) {
    if (text.size() > kMostReason)
        text = text.substr(0, kMostReason) + "...";
    return AlarmLine(text, kMostReason + 3);
}

// The program's environment with the given variables set (replacing those of the same name).
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        vars[entry.substr(0, entry.find('='))] = entry;
    }
    for (const std::string& entry : extra)
        vars[entry.substr(0, entry.find('='))] = entry;
    std::vector<std::string> all;
    for (auto& [name, entry] : vars)
        all.push_back(std::move(entry));
    return all;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts)
        p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

std::string RunForAlert(const std::string& program, const std::vector<std::string>& arguments,
                        const std::vector<std::string>& environment, const std::string& input,
                        int timeoutSeconds, const std::atomic<bool>& stop) {
    if (program.empty())
        return "no program given";
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return std::string("cannot make a pipe: ") + std::strerror(errno);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, in[0], 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A group of its own, so that the time-out ends whatever it started too; the signals the
    // collector handles are the default ones there.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&defaults, s);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = EnvironmentWith(environment);
    auto argp = Pointers(argv);
    auto envpp = Pointers(envp);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &files, &attr, argp.data(),
                                      envpp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    if (spawned != 0) {
        ::close(in[1]);
        return Bounded("cannot run " + program + ": " + std::strerror(spawned));
    }
    // The input is small (one message); a program that does not read it all is not waited for.
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : 1);
    std::string why;
    int status = 0;
    bool ended = false;
    while (true) {
        if (written < input.size() && in[1] >= 0) {
            // SIGPIPE is blocked on this thread: a reader gone only fails the write.
            const ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                written = input.size();
        }
        if (written >= input.size() && in[1] >= 0) {
            ::close(in[1]);
            in[1] = -1;
        }
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            ended = true;
            break;
        }
        if (stop.load()) {
            why = "stopped";
            break;
        }
        if (std::chrono::steady_clock::now() - start >= limit) {
            why = "no answer within " + std::to_string(limit.count()) + " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (in[1] >= 0)
        ::close(in[1]);
    if (!ended) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return Bounded(program + ": " + why);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
    if (WIFEXITED(status))
        return Bounded(program + " ended with exit status " + std::to_string(WEXITSTATUS(status)));
    if (WIFSIGNALED(status))
        return Bounded(program + " was killed by signal " + std::to_string(WTERMSIG(status)));
    return Bounded(program + " failed");
}

std::string CommandChannel::Deliver(const Alert& alert) {
    return RunForAlert(program_, AlertArguments(alert), AlertEnvironment(alert, origin_), {},
                       timeout_, stop_);
}

std::string MailChannel::Deliver(const Alert& alert) {
    return RunForAlert(sendmail_, {"-t", "-oi"}, {}, AlertMail(alert, origin_, to_, from_),
                       timeout_, stop_);
}

namespace {

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

int Progress(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

}  // namespace

WebhookChannel::WebhookChannel(std::string url, AlertOrigin origin, int timeoutSeconds,
                               const std::atomic<bool>& stop)
    : url_(std::move(url)), origin_(std::move(origin)), timeout_(timeoutSeconds), stop_(stop) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string WebhookChannel::Deliver(const Alert& alert) {
    if (url_.rfind("http://", 0) != 0 && url_.rfind("https://", 0) != 0)
        return "the webhook is no http:// or https:// URL";
    CURL* curl = curl_easy_init();
    if (curl == nullptr)
        return "cannot start a transfer";
    const std::string body = AlertJson(alert, origin_);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "VELK");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout_ > 0 ? timeout_ : 1));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(&stop_));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    long systemError = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &systemError);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    std::string why;
    if (code == CURLE_OPERATION_TIMEDOUT)
        why = "no answer within " + std::to_string(timeout_ > 0 ? timeout_ : 1) + " s";
    else if (code == CURLE_ABORTED_BY_CALLBACK)
        why = "stopped";
    else if (code != CURLE_OK)
        why = error[0] != '\0' ? error : curl_easy_strerror(code);
    else if (status < 200 || status > 299)
        why = "the server answered HTTP " + std::to_string(status);
    // The system's reason, which the library's text may leave out (refused, unreachable).
    if (code != CURLE_OK && code != CURLE_OPERATION_TIMEDOUT && systemError != 0) {
        const std::string reason = std::strerror(static_cast<int>(systemError));
        if (why.find(reason) == std::string::npos)
            why += " (" + reason + ")";
    }
    if (why.empty())
        return {};
    // A library message that repeated the URL would repeat its token.
    for (size_t at; (at = why.find(url_)) != std::string::npos;)
        why.replace(at, url_.size(), "the webhook's URL");
    return Bounded(why);
}

}  // namespace velk
