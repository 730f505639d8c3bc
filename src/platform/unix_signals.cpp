#include "platform/unix_signals.h"

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velk {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

int g_signalPipe[2] = {-1, -1};  // written by the signal handler, read on the event loop
volatile sig_atomic_t g_received[NSIG] = {};

void Handler(int signal) {
    if (g_received[signal] != 0) {
        // Asked twice: the orderly close is taking too long, or waits for something that will
        // not come. The program ends now, as if it had no handler.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    g_received[signal] = 1;
    const unsigned char s = static_cast<unsigned char>(signal);
    (void)!::write(g_signalPipe[1], &s, 1);
}

}  // namespace

UnixSignals::UnixSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    notifier_ = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char s = 0;
        if (::read(g_signalPipe[0], &s, 1) == 1)
            onSignal_(s);
    });
    struct sigaction action {};
    action.sa_handler = Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) {
        g_received[signal] = 0;
        struct sigaction previous {};
        ::sigaction(signal, nullptr, &previous);
        // A signal ignored when the program started stays ignored: nohup's SIGHUP, a service
        // manager's choice.
        if (previous.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal, &action, nullptr);
        installed_.push_back(signal);
    }
}

UnixSignals::~UnixSignals() {
    for (int signal : installed_)
        ::signal(signal, SIG_DFL);
    if (g_signalPipe[0] >= 0)
        ::close(g_signalPipe[0]);
    if (g_signalPipe[1] >= 0)
        ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
}

}  // namespace velk
