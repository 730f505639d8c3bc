#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

namespace velk::test {

// Runs the event loop for ms, so that queued calls and child-process signals are taken.
inline void Pause(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

// Waits up to ms for done() to hold, looking every 50 ms.
inline bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        Pause(50);
    }
    return true;
}

}  // namespace velk::test
