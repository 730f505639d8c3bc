// The link's rate while browsers watch: velk-pbx-sim on 127.0.0.1 delivers as fast as it is
// polled, the collector (wired as velk-collector wires it: files, record index, published state)
// stores every record, and velk-web serves the same base directory over loopback to 50 clients
// that each, like the Status and Calls pages, ask /api/status and /api/newest once a second with
// a session of their own. velk-web runs at the niceness its unit gives it (Nice=10). The figure is the records per second with the clients against the
// records per second without them, one run after the other; the aim is at least 0.95.
//
// Run it in a network namespace of its own, where the ports are free:
//   unshare -n sh -c 'ip link set lo up && build-release/bin/velk_web_polling_bench'
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "core/app/collector.h"
#include "core/app/state_publisher.h"
#include "core/foundation/base_directory.h"
#include "platform/collector_host.h"
#include "platform/posix_file_store.h"

namespace velk {
namespace {

constexpr int kRecords = 100;
constexpr int kDelayMs = 50;
constexpr int kClients = 50;
constexpr uint16_t kWebPort = 18080;

// Times the records as they are stored and keeps the published state up to date.
struct TimingView : CollectorView {
    void Notify(NotifyCode, int) override {}
    void ShowRawMessage(const std::string&) override {}
    void ShowRecordDetail(const LastCallsRing::Record&) override {}
    void RefreshLastCalls() override {}
    void StatisticsRowChanged(int) override {}
    void SetTitle(const std::string&) override {}
    void SetConnectedText(const std::string&) override {}
    void DurationReset() override {}
    void SetMenuState(LinkMenuState) override {}
    void CallRecordStored(const LastCallsRing::Record&) override {
        if (publisher != nullptr)
            publisher->CallStored();
        if (++stored == 1)
            first.start();
        last = first.nsecsElapsed();
    }
    StatePublisher* publisher = nullptr;
    int stored = 0;
    QElapsedTimer first;
    qint64 last = 0;
};

// One HTTP/1.1 exchange on a connection of its own: the whole answer, empty when none came.
std::string Exchange(const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kWebPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char chunk[16384];
        for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
            answer.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
}

bool Answered200(const std::string& answer) {
    return answer.rfind("HTTP/1.1 200", 0) == 0 || answer.rfind("HTTP/1.0 200", 0) == 0;
}

std::string Get(const std::string& path, const std::string& session) {
    return Exchange("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: velk_session=" +
                    session + "\r\nConnection: close\r\n\r\n");
}

// A browser: logs in, then asks the status and the newest calls every second until told to stop.
struct Client {
    std::string session;
    int64_t after = 0;
    uint64_t answered = 0;
    uint64_t failed = 0;

