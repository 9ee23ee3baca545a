// Watching a port's line: every byte written to the device and read from it,
// with the time it moved, and the line events the port knows of. One observer
// per port (TCustomComPort::SetTraceObserver); with none set a transfer costs
// one pointer test.
//
// Which thread calls the observer:
// - traffic, on the thread that reads or writes: the owner's thread for its own
//   reads and writes, the event thread for reads done in an smNone handler;
// - open, close, line settings, DTR, break set, purges and device failures on
//   the thread that asked for them;
// - modem-line changes, received breaks and line errors on the thread that runs
//   the event's processing step (the main thread with smThreadSync and
//   smWindowSync, the event thread with smNone), or on the thread that asked
//   for the line errors.
// So an observer of a port used from two threads must be thread-safe, and it
// must return quickly: it runs inside the exchange. It must not call the port.
//
// The observer is not owned. Set it before the port opens or while nothing
// reads or writes, and keep it alive until it is replaced or the port is gone:
// a call in flight on another thread is not waited for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace serial {

enum class TraceDirection : uint8_t {
    Written, // handed to the device, as far as it took them
    Read,    // one chunk as the device gave it
};

enum class TraceLineEvent : uint8_t {
    Opened,        // detail: the device path or network name
    Closed,        // detail: the same
    LineSettings,  // value: the bit rate; detail: e.g. "8N1"
    Dtr,           // value: 1 set, 0 cleared
    Break,         // value: 1 set, 0 cleared
    BreakReceived, // the peer sent a break
    ModemLines,    // value: the MS_*_ON bits as they are now
    LineErrors,    // value: the CE_* bits the driver reported
    Purged,        // value: the PURGE_* flags
    WriteTimedOut, // value: the bytes dropped from the output queue
    Failure,       // value: the error number; detail: the device's word on it
};

// "opened", "line-settings", ... (stable names for scripts).
const char* TraceLineEventName(TraceLineEvent e);

class TraceObserver {
  public:
    virtual ~TraceObserver() = default;
    // `micros` comes from TraceMicros().
    virtual void OnTraffic(uint64_t micros, TraceDirection direction, const uint8_t* bytes,
                           size_t count) = 0;
    virtual void OnLineEvent(uint64_t micros, TraceLineEvent event, uint32_t value,
                             std::string_view detail) = 0;
};

// Microseconds on the monotonic clock (never goes back, unrelated to the date).
uint64_t TraceMicros();

// False only in a copy of the layer built without the hook (QUORRIN_NO_TRACE_HOOK),
// which measures what the hook costs when no observer is set.
#ifdef QUORRIN_NO_TRACE_HOOK
inline constexpr bool kTraceHook = false;
#else
inline constexpr bool kTraceHook = true;
#endif

} // namespace serial
