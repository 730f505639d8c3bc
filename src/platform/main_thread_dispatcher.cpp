#include "platform/main_thread_dispatcher.h"

#include <QMetaObject>
#include <QThread>

namespace velk {

void MainThreadDispatcher::Dispatch(const uint8_t* frame, uint32_t length) {
    if (QThread::currentThread() == thread()) {
        target_.Dispatch(frame, length);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, frame, length] { target_.Dispatch(frame, length); },
        Qt::BlockingQueuedConnection);
}

}  // namespace velk