    bool LogIn() {
        const std::string form = "user=bench&password=bench-password";
        const std::string answer =
            Exchange("POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                     "application/x-www-form-urlencoded\r\nContent-Length: " +
                     std::to_string(form.size()) + "\r\nConnection: close\r\n\r\n" + form);
        const size_t at = answer.find("velk_session=");
        if (at == std::string::npos)
            return false;
        const size_t from = at + 13;
        session = answer.substr(from, answer.find_first_of(";\r", from) - from);
        return !session.empty();
    }
    void Poll() {
        for (const std::string& path :
             {std::string("/api/status"), "/api/newest?after=" + std::to_string(after)}) {
            const std::string answer = Get(path, session);
            if (!Answered200(answer)) {
                ++failed;
                continue;
            }
            ++answered;
            const size_t last = answer.find("\"last_id\":");
            if (last != std::string::npos)
                after = std::atoll(answer.c_str() + last + 10 +
                                   (answer[last + 10] == ' ' ? 1 : 0));
        }
    }
};

// Stores kRecords records from the simulator; the records per second between the first and the
// last, 0 when not every record came.
double LinkRate(const std::filesystem::path& base) {
    QProcess sim;
    sim.start(QStringLiteral(VELK_PBX_SIM), {"--port", "6013", "--count", QString::number(kRecords),
                                             "--rate", "0", "--traffic-every", "0"});
    if (!sim.waitForReadyRead(10000))
        return 0;
    AppSettings settings;
    settings.IP_Used = 1;
    settings.Server_Port_index = 0;  // 6013
    settings.RequestDelayAfterNormalData = kDelayMs;
    settings.RawSave = 1;
    settings.RawSaveDaily = 1;
    settings.SaveToFile = 1;
    bench::StoreEveryColumn(settings);
    bench::QuietPrompt prompt;
    LastCallsRing ring;
    TimingView view;
    SystemClock clock;
    PosixFileStore stateFiles;
    StatePublisher publisher(clock, stateFiles, base);
    view.publisher = &publisher;
    {
        CollectorHost host(settings, base, prompt, ring);
        Collector& collector = host.Get();
        collector.SetView(&view);
        QTimer stateLook;
        QObject::connect(&stateLook, &QTimer::timeout, [&] {
            publisher.Database(collector.Database());
            publisher.Measured(-1, static_cast<int64_t>(collector.Indexer().BytesBehind()),
                               static_cast<int64_t>(collector.Indexer().Waiting()));
            publisher.Publish();
        });
        stateLook.start(1000);
        collector.Start();
        publisher.Link("connected", true, "127.0.0.1:6013");
        collector.Connection().Connect();
        QElapsedTimer limit;
        limit.start();
        while (view.stored < kRecords && limit.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        collector.Protocol().Link_Ok = 0;
        collector.Connection().Disconnect();
    }
    sim.kill();
    sim.waitForFinished();
    if (view.stored < kRecords)
        return 0;
    return (kRecords - 1) / (static_cast<double>(view.last) / 1e9);
}

void BM_LinkRateWhileBrowsersPoll(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir dir;
        const std::filesystem::path base = dir.path().toStdString();
        MakeSaveDir(OutputDirectories::Under(base));
        QProcess add;
        add.start(QStringLiteral(VELK_WEB), {"--dir", dir.path(), "--add-user", "bench"});
        add.write("bench-password\n");
        add.closeWriteChannel();
        QProcess web;
        web.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!add.waitForFinished(30000) || add.exitCode() != 0) {
            state.SkipWithError("velk-web --add-user failed");
            break;
        }
        web.start(QStringLiteral("nice"),
                  {"-n", "10", QStringLiteral(VELK_WEB), "--dir", dir.path(), "--listen",
                   "127.0.0.1:" + QString::number(kWebPort)});
        if (!web.waitForStarted(10000)) {
            state.SkipWithError("velk-web did not start");
            break;
        }

        const double alone = LinkRate(base);

        std::vector<Client> clients(kClients);
        bool loggedIn = false;
        for (int attempt = 0; attempt < 50 && !loggedIn; ++attempt) {
            loggedIn = clients[0].LogIn();
            if (!loggedIn)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (Client& c : clients)
            loggedIn = loggedIn && (!c.session.empty() || c.LogIn());
        if (!loggedIn) {
            state.SkipWithError("the clients could not log in");
            break;
        }
        std::atomic<bool> stop{false};
        std::vector<std::thread> browsers;
        for (int i = 0; i < kClients; ++i) {
            browsers.emplace_back([&, i] {
                // Spread over the second, as browsers opened at different times are.
                std::this_thread::sleep_for(std::chrono::milliseconds(1000 * i / kClients));
                while (!stop) {
                    const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                    clients[i].Poll();
                    while (!stop && std::chrono::steady_clock::now() < next)
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
        }
        const double watched = LinkRate(base);
        stop = true;
        for (std::thread& t : browsers)
            t.join();
        web.terminate();
        web.waitForFinished(10000);
        if (alone <= 0 || watched <= 0) {
            state.SkipWithError("not every record was stored");
            break;
        }
        uint64_t answered = 0, failed = 0;
        for (const Client& c : clients) {
            answered += c.answered;
            failed += c.failed;
        }
        state.SetIterationTime(kRecords / watched);
        state.counters["records_per_s_alone"] = alone;
        state.counters["records_per_s_polled"] = watched;
        state.counters["polled_per_alone"] = watched / alone;
        state.counters["answers"] = static_cast<double>(answered);
        state.counters["answers_failed"] = static_cast<double>(failed);
        state.counters["answers_per_s"] = static_cast<double>(answered) * watched / kRecords;
    }
}
BENCHMARK(BM_LinkRateWhileBrowsersPoll)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace velk

VELK_QT_BENCHMARK_MAIN()
