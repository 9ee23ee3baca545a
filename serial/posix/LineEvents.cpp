#include "serial/posix/LineEvents.h"

#include "serial/ComDevice.h"

#include <sys/ioctl.h>

namespace serial {

uint32_t ClassifyLineEvents(LineMemory& m, const LineReading& now, LineWakeup why) {
    uint32_t found = 0;
    if (why.rxEdge) {
        found |= EV_RXCHAR;
        // Where the queue stood before these bytes came. With counters, the
        // difference is taken from the last look at an arrival, not from the
        // last wake-up of any kind, which may have come in between. Without,
        // it is where the thread last saw the queue.
        uint32_t arrived = now.counted ? static_cast<uint32_t>(now.counters.rx) - m.rxCountSeen : 0;
        int before = now.counted ? now.inQueue - static_cast<int>(arrived) : m.rxSeen;
        if (before < kRx80FullMark && now.inQueue >= kRx80FullMark) found |= EV_RX80FULL;
        m.rxSeen = now.inQueue;
        if (now.counted) m.rxCountSeen = static_cast<uint32_t>(now.counters.rx);
    }
    if (now.counted) {
        const LineCounters& was = m.counters;
        const LineCounters& is = now.counters;
        if (is.brk != was.brk) found |= EV_BREAK;
        if (is.frame != was.frame || is.parity != was.parity || is.overrun != was.overrun ||
            is.bufOverrun != was.bufOverrun)
            found |= EV_ERR;
        if (is.cts != was.cts) found |= EV_CTS;
        if (is.dsr != was.dsr) found |= EV_DSR;
        if (is.dcd != was.dcd) found |= EV_RLSD;
        if (is.rng != was.rng) found |= EV_RING;
        m.counters = is;
    } else if (why.lineWake && m.modemLines && now.modemBitsKnown) {
        int changed = now.modemBits ^ m.modemBits;
        if (changed & TIOCM_CTS) found |= EV_CTS;
        if (changed & TIOCM_DSR) found |= EV_DSR;
        if (changed & TIOCM_CD) found |= EV_RLSD;
        // The ring indicator counts when it goes off again.
        if ((changed & TIOCM_RI) && !(now.modemBits & TIOCM_RI)) found |= EV_RING;
        m.modemBits = now.modemBits;
    }
    if (why.txEdge) {
        bool drained = now.outQueueKnown && now.outQueue == 0;
        // A UART wakes writers also for XON or an unthrottle: only a moved
        // transmit counter shows that output really drained.
        bool sent = !now.counted || now.counters.tx != m.txAtLastEmpty;
        if (drained && sent) {
            found |= EV_TXEMPTY;
            if (now.counted) m.txAtLastEmpty = now.counters.tx;
        }
    }
    return found;
}

} // namespace serial
