// The event thread of an open port: waits for line events on the device and
// hands them to the port's owner by the port's SyncMethod.
#pragma once

#include "serial/CPort.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>

namespace serial {

// The platform mask of a set of events, and back (unknown bits ignored).
uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);

class TComThread {
public:
    // Hands the mask of the port's Events to the device and starts the thread.
    explicit TComThread(TCustomComPort& port);
    // SignalStop, then waits for the thread to end while the owner's thread
    // keeps serving queued deliveries; discards an exception that ended it.
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void SignalStop();
    bool Finished() const { return finished_.load(); }

private:
    void Body();
    void DeliverEvents();
    void ProcessEvents();
    void PostEventsToWindow();

    TCustomComPort& port_;
    int stopFd_ = -1; // readable once the stop is signalled
    TComEvents events_;
    std::exception_ptr error_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

} // namespace serial
