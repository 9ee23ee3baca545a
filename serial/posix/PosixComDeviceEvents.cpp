// Waiting for line events on Linux.
//
// What stands for each event:
// - evRxChar: the kernel woke the device's readers. An edge-triggered epoll
//   registration for EPOLLIN reports every arrival once, also of bytes that
//   come while nobody waits, and never again for bytes left unread, so a
//   handler that leaves bytes behind does not make the thread spin.
// - evTxEmpty: the kernel woke the device's writers and the output queue
//   (TIOCOUTQ) is empty. A UART driver wakes writers as its transmitter takes
//   the queued bytes; on serial devices the transmit counter (TIOCGICOUNT)
//   must also have moved since the last report, so a wake-up for XON or an
//   unthrottle alone is not taken for drained output. A pseudo-terminal
//   counts as drained once its bytes are with the peer.
// - evRx80Full: an arrival takes the input queue from below to at or above
//   80 % of the line discipline's queue (4096 bytes). Linux keeps that queue
//   size whatever size was recommended, so it is the queue that fills up.
//   Serial drivers count received bytes, which tells where the queue stood
//   before the arrival. A pseudo-terminal has no counters: there it is where
//   the thread last saw it, i.e. the queue at the previous arrival it looked
//   at, lowered to the queue found when a wait begins (so what the handlers
//   read counts). Bytes that come while the owner handles the previous report
//   are thus judged from the queue before them, not taken as the start. A
//   read by the owner while the thread already waits is not seen until the
//   next arrival; an arrival that alone takes the queue from such a read
//   across the mark is missed.
// - evBreak, evError: the driver's counters (TIOCGICOUNT) of breaks and of
//   frame, parity, overrun and buffer-overrun errors, compared with their
//   values at the previous wake-up. The kernel passes a break or a faulty
//   byte on as a received byte (the line settings do not ignore them), so
//   the arrival wakes the thread and the counters tell what happened.
// - evCTS, evDSR, evRLSD, evRing: a helper thread blocks in TIOCMIWAIT and
//   wakes the thread when a line changes; the counters (or, for drivers
//   without them, the line states) tell which. A change that falls between
//   two TIOCMIWAIT calls still moves the counters and shows at the next
//   wake-up. Pseudo-terminals have no modem lines and give no line events.
// - evRxFlag: needs a look at the received bytes before the owner reads them,
//   which a terminal does not allow; it never fires here.
// A hang-up (EPOLLHUP/EPOLLERR on the device) fails the wait with EIO.

#include "serial/posix/BlockingCallWatcher.h"
#include "serial/posix/LineEvents.h"
#include "serial/posix/PosixComDevice.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <linux/serial.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace serial {

// ---------------------------------------------------------------- the device's events

namespace {

constexpr uint32_t kReceiveEvents = EV_RXCHAR | EV_RXFLAG | EV_RX80FULL | EV_ERR | EV_BREAK;
constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

int Errno() {
    return errno ? errno : EIO;
}

LineCounters FromKernel(const serial_icounter_struct& c) {
    LineCounters l;
    l.cts = c.cts;
    l.dsr = c.dsr;
    l.rng = c.rng;
    l.dcd = c.dcd;
    l.rx = c.rx;
    l.tx = c.tx;
    l.frame = c.frame;
    l.overrun = c.overrun;
    l.parity = c.parity;
    l.brk = c.brk;
    l.bufOverrun = c.buf_overrun;
    return l;
}

int InputQueue(int fd) {
    int n = 0;
    if (::ioctl(fd, TIOCINQ, &n) != 0) return 0;
    return n;
}

} // namespace

struct PosixComDevice::EventState {
    int fd = -1;
    bool modemLines = false;
    // One epoll instance per direction, so a wake-up tells which side of the
    // device the kernel woke (the reported bits always show both).
    int rxPoll = -1;
    int txPoll = -1;
    // SetCommMask and the line watcher wake a pending wait through this.
    int wakeFd = -1;

    std::mutex mutex;
    uint32_t mask = 0;
    uint64_t generation = 0; // bumped by SetCommMask: a pending wait ends
    LineMemory memory;
    std::unique_ptr<BlockingCallWatcher> watcher;

    ~EventState() {
        watcher.reset();
        for (int f : {rxPoll, txPoll, wakeFd})
            if (f >= 0) ::close(f);
    }

