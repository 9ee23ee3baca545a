// A stop signal one thread sets and another waits for alongside its device:
// an eventfd on Linux (readable once set, for poll), a manual-reset event on
// Windows (for WaitForMultipleObjects).
#pragma once

#include <cstdint>

namespace platform {

#ifdef _WIN32
using StopHandle = void*; // HANDLE of an event
constexpr StopHandle kNoStop = nullptr;
#else
using StopHandle = int; // a descriptor
constexpr StopHandle kNoStop = -1;
#endif

class StopSignal {
  public:
    // Throws std::system_error when the platform has no object to spare.
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Sets the signal; it stays set until Clear. Safe from any thread.
    void Signal();
    // Takes the signal back (a waiter then blocks again).
    void Clear();
    bool IsSet() const;
    StopHandle Handle() const { return handle_; }

  private:
    StopHandle handle_;
};

// Blocks until one of `count` handles is set or `timeoutMs` passed (-1: no
// limit). Returns the index of a set handle, -1 on time-out, -2 on failure.
int WaitForAny(const StopHandle* handles, int count, int timeoutMs);

} // namespace platform
