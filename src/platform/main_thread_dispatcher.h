#pragma once

#include <QObject>

#include "core/link/link_protocol.h"

namespace velk {

// Hands frames to the record pipeline on the thread this object lives on (the main thread).
// A call from a worker thread blocks until the pipeline has processed the frame, so the frame's
// storage stays valid and the pipeline never runs for two frames at once.
class MainThreadDispatcher : public QObject, public FrameDispatcher {
    Q_OBJECT
public:
    explicit MainThreadDispatcher(FrameDispatcher& target, QObject* parent = nullptr)
        : QObject(parent), target_(target) {}

    void Dispatch(const uint8_t* frame, uint32_t length) override;

private:
    FrameDispatcher& target_;
};

}  // namespace velk
