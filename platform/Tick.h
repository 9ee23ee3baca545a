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

// Deadlines of the command-station links. Each was set to "now + setting",
// so one that lies further ahead than `bound` (the setting) cannot have come
// from that setting: it was never set, set a counter turn ago, or set under a
// larger setting since lowered. It counts as passed, so no wait ever lasts
// longer than the setting that produced it.
//
// Time still to wait for `at`: 0 once the clock has reached it, and 0 for a
// deadline further ahead than `bound`. The 64-bit form is for the monotonic
// microsecond clock.
inline uint32_t BoundedRemaining(uint32_t now, uint32_t at, uint32_t bound) {
    int32_t left = static_cast<int32_t>(at - now);
    return left <= 0 || static_cast<uint32_t>(left) > bound ? 0 : static_cast<uint32_t>(left);
}
inline uint64_t BoundedRemaining(uint64_t now, uint64_t at, uint64_t bound) {
    int64_t left = static_cast<int64_t>(at - now);
    return left <= 0 || static_cast<uint64_t>(left) > bound ? 0 : static_cast<uint64_t>(left);
}
// The same deadline judged strictly: passed once the clock is beyond `at`
// (not while it stands on it), or when `at` lies further ahead than `bound`.
inline bool BoundedPassed(uint32_t now, uint32_t at, uint32_t bound) {
    return static_cast<int32_t>(now - at) > 0 || at - now > bound;
}

// Milliseconds since `start` (a GetTickCount() value), right across the wrap.
inline uint32_t ElapsedSince(uint32_t start) { return GetTickCount() - start; }

// Monotonic microseconds, for measurements that need more than milliseconds.
uint64_t MicroNow();

} // namespace platform
