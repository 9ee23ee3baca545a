// A helper thread for a blocking call that has no pollable counterpart.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace serial {

// Runs a blocking call over and over in a helper thread and reports each
// return. Linux offers no poll()-able wait for modem-line changes, only the
// blocking TIOCMIWAIT; this keeps that call off the event thread, which then
// learns of a change through a descriptor it polls.
//
// `call` returns 0 when something happened (then `onEvent` runs), or an errno:
// EINTR repeats the call, anything else (ENOTTY on a pseudo-terminal, EIO
// after a hang-up) ends the helper for good, as the device will not answer
// differently later.
//
// Stop() interrupts the call with a signal whose handler does nothing and
// that is installed without SA_RESTART, so the call returns EINTR.
class BlockingCallWatcher {
  public:
    BlockingCallWatcher(std::function<int()> call, std::function<void()> onEvent);
    ~BlockingCallWatcher(); // Stop()
    BlockingCallWatcher(const BlockingCallWatcher&) = delete;
    BlockingCallWatcher& operator=(const BlockingCallWatcher&) = delete;

    // Ends the helper and waits for it. Safe to call more than once.
    void Stop();
    // True once the helper has ended (stopped, or the call failed for good).
    bool Ended();

    // The signal used to interrupt the call.
    static int InterruptSignal();

  private:
    void Run();

    std::function<int()> call_;
    std::function<void()> onEvent_;
    std::mutex mutex_;
    std::condition_variable endedCv_;
    bool stop_ = false;
    bool ended_ = false;
    std::thread thread_;
};

} // namespace serial
