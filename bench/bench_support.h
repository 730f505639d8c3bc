#pragma once

// What the benchmarks share: a prompt nobody answers, timers that never fire, the settings that
// store every decoded column, and the main() of a benchmark that needs Qt's event loop.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"
#include "core/link/timer_host.h"

namespace velk::bench {

struct QuietPrompt : OperatorPrompt {
    void Message(const std::string&, const std::string&, PromptIcon) override {}
    bool Confirm(const std::string&, const std::string&, PromptIcon) override { return false; }
};

struct NoTimers : TimerHost {
    void StartTimer(int, int) override {}
    void KillTimer(int) override {}
};

// All 50 fields written to the decoded file, in field order.
inline void StoreEveryColumn(AppSettings& settings) {
    for (size_t k = 0; k < 50; ++k) {
        settings.f[k] = 1;
        settings.SaveInd[k] = static_cast<int32_t>(k);
    }
}

}  // namespace velk::bench

// main() for a benchmark whose code runs Qt objects (sockets, timers, threads).
#define VELK_QT_BENCHMARK_MAIN()                         \
    int main(int argc, char** argv) {                    \
        QCoreApplication app(argc, argv);                \
        benchmark::Initialize(&argc, argv);              \
        benchmark::RunSpecifiedBenchmarks();             \
        benchmark::Shutdown();                           \
        return 0;                                        \
    }
