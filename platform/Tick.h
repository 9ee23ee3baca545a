// The millisecond tick counter and the deadlines built on it.
//
// GetTickCount() is a 32-bit counter of milliseconds that wraps after about
// 49.7 days. Every deadline is compared by signed difference, so waits stay
// right across the wrap. Tests move the counter close to the wrap with
// SetTickCountStart().
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since the counter's origin, wrapping at 2^32.
uint32_t GetTickCount();

// Makes GetTickCount() return `value` now and count on from there (tests use
// this to start just before the wrap).
void SetTickCountStart(uint32_t value);

// Sleeps for `ms` milliseconds; 0 gives up the rest of the time slice.
void Sleep(uint32_t ms);

// A point on the tick counter.
struct Deadline {
    uint32_t at;

    static Deadline After(uint32_t ms) { return Deadline{GetTickCount() + ms}; }
    // True once the counter has reached the deadline.
    bool Reached() const { return static_cast<int32_t>(GetTickCount() - at) >= 0; }
    // Milliseconds still to go, 0 when reached.
    uint32_t Remaining() const {
        int32_t left = static_cast<int32_t>(at - GetTickCount());
        return left > 0 ? static_cast<uint32_t>(left) : 0;
    }
};

// Milliseconds since `start` (a GetTickCount() value), right across the wrap.
inline uint32_t ElapsedSince(uint32_t start) { return GetTickCount() - start; }

// Monotonic microseconds, for measurements that need more than milliseconds.
uint64_t MicroNow();

} // namespace platform
