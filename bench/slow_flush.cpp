// A disk whose flushes are slow, for the benchmarks: loaded with LD_PRELOAD, every fsync() and
// fdatasync() of the program (its own and SQLite's) first waits VELK_BENCH_FLUSH_US microseconds
// (4000 unless set: a busy disk; a quiet one takes 100 to 300), then flushes. The same library
// slows any build down alike, so that builds of other commits can be measured side by side:
//
//   LD_PRELOAD=build-release/bench/libvelk_slow_flush.so build-release/bin/velk_disk_buffer_bench
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace {

void Wait() {
    static const long micros = [] {
        const char* text = std::getenv("VELK_BENCH_FLUSH_US");
        return text != nullptr ? std::atol(text) : 4000L;
    }();
    timespec t{micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0) {
    }
}

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
    static const auto next = Next<int (*)(int)>("fsync");
    Wait();
    return next(fd);
}

extern "C" int fdatasync(int fd) {
    static const auto next = Next<int (*)(int)>("fdatasync");
    Wait();
    return next(fd);
}