    int Create(int deviceFd, bool lines) {
        fd = deviceFd;
        modemLines = lines;
        memory.modemLines = lines;
        rxPoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (rxPoll < 0) return Errno();
        txPoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (txPoll < 0) return Errno();
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0) return Errno();
        epoll_event ev{};
        ev.events = EPOLLET;
        if (::epoll_ctl(rxPoll, EPOLL_CTL_ADD, fd, &ev) != 0) return Errno();
        if (::epoll_ctl(txPoll, EPOLL_CTL_ADD, fd, &ev) != 0) return Errno();
        return 0;
    }

    void Wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    // Takes the current counters (or line states) as the base for the next
    // comparison. Caller holds the mutex.
    void Snapshot() {
        LineMemory& m = memory;
        m.rxSeen = InputQueue(fd);
        serial_icounter_struct c{};
        m.haveCounters = ::ioctl(fd, TIOCGICOUNT, &c) == 0;
        m.counters = m.haveCounters ? FromKernel(c) : LineCounters{};
        m.txAtLastEmpty = m.counters.tx;
        m.rxCountSeen = static_cast<uint32_t>(m.counters.rx);
        if (!m.haveCounters && modemLines && ::ioctl(fd, TIOCMGET, &m.modemBits) != 0)
            m.modemBits = 0;
    }

    // Arms the registrations for `mask` and drops the readiness they report
    // on arming: events count from now on. Caller holds the mutex.
    int Arm() {
        epoll_event ev{};
        ev.events = EPOLLET | ((mask & kReceiveEvents) ? EPOLLIN : 0u);
        if (::epoll_ctl(rxPoll, EPOLL_CTL_MOD, fd, &ev) != 0) return Errno();
        ev.events = EPOLLET | ((mask & EV_TXEMPTY) ? EPOLLOUT : 0u);
        if (::epoll_ctl(txPoll, EPOLL_CTL_MOD, fd, &ev) != 0) return Errno();
        epoll_event drop[2];
        while (::epoll_wait(rxPoll, drop, 2, 0) > 0) {
        }
        while (::epoll_wait(txPoll, drop, 2, 0) > 0) {
        }
        Snapshot();
        return 0;
    }

    // What happened since the last comparison, as event bits (unmasked).
    // Caller holds the mutex.
    uint32_t Collect(bool rxEdge, bool txEdge, bool lineWake) {
        LineReading now;
        serial_icounter_struct c{};
        now.counted = memory.haveCounters && ::ioctl(fd, TIOCGICOUNT, &c) == 0;
        if (now.counted) now.counters = FromKernel(c);
        if (rxEdge) now.inQueue = InputQueue(fd);
        if (txEdge) now.outQueueKnown = ::ioctl(fd, TIOCOUTQ, &now.outQueue) == 0;
        if (!now.counted && lineWake && memory.modemLines)
            now.modemBitsKnown = ::ioctl(fd, TIOCMGET, &now.modemBits) == 0;
        return ClassifyLineEvents(memory, now, {rxEdge, txEdge, lineWake});
    }

    void UpdateWatcher() {
        bool want = modemLines && (mask & kLineEvents) != 0;
        if (want && !watcher) {
            int f = fd;
            watcher = std::make_unique<BlockingCallWatcher>(
                [f] {
                    int lines = TIOCM_RNG | TIOCM_DSR | TIOCM_CD | TIOCM_CTS;
                    return ::ioctl(f, TIOCMIWAIT, lines) == 0 ? 0 : Errno();
                },
                [this] { Wake(); });
        } else if (!want && watcher) {
            watcher.reset();
        }
    }
};

int PosixComDevice::SetCommMask(uint32_t mask) {
    if (fd_ < 0) return EBADF;
    if (!events_) {
        auto state = std::make_shared<EventState>();
        if (int err = state->Create(fd_, modemLines_)) return err;
        events_ = std::move(state);
    }
    EventState& st = *events_;
    int err = 0;
    {
        std::lock_guard lock(st.mutex);
        st.mask = mask;
        ++st.generation;
        err = st.Arm();
        // The helper never takes the mutex, so stopping it here cannot block on it.
        st.UpdateWatcher();
    }
    st.Wake();
    return err;
}

int PosixComDevice::WaitCommEvent(uint32_t& mask, int stopFd) {
    mask = 0;
    if (fd_ < 0) return EBADF;
    std::shared_ptr<EventState> state = events_;
    if (!state) {
        // Nothing is watched: only the stop can end the wait.
        pollfd stop{stopFd, POLLIN, 0};
        while (::poll(&stop, 1, -1) < 0)
            if (errno != EINTR) return errno;
        return 0;
    }
    EventState& st = *state;
    uint64_t generation;
    uint32_t wanted;
    {
        std::lock_guard lock(st.mutex);
        generation = st.generation;
        wanted = st.mask;
        // Lower only: a higher queue holds arrivals not looked at yet, which
        // must be judged from where the queue stood before them.
        st.memory.rxSeen = std::min(st.memory.rxSeen, InputQueue(st.fd));
    }

    for (;;) {
        pollfd fds[4] = {{stopFd, POLLIN, 0},
                         {st.wakeFd, POLLIN, 0},
                         {st.rxPoll, POLLIN, 0},
                         {st.txPoll, POLLIN, 0}};
        if (::poll(fds, 4, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (fds[0].revents) return 0; // stop wins over everything else

        bool lineWake = false, rxEdge = false, txEdge = false, hangUp = false;
        if (fds[1].revents) {
            uint64_t count;
            lineWake = ::read(st.wakeFd, &count, sizeof count) > 0;
        }
        epoll_event ev[2];
        if (fds[2].revents && ::epoll_wait(st.rxPoll, ev, 2, 0) > 0) {
            rxEdge = (ev[0].events & EPOLLIN) != 0;
            hangUp |= (ev[0].events & (EPOLLHUP | EPOLLERR)) != 0;
        }
        if (fds[3].revents && ::epoll_wait(st.txPoll, ev, 2, 0) > 0) {
            txEdge = (ev[0].events & EPOLLOUT) != 0;
            hangUp |= (ev[0].events & (EPOLLHUP | EPOLLERR)) != 0;
        }

        std::lock_guard lock(st.mutex);
        if (st.generation != generation) return 0; // the mask changed: this wait is over
        if (hangUp) return EIO;
        uint32_t found = st.Collect(rxEdge, txEdge, lineWake) & wanted;
        if (found) {
            mask = found;
            return 0;
        }
    }
}

} // namespace serial
