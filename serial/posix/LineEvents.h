// Which line events a wake-up of the event thread amounts to, decided from
// what the driver shows before and after. Kept apart from the system calls so
// every branch can be tried with made-up readings: real UARTs keep interrupt
// counters, pseudo-terminals have none, and only the latter are at hand in
// tests.
#pragma once

#include <cstdint>

namespace serial {

// The line discipline's input queue; Linux keeps this size whatever size was
// recommended, so it is the queue that fills up.
inline constexpr int kLineDisciplineQueue = 4096;
// 80 % of it: 3276 bytes. An arrival that takes the queue from 3000 to 3300
// crosses the mark; one from 3300 to 3500 does not (it was already above),
// nor one from 100 to 3000.
inline constexpr int kRx80FullMark = kLineDisciplineQueue * 8 / 10;

// The driver's interrupt counters (TIOCGICOUNT), the fields we look at.
struct LineCounters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int rx = 0, tx = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};

// What the thread saw of the device at one wake-up.
struct LineReading {
    bool counted = false; // the driver gave its counters now
    LineCounters counters;
    int inQueue = 0;            // TIOCINQ (read on a receive wake-up)
    bool outQueueKnown = false; // TIOCOUTQ answered (read on a transmit wake-up)
    int outQueue = 0;
    bool modemBitsKnown = false; // TIOCMGET answered (drivers without counters)
    int modemBits = 0;           // TIOCM_* bits
};

// What the thread keeps from one wake-up to the next.
struct LineMemory {
    bool modemLines = false; // the device has modem lines at all
    bool haveCounters = false;
    LineCounters counters; // at the previous wake-up
    int txAtLastEmpty = 0; // transmit counter at the last evTxEmpty
    int rxSeen = 0;        // input queue at the last arrival looked at
    uint32_t rxCountSeen = 0;
    int modemBits = 0;
};

// Why the thread woke: the device's readers, its writers, the modem-line
// watcher (or a mask change).
struct LineWakeup {
    bool rxEdge = false;
    bool txEdge = false;
    bool lineWake = false;
};

// The EV_* bits the wake-up amounts to (not yet masked); updates `memory`
// for the next comparison.
uint32_t ClassifyLineEvents(LineMemory& memory, const LineReading& now, LineWakeup why);

} // namespace serial
