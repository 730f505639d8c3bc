#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <vector>

namespace velk {

// Turns SIGINT, SIGTERM and SIGHUP (log-out, shutdown, a closed terminal, a service manager's
// stop) into a call on the event loop, where shutting down in order is safe. A signal that was
// ignored when the program started (nohup) stays ignored; the same signal a second time ends the
// program at once.
class UnixSignals : public QObject {
    Q_OBJECT
public:
    explicit UnixSignals(std::function<void(int)> onSignal, QObject* parent = nullptr);
    ~UnixSignals() override;

private:
    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
    std::vector<int> installed_;
};

}  // namespace velk
