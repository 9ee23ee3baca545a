// How a wake-up of the event thread is classified, for drivers with interrupt
// counters (real UARTs) and without (pseudo-terminals, some USB adapters).
#include "serial/ComDevice.h"
#include "serial/posix/LineEvents.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

namespace {

using namespace serial;

LineCounters Counters(int rx, int tx = 0) {
    LineCounters c;
    c.rx = rx;
    c.tx = tx;
    return c;
}

struct Case {
    const char* what;
    LineMemory before;
    LineReading now;
    LineWakeup why;
    uint32_t expected;
};

LineMemory Counted(LineCounters c, int rxSeen = 0) {
    LineMemory m;
    m.modemLines = true;
    m.haveCounters = true;
    m.counters = c;
    m.txAtLastEmpty = c.tx;
    m.rxSeen = rxSeen;
    m.rxCountSeen = static_cast<uint32_t>(c.rx);
    return m;
}

LineReading Read(LineCounters c, int inQueue, int outQueue = -1) {
    LineReading r;
    r.counted = true;
    r.counters = c;
    r.inQueue = inQueue;
    r.outQueueKnown = outQueue >= 0;
    r.outQueue = outQueue < 0 ? 0 : outQueue;
    return r;
}

LineMemory Uncounted(int rxSeen, int modemBits = 0) {
    LineMemory m;
    m.modemLines = true;
    m.rxSeen = rxSeen;
    m.modemBits = modemBits;
    return m;
}

LineReading ReadUncounted(int inQueue, int modemBits = -1) {
    LineReading r;
    r.inQueue = inQueue;
    r.modemBitsKnown = modemBits >= 0;
    r.modemBits = modemBits < 0 ? 0 : modemBits;
    return r;
}

LineCounters With(LineCounters c, int LineCounters::*field, int value) {
    c.*field = value;
    return c;
}

TEST(LineEvents, ClassifiesEachWakeUp) {
    const LineWakeup rx{true, false, false}, tx{false, true, false}, line{false, false, true};
    const LineCounters base = Counters(1000, 500);
    const Case cases[] = {
        // Receive, with counters: where the queue stood before is the queue now
        // minus what the counter says arrived since the last arrival looked at.
        {"counted arrival below the mark", Counted(base), Read(Counters(1100, 500), 100), rx,
         EV_RXCHAR},
        {"counted arrival crossing the mark", Counted(base),
         Read(Counters(1000 + 300, 500), kRx80FullMark + 100), rx, EV_RXCHAR | EV_RX80FULL},
        {"counted arrival already above the mark", Counted(base),
         Read(Counters(1000 + 10, 500), kRx80FullMark + 100), rx, EV_RXCHAR},
        {"counted arrival landing exactly on the mark", Counted(base),
         Read(Counters(1000 + 1, 500), kRx80FullMark), rx, EV_RXCHAR | EV_RX80FULL},
        // Without counters: judged from the queue at the previous arrival.
        {"uncounted crossing", Uncounted(3000), ReadUncounted(3300), rx, EV_RXCHAR | EV_RX80FULL},
        {"uncounted already above", Uncounted(3300), ReadUncounted(3500), rx, EV_RXCHAR},
        {"uncounted below", Uncounted(100), ReadUncounted(3000), rx, EV_RXCHAR},
        // Errors and break from the counters, whatever woke the thread.
        {"break", Counted(base), Read(With(Counters(1001, 500), &LineCounters::brk, 1), 1), rx,
         EV_RXCHAR | EV_BREAK},
        {"frame error", Counted(base), Read(With(Counters(1001, 500), &LineCounters::frame, 1), 1),
         rx, EV_RXCHAR | EV_ERR},
        {"parity error", Counted(base),
         Read(With(Counters(1001, 500), &LineCounters::parity, 2), 1), rx, EV_RXCHAR | EV_ERR},
        {"overrun", Counted(base), Read(With(Counters(1001, 500), &LineCounters::overrun, 1), 1),
         rx, EV_RXCHAR | EV_ERR},
        {"buffer overrun", Counted(base),
         Read(With(Counters(1001, 500), &LineCounters::bufOverrun, 1), 1), rx, EV_RXCHAR | EV_ERR},
        // Modem lines from the counters.
        {"counted CTS", Counted(base), Read(With(base, &LineCounters::cts, 1), 0), line, EV_CTS},
        {"counted DSR", Counted(base), Read(With(base, &LineCounters::dsr, 3), 0), line, EV_DSR},
        {"counted carrier", Counted(base), Read(With(base, &LineCounters::dcd, 1), 0), line,
         EV_RLSD},
        {"counted ring", Counted(base), Read(With(base, &LineCounters::rng, 1), 0), line, EV_RING},
        {"counted wake-up with nothing moved", Counted(base), Read(base, 0), line, 0},
        // Modem lines from the line states.
        {"uncounted CTS on", Uncounted(0, 0), ReadUncounted(0, TIOCM_CTS), line, EV_CTS},
        {"uncounted DSR and carrier off", Uncounted(0, TIOCM_DSR | TIOCM_CD), ReadUncounted(0, 0),
         line, EV_DSR | EV_RLSD},
        {"ring rising is not yet a ring", Uncounted(0, 0), ReadUncounted(0, TIOCM_RI), line, 0},
        {"ring falling is one", Uncounted(0, TIOCM_RI), ReadUncounted(0, 0), line, EV_RING},
        {"line states unreadable", Uncounted(0, 0), ReadUncounted(0, -1), line, 0},
        // Transmit: drained, and with counters only when the transmitter moved.
        {"counted drained after sending", Counted(base), Read(Counters(1000, 520), 0, 0), tx,
         EV_TXEMPTY},
        {"counted wake for XON, nothing sent", Counted(base), Read(base, 0, 0), tx, 0},
        {"counted still sending", Counted(base), Read(Counters(1000, 520), 0, 12), tx, 0},
        {"uncounted drained", Uncounted(0),
         [] {
             LineReading r = ReadUncounted(0);
             r.outQueueKnown = true;
             return r;
         }(),
         tx, EV_TXEMPTY},
        {"output queue unreadable", Uncounted(0), ReadUncounted(0), tx, 0},
    };
    for (const Case& c : cases) {
        LineMemory m = c.before;
        EXPECT_EQ(ClassifyLineEvents(m, c.now, c.why), c.expected) << c.what;
    }
}

TEST(LineEvents, RememberingBetweenWakeUps) {
    // An arrival the thread looked at becomes the base of the next: a second
    // arrival above the mark no longer crosses it.
    LineMemory m = Counted(Counters(0));
    EXPECT_EQ(ClassifyLineEvents(m, Read(Counters(3300), 3300), {true, false, false}),
              EV_RXCHAR | EV_RX80FULL);
    EXPECT_EQ(ClassifyLineEvents(m, Read(Counters(3400), 3400), {true, false, false}), EV_RXCHAR);

    // A line wake-up in between moves the counters but not the arrival base:
    // the next arrival is judged against the last one looked at.
    m = Counted(Counters(0));
    ClassifyLineEvents(m, Read(Counters(3000), 3000), {true, false, false});
    ClassifyLineEvents(m, Read(With(Counters(3200), &LineCounters::cts, 1), 3200),
                       {false, false, true});
    EXPECT_EQ(ClassifyLineEvents(m, Read(With(Counters(3300), &LineCounters::cts, 1), 3300),
                                 {true, false, false}),
              EV_RXCHAR | EV_RX80FULL);

    // A report of drained output is given once per transmission.
    m = Counted(Counters(0, 10));
    EXPECT_EQ(ClassifyLineEvents(m, Read(Counters(0, 20), 0, 0), {false, true, false}), EV_TXEMPTY);
    EXPECT_EQ(ClassifyLineEvents(m, Read(Counters(0, 20), 0, 0), {false, true, false}), 0u);
}

} // namespace
