// The event thread of an open port: waits for line events on the device and
// hands them to the port's owner by the port's SyncMethod.
#pragma once

#include "serial/CPort.h"

#include <cstdint>
#include <memory>
#include <thread>

namespace serial {

// The platform mask of a set of events, and back (unknown bits ignored).
uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);

// The order in which one wake-up's events are processed.
inline constexpr TComEvent kEventProcessingOrder[] = {
    evError, evRxChar, evTxEmpty, evBreak, evRing, evCTS, evDSR, evRxFlag, evRLSD, evRx80Full};

// smWindowSync hands each event to the owner as a message: the event thread
// posts a call of PortWindowProc with PortEventMessage and the event's mask
// bit to the owner's main-thread queue (platform/Host.h), which stands for a
// window message queue here; no window exists. The message number only tells
// this message from others a host might route through the same procedure.
inline constexpr uint32_t PortEventMessage = 0x0400 + 1;

// Handles one such message. For PortEventMessage it runs the processing step
// of the event named by `wParam`, but only while the port is open and not
// closing; an exception from the step goes to the application's exception
// reporter. Other messages and unknown bits do nothing. Always returns 0.
long PortWindowProc(TCustomComPort& port, uint32_t message, uint32_t wParam);

// True on the event thread of `port`.
bool IsEventThreadOf(const TCustomComPort& port);

class TComThread {
  public:
    // Hands the mask of the port's Events to the device and starts the thread.
    // A refused mask, like a thread that cannot start, raises EComPort 1.
    explicit TComThread(TCustomComPort& port);
    // SignalStop, then waits for the thread to end while the owner's thread
    // keeps serving queued deliveries; discards an exception that ended it.
    // Run from inside one of the thread's own deliveries (a handler closing
    // the port), it does the thread's clean-up itself and does not wait; the
    // rest of that wake-up is dropped.
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    // Sets the stop signal; the thread ends at its next look (a delivery in
    // progress is finished first).
    void SignalStop();
    // True once the body has ended: stopped, failed wait, or an exception.
    bool Finished() const;

    // What the thread shares with deliveries still in flight. It outlives
    // this object when a handler closes the port from inside a delivery.
    struct State;

  private:
    static void Body(std::shared_ptr<State> state);
    static void DeliverEvents(const std::shared_ptr<State>& state, TComEvents events);
    static void ProcessEvents(State& state, TComEvents events);
    static void PostEventsToWindow(const std::shared_ptr<State>& state, TComEvents events);
    static void Finish(State& state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace serial
