#include "platform/main_thread_dispatcher.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <string>
#include <vector>

namespace velk {
namespace {

// Records each frame and the thread it was processed on; fails if two calls overlap.
class CheckingTarget : public FrameDispatcher {
public:
    void Dispatch(const uint8_t* frame, uint32_t length) override {
        EXPECT_FALSE(busy_.exchange(true));
        threads.push_back(QThread::currentThread());
        frames.emplace_back(reinterpret_cast<const char*>(frame), length);
        busy_ = false;
    }
    std::vector<QThread*> threads;
    std::vector<std::string> frames;

private:
    std::atomic<bool> busy_{false};
};

TEST(MainThreadDispatcher, WorkerFramesRunOnTheMainThreadOneAtATime) {
    CheckingTarget target;
    MainThreadDispatcher dispatcher(target);
    constexpr int kPerWorker = 200;
    std::vector<QThread*> workers;
    for (int w = 0; w < 2; ++w) {
        workers.push_back(QThread::create([&dispatcher, w] {
            for (int i = 0; i < kPerWorker; ++i) {
                // The frame lives on the worker's stack: the call must not return before it was
                // processed.
                const std::string frame = "W" + std::to_string(w) + "#" + std::to_string(i);
                dispatcher.Dispatch(reinterpret_cast<const uint8_t*>(frame.data()),
                                    static_cast<uint32_t>(frame.size()));
            }
        }));
        workers.back()->start();
    }
    const std::string local = "main";
    const auto fromWorkers = [&target] {
        size_t n = 0;
        for (const std::string& f : target.frames)
            n += f != "main";
        return n;
    };
    QElapsedTimer t;
    t.start();
    // The main thread keeps running the event loop (and dispatching frames of its own) until
    // every worker frame went through.
    while (fromWorkers() < 2u * kPerWorker && t.elapsed() < 20000) {
        dispatcher.Dispatch(reinterpret_cast<const uint8_t*>(local.data()), 4);
        QCoreApplication::processEvents();
    }
    for (QThread* w : workers) {
        w->wait();
        delete w;
    }
    QCoreApplication::processEvents();
    for (QThread* thread : target.threads)
        EXPECT_EQ(thread, QThread::currentThread());
    EXPECT_EQ(fromWorkers(), 2u * kPerWorker);
    // Each worker's frames arrive in its own order.
    int next[2] = {0, 0};
    for (const std::string& f : target.frames) {
        if (f == "main")
            continue;
        const int w = f[1] - '0';
        EXPECT_EQ(f, "W" + std::to_string(w) + "#" + std::to_string(next[w]++));
    }
}

}  // namespace
}  // namespace velk
