// The owner's message loop for the event-thread tests.
#pragma once

#include "platform/Host.h"
#include "platform/Tick.h"

#include <functional>

namespace testsupport {

// The owner's message loop: serves the main-thread queue until `done` holds
// or `ms` passed. Returns whether `done` held.
inline bool ServeUntil(const std::function<bool()>& done, uint32_t ms = 5000) {
    auto deadline = platform::Deadline::After(ms);
    auto& queue = platform::MainQueue();
    for (;;) {
        queue.Serve();
        if (done()) return true;
        if (deadline.Reached()) return false;
        queue.WaitForWork(20);
    }
}

// Serves the queue for `ms` milliseconds.
inline void ServeFor(uint32_t ms) {
    ServeUntil([] { return false; }, ms);
}

// Waits, without serving, until a delivery is queued for the owner.
inline bool WaitQueued(uint32_t ms = 5000) {
    auto deadline = platform::Deadline::After(ms);
    auto& queue = platform::MainQueue();
    while (!queue.HasWork()) {
        if (deadline.Reached()) return false;
        queue.WaitForWork(deadline.Remaining());
    }
    return true;
}

} // namespace testsupport
