#include "platform/Tick.h"

#include <atomic>
#include <ctime>
#include <sched.h>

namespace platform {
namespace {

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// GetTickCount() = monotonic ms + offset (mod 2^32).
std::atomic<uint32_t> g_offset{0};

} // namespace

uint32_t GetTickCount() {
    return static_cast<uint32_t>(MonotonicMs()) + g_offset.load(std::memory_order_relaxed);
}

void SetTickCountStart(uint32_t value) {
    g_offset.store(value - static_cast<uint32_t>(MonotonicMs()), std::memory_order_relaxed);
}

void Sleep(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    // At least `ms`: a sleep that wakes early (Windows' timer, wine) sleeps
    // the rest, so a pause never comes out shorter than asked.
    const uint64_t until = MicroNow() + static_cast<uint64_t>(ms) * 1000u;
    for (uint64_t now = MicroNow(); now < until; now = MicroNow()) {
        const uint64_t left = until - now;
        timespec ts{static_cast<time_t>(left / 1000000u), static_cast<long>(left % 1000000u) * 1000L};
        nanosleep(&ts, nullptr);
    }
}

uint64_t MicroNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace platform
