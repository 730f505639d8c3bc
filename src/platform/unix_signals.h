#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>

namespace velk {

// Turns SIGINT and SIGTERM into a call on the event loop, where shutting down is safe.
class UnixSignals : public QObject {
    Q_OBJECT
public:
    explicit UnixSignals(std::function<void(int)> onSignal, QObject* parent = nullptr);
    ~UnixSignals() override;

private:
    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace velk
