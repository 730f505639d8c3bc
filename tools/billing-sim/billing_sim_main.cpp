// velk-billing-sim: plays the billing server that fills VELK's hard-disk buffer. It creates the
// call-record queue "PC_pmstx.dq" in a directory (header, 20000 slots of 120 bytes) with its lock
// file, and writes generated binary billing records into it at a chosen rate, holding the lock
// while it writes. For each record it prints "delivered <n> <message text>": the call-record
// message the record stands for (numbers in base 16), computed from the record's fields, so that a
// test can tell what VELK must store.
//
// An existing queue is used when it has 120-byte records and a valid header; any other is an
// "incompatible queue" (exit code 2), as is one that becomes so while it runs. A wrong option or
// number is exit code 2 too, a directory or file it cannot use 1.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <random>
#include <string>
#include <thread>

namespace {

constexpr uint32_t kRecordSize = 120;
constexpr const char* kQueue = "PC_pmstx.dq";

struct Options {
    std::string dir;
    long count = 0;  // 0: no end
    double rate = 5;
    uint32_t seed = 1;
    uint32_t capacity = 20000;
    long holdLockMs = 0;
    bool lock = true;
};

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

std::string Hex8(unsigned v) {
    const uint8_t b = static_cast<uint8_t>(v);
    return Hex(&b, 1);
}

std::string Hex16(unsigned v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    return Hex(b, 2);
}

void Le16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Digit bytes: two dial digits a byte, padded with F.
void Digits(std::mt19937& rng, uint8_t* out, size_t bytes, int digits) {
    std::string d;
    for (int i = 0; i < digits; ++i)
        d += static_cast<char>('0' + rng() % 10);
    d.resize(bytes * 2, 'F');
    for (size_t i = 0; i < bytes; ++i) {
        const auto value = [](char c) { return c == 'F' ? 15 : c - '0'; };
        out[i] = static_cast<uint8_t>(value(d[2 * i]) << 4 | value(d[2 * i + 1]));
    }
}

// A date-time as seven pair values (century, year, month, day, hour, minute, second) and a pad.
void Stamp(int64_t seconds, uint8_t* out) {
    const int64_t day = seconds / 86400 % 20;  // the days of one month, over again
    const int64_t s = seconds % 86400;
    const uint8_t v[8] = {20,
                          26,
                          12,
                          static_cast<uint8_t>(8 + day),
                          static_cast<uint8_t>(s / 3600),
                          static_cast<uint8_t>(s / 60 % 60),
                          static_cast<uint8_t>(s % 60),
                          0};
    std::memcpy(out, v, 8);
}

// One record and the message text it stands for.
struct Generated {
    std::array<uint8_t, kRecordSize> record{};
    std::string text;
};

Generated Generate(std::mt19937& rng, uint32_t sequence, int64_t& clock) {
    Generated g;
    uint8_t* r = g.record.data();
    std::memset(r, 0xFF, kRecordSize);
    r[0] = 0;
    Le16(r + 2, sequence & 0xFFFF);
    const unsigned trunk = rng() % 3 == 0 ? 0xFFFF : 1 + rng() % 200;
    Le16(r + 8, trunk);
    r[10] = static_cast<uint8_t>(rng() % 16);
    Digits(rng, r + 11, 4, 4);
    clock += 30 + rng() % 600;
    Stamp(clock, r + 18);
    Stamp(clock + 5 + rng() % 900, r + 26);
    Digits(rng, r + 34, 12, 4 + static_cast<int>(rng() % 8));
    const unsigned callType = rng() % 14;
    r[5] = static_cast<uint8_t>(callType);
    r[4] = static_cast<uint8_t>(rng() % 2);  // charge type
    const bool category = rng() % 2 == 0;
    if (category)
        r[6] = static_cast<uint8_t>(rng() % 41);
    const bool incoming = callType == 11;
    const unsigned icTrunk = 1 + rng() % 300;
    if (incoming)
        Le16(r + 16, icTrunk);
    const bool pulses = rng() % 4 == 0;
    const uint32_t pulseCount = rng() % 5000;
    if (pulses)
        Le32(r + 48, pulseCount);

    // The message, from the fields in message order.
    std::string t = "5203" + Hex16(sequence & 0xFFFF) + Hex16(trunk) + Hex8(r[10]) +
                    Hex(r + 11, 4) + Hex(r + 18, 8) + Hex(r + 26, 8) + Hex(r + 34, 12);
    t += "010200";
    t += "0202" + Hex8(r[4]);
    t += "0302" + Hex8(callType);
    if (category)
        t += "0402" + Hex8(r[6]);
    if (incoming)
        t += "0604" + Hex16(icTrunk);
    if (pulses) {
        t += "1408" + Hex8(pulseCount >> 8) + Hex8(pulseCount) + Hex8(pulseCount >> 24) +
             Hex8(pulseCount >> 16);
    }
    t += "FFFF";
    g.text = t;
    return g;
}

// The producer's lock: the queue file's full path without '/', '\', ':', '.', '_', upper-cased,
// in the queue's directory. The path is the canonical one (dir comes from realpath), so that a
// reader that reaches the directory by another spelling or through a link locks the same file.
std::string LockPath(const std::string& dir, const std::string& queue) {
    std::string name;
    for (char c : queue) {
        if (c == '/' || c == '\\' || c == ':' || c == '.' || c == '_')
            continue;
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return dir + "/" + name + ".lock";
}

// A whole decimal number from min to max, and nothing else.
bool WholeNumber(const char* text, long min, long max, long& out) {
    if (*text == '\0' || std::isspace(static_cast<unsigned char>(*text)))
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    out = static_cast<long>(v);
    return true;
}

// A finite decimal number of at least 0.
bool Rate(const char* text, double& out) {
    if (*text == '\0' || std::isspace(static_cast<unsigned char>(*text)))
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0)
        return false;
    out = v;
    return true;
}

// A header this program can fill: 120-byte records, at least two slots, both indexes in range.
bool Compatible(uint32_t write, uint32_t read, uint32_t size, uint32_t capacity) {
    return size == kRecordSize && capacity >= 2 && write < capacity && read < capacity;
}

int Incompatible(const std::string& queue, uint32_t write, uint32_t read, uint32_t size,
                 uint32_t capacity) {
    std::fprintf(stderr,
                 "velk-billing-sim: incompatible queue %s: write index %u, read index %u, record "
                 "size %u, capacity %u (records of %u bytes and at least 2 slots are written)\n",
                 queue.c_str(), write, read, size, capacity, kRecordSize);
    return 2;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: velk-billing-sim --dir DIR [--count N] [--rate R] [--seed S]\n"
                 "                        [--capacity C] [--hold-lock MS] [--no-lock]\n"
                 "Fills DIR/%s with generated billing records: N records (0: no end) at R a\n"
                 "second (0: as fast as the queue takes them); a new queue gets C slots (2 to\n"
                 "10000000), and the lock is held MS milliseconds (up to 3600000) per record.\n",
                 kQueue);
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        const char* value = more ? argv[i + 1] : "";
        long number = 0;
        bool ok = true;
        if (a == "--dir" && more) {
            o.dir = value;
        } else if (a == "--count" && more) {
            ok = WholeNumber(value, 0, LONG_MAX, o.count);
        } else if (a == "--rate" && more) {
            ok = Rate(value, o.rate);
        } else if (a == "--seed" && more) {
            ok = WholeNumber(value, 0, UINT32_MAX, number);
            o.seed = static_cast<uint32_t>(number);
        } else if (a == "--capacity" && more) {
            // The queue file stays below 1.2 GB.
            ok = WholeNumber(value, 2, 10000000, number);
            o.capacity = static_cast<uint32_t>(number);
        } else if (a == "--hold-lock" && more) {
            ok = WholeNumber(value, 0, 3600000, o.holdLockMs);
        } else if (a == "--no-lock") {
            o.lock = false;
            continue;
        } else {
            return Usage();
        }
        ++i;
        if (!ok) {
            std::fprintf(stderr, "velk-billing-sim: %s: '%s' is not a number it takes\n", a.c_str(),
                         value);
            return Usage();
        }
    }
    if (o.dir.empty())
        return Usage();

    char* real = ::realpath(o.dir.c_str(), nullptr);
    if (real == nullptr) {
        std::fprintf(stderr, "velk-billing-sim: cannot use %s: %s\n", o.dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const std::string dir = real;
    std::free(real);
    const std::string queue = dir + "/" + kQueue;
    const int fd = ::open(queue.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "velk-billing-sim: cannot open %s: %s\n", queue.c_str(),
                     std::strerror(errno));
        return 1;
    }
    int lockFd = -1;
    if (o.lock) {
        lockFd = ::open(LockPath(dir, queue).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lockFd < 0) {
            std::fprintf(stderr, "velk-billing-sim: cannot make the lock file\n");
            return 1;
        }
    }
    const auto lock = [lockFd] {
        if (lockFd >= 0)
            ::flock(lockFd, LOCK_EX);
    };
    const auto unlock = [lockFd] {
        if (lockFd >= 0)
            ::flock(lockFd, LOCK_UN);
    };

    // A new queue: empty, with the layout the reader expects. An existing one must have it, which
    // each write checks.
    lock();
    struct stat st {};
    ::fstat(fd, &st);
    if (st.st_size < 16) {
        uint8_t header[16];
        Le32(header, 0);
        Le32(header + 4, 0);
        Le32(header + 8, kRecordSize);
        Le32(header + 12, o.capacity);
        if (::pwrite(fd, header, 16, 0) != 16 ||
            ::ftruncate(fd, static_cast<off_t>(16 + uint64_t{kRecordSize} * o.capacity)) != 0) {
            std::fprintf(stderr, "velk-billing-sim: cannot write %s\n", queue.c_str());
            return 1;
        }
    }
    unlock();
    std::printf("queue %s\n", queue.c_str());
    std::fflush(stdout);

    std::mt19937 rng(o.seed);
    int64_t clock = 0;
    const auto started = std::chrono::steady_clock::now();
    for (long n = 1; o.count == 0 || n <= o.count;) {
        if (o.rate > 0) {
            const auto due = started + std::chrono::duration<double>((n - 1) / o.rate);
            std::this_thread::sleep_until(due);
        }
        const Generated g = Generate(rng, static_cast<uint32_t>(n), clock);
        lock();
        uint8_t header[16];
        bool written = false;
        if (::pread(fd, header, 16, 0) == 16) {
            const uint32_t write = ReadLe32(header), read = ReadLe32(header + 4);
            const uint32_t size = ReadLe32(header + 8), capacity = ReadLe32(header + 12);
            // Somebody else made the queue anew under us: it is not ours to fill.
            if (!Compatible(write, read, size, capacity))
                return Incompatible(queue, write, read, size, capacity);
            const uint32_t next = (write + 1) % capacity;
            if (next != read) {
                if (::pwrite(fd, g.record.data(), kRecordSize,
                             static_cast<off_t>(16 + uint64_t{write} * kRecordSize)) ==
                    static_cast<ssize_t>(kRecordSize)) {
                    Le32(header, next);
                    written = ::pwrite(fd, header, 4, 0) == 4;
                }
            }
        }
        if (o.holdLockMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(o.holdLockMs));
        unlock();
        if (!written) {  // the queue is full: wait for the reader
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        std::printf("delivered %ld %s\n", n, g.text.c_str());
        std::fflush(stdout);
        ++n;
    }
    std::printf("done %ld\n", o.count);
    std::fflush(stdout);
    return 0;
}
