// The event thread end to end: a real port on the slave side of a
// pseudo-terminal, the test as the peer on the master side.
#include "serial/ComThread.h"
#include "tests/support/MainQueue.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TappedDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <vector>

using namespace serial;
using namespace testsupport;
using testsupport::PtyPair;

namespace {

constexpr int kMark = 4096 * 8 / 10; // the 80 % mark of the input queue

class ComThreadPty : public ::testing::Test {
  protected:
    void SetUp() override {
        counts = std::make_shared<LineTap>();
        port.SetPort(pty.Path());
        port.SetDeviceFactory(TappedFactory(counts));
    }
    void TearDown() override { port.ClosePort(); }

    void Open(TSyncMethod method, TComEvents events = TComEvents{evRxChar}) {
        port.SetSyncMethod(method);
        port.SetEvents(events);
        port.OpenPort();
        ASSERT_TRUE(port.EventThreadRunning());
    }
    // A handler that reads what it is told about.
    void ReadingHandler() {
        port.OnRxChar = [this](TCustomComPort* p, int count) {
            std::string s;
            p->ReadText(s, count);
            std::lock_guard lock(mutex);
            counts_seen.push_back(count);
            received += s;
            onMain.push_back(platform::IsMainThread());
        };
    }
    std::string Received() {
        std::lock_guard lock(mutex);
        return received;
    }
    size_t Calls() {
        std::lock_guard lock(mutex);
        return counts_seen.size();
    }
    int RxWakeups() {
        std::lock_guard lock(counts->mutex);
        int n = 0;
        for (uint32_t m : counts->wakeups)
            if (m & EV_RXCHAR) ++n;
        return n;
    }

    int Rx80Wakeups() {
        std::lock_guard lock(counts->mutex);
        int n = 0;
        for (uint32_t m : counts->wakeups)
            if (m & EV_RX80FULL) ++n;
        return n;
    }
    // Sends until the kernel's queue holds `total` bytes and waits until it
    // does. With `serve` false the owner stays busy: a thread that reported
    // something stays held.
    void FillTo(int total, char c = 'q', bool serve = true) {
        ASSERT_GT(total, pending);
        pty.Send(std::string(static_cast<size_t>(total - pending), c));
        pending = total;
        auto arrived = [&] { return port.PendingInputCount() == pending; };
        if (serve) {
            ASSERT_TRUE(ServeUntil(arrived));
            return;
        }
        auto deadline = platform::Deadline::After(5000);
        while (!arrived() && !deadline.Reached())
            platform::Sleep(5);
        ASSERT_TRUE(arrived());
    }
    // Returns once a wait of the thread has looked at the queue with all that
    // was sent before. Two wake-ups, each for a byte sent after the previous
    // wake-up showed: the first may still report an older arrival, the
    // second cannot. Each adds a byte to the queue.
    void SyncWithThread() {
        for (int i = 0; i < 2; ++i) {
            int before = RxWakeups();
            FillTo(pending + 1, 's');
            ASSERT_TRUE(ServeUntil([&] { return RxWakeups() > before; }));
        }
    }

    testsupport::RecordingHost host;
    PtyPair pty;
    std::shared_ptr<LineTap> counts;
    TComPort port;

    std::mutex mutex;
    std::vector<int> counts_seen;
    std::vector<bool> onMain;
    std::string received;
    // For the 80 % mark: the queue the test has filled, and the reports.
    std::atomic<int> full{0};
    int pending = 0;
};

TEST_F(ComThreadPty, ReceivedBytesAreAnnouncedOnTheOwnersThread) {
    ReadingHandler();
    Open(smThreadSync);
    pty.Send("hello");
    ASSERT_TRUE(ServeUntil([&] { return Received() == "hello"; }));
    // A burst: however the bytes are split into events, each announces at
    // least one byte and together they announce all of them.
    std::string burst(200, '\0');
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<char>(i);
    pty.Send(burst);
    ASSERT_TRUE(ServeUntil([&] { return Received().size() == 205; }));
    EXPECT_EQ(Received(), "hello" + burst);
    std::lock_guard lock(mutex);
    EXPECT_LE(counts_seen.size(), 205u);
    for (int c : counts_seen)
        EXPECT_GE(c, 1);
    for (bool m : onMain)
        EXPECT_TRUE(m);
}

TEST_F(ComThreadPty, TheSameTrafficUnderEachMethodRunsOnItsThread) {
    struct Case {
        TSyncMethod method;
        bool onMain;
    };
    for (Case c : {Case{smThreadSync, true}, Case{smWindowSync, true}, Case{smNone, false}}) {
        SCOPED_TRACE(static_cast<int>(c.method));
        {
            std::lock_guard lock(mutex);
            received.clear();
            onMain.clear();
        }
        ReadingHandler();
        Open(c.method);
        pty.Send("abc");
        ASSERT_TRUE(ServeUntil([&] { return Received() == "abc"; }));
        pty.Send("defg");
        ASSERT_TRUE(ServeUntil([&] { return Received() == "abcdefg"; }));
        port.ClosePort();
        std::lock_guard lock(mutex);
        for (bool m : onMain)
            EXPECT_EQ(m, c.onMain);
    }
}

// Bytes that arrive while the handler runs and that it reads as well are not
// announced again: a later wake-up finds nothing pending (or, with an
// edge-triggered wait that looks again, there is none) and nothing fires.
TEST_F(ComThreadPty, BytesTheHandlerAlreadyReadAreNotAnnouncedAgain) {
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(2000);
    port.OnRxChar = [this](TCustomComPort* p, int count) {
        std::lock_guard lock(mutex);
        counts_seen.push_back(count);
        std::string s;
        if (counts_seen.size() == 1) {
            pty.Send("XYZ");
            p->ReadText(s, count + 3); // waits for the late bytes as well
        } else {
            p->ReadText(s, count);
        }
        received += s;
    };
    Open(smThreadSync);
    pty.Send("ab");
    ASSERT_TRUE(ServeUntil([&] { return Calls() == 1; }));
    ServeFor(200);
    EXPECT_EQ(Calls(), 1u);
    EXPECT_EQ(Received(), "abXYZ");
    pty.Send("!");
    ASSERT_TRUE(ServeUntil([&] { return Calls() == 2; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(counts_seen[1], 1);
    EXPECT_EQ(received, "abXYZ!");
}

// Bytes a handler leaves unread are announced again only with the next byte.
TEST_F(ComThreadPty, UnreadBytesWaitForTheNextArrival) {
    port.OnRxChar = [this](TCustomComPort*, int count) {
        std::lock_guard lock(mutex);
        counts_seen.push_back(count);
    };
    Open(smThreadSync);
    pty.Send("ab");
    ASSERT_TRUE(ServeUntil([&] { return Calls() == 1; }));
    ServeFor(150);
    EXPECT_EQ(Calls(), 1u);
    EXPECT_LE(counts->waits.load(), 2);
    pty.Send("c");
    ASSERT_TRUE(ServeUntil([&] { return Calls() == 2; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(counts_seen, (std::vector<int>{2, 3}));
}

TEST_F(ComThreadPty, AnExceptionInOnRxCharStopsLaterEventsUntilReopened) {
    std::atomic<int> calls{0};
    port.OnRxChar = [&](TCustomComPort* p, int count) {
        std::string s;
        p->ReadText(s, count);
        if (++calls == 1) throw std::runtime_error("handler failed");
    };
    Open(smThreadSync);
    pty.Send("1");
    ASSERT_TRUE(ServeUntil([&] { return calls == 1; }));
    pty.Send("2");
    ServeFor(200);
    EXPECT_EQ(calls, 1);
    EXPECT_NO_THROW(port.ClosePort());
    EXPECT_TRUE(host.Messages().empty()); // the user is not told
    Open(smThreadSync);
    pty.Send("3");
    EXPECT_TRUE(ServeUntil([&] { return calls == 2; }));
}

TEST_F(ComThreadPty, ClosingWhileADeliveryWaitsForTheOwnerCompletes) {
    std::atomic<int> calls{0};
    port.OnRxChar = [&](TCustomComPort*, int) { ++calls; };
    Open(smThreadSync);
    pty.Send("x");
    auto deadline = platform::Deadline::After(5000);
    while (!platform::MainQueue().HasWork() && !deadline.Reached())
        platform::MainQueue().WaitForWork(deadline.Remaining());
    ASSERT_TRUE(platform::MainQueue().HasWork());
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(calls, 0); // taken by the close, but a closing port reports nothing
}

TEST_F(ComThreadPty, OnlyReceptionWakesAThreadWatchingRxCharAlone) {
    std::atomic<int> ctsCalls{0}, txEmpty{0}, rx{0};
    port.OnCTSChange = [&](TCustomComPort*, bool) { ++ctsCalls; };
    port.OnTxEmpty = [&](TCustomComPort*) { ++txEmpty; };
    port.OnRxChar = [&](TCustomComPort* p, int n) {
        std::string s;
        p->ReadText(s, n);
        ++rx;
    };
    Open(smThreadSync, TComEvents{evRxChar});
    EXPECT_EQ(ctsCalls, 1); // the open reports the line once
    EXPECT_EQ(port.WriteText("out"), 3);
    EXPECT_EQ(pty.Receive(3, 1000), "out");
    ServeFor(150);
    EXPECT_EQ(counts->waits.load(), 0); // writing woke nothing
    pty.Send("in");
    ASSERT_TRUE(ServeUntil([&] { return rx == 1; }));
    EXPECT_EQ(txEmpty, 0);
    EXPECT_EQ(ctsCalls, 1);
    port.ClosePort();

    // Watched, the drained output is reported.
    Open(smThreadSync, TComEvents{evRxChar, evTxEmpty});
    EXPECT_EQ(port.WriteText("out"), 3);
    EXPECT_EQ(pty.Receive(3, 1000), "out");
    EXPECT_TRUE(ServeUntil([&] { return txEmpty >= 1; }));
}

TEST_F(ComThreadPty, ClosingDiscardsTheInputQueue) {
    Open(smThreadSync, TComEvents{evRxChar}); // nobody reads
    pty.Send("unread");
    ASSERT_TRUE(ServeUntil([&] { return port.PendingInputCount() == 6; }));
    ASSERT_TRUE(ServeUntil([&] { return RxWakeups() >= 1; }));
    port.ClosePort();
    std::lock_guard lock(counts->mutex);
    ASSERT_FALSE(counts->purges.empty());
    EXPECT_EQ(counts->purges.back(), PURGE_TXCLEAR | PURGE_RXCLEAR);
    EXPECT_EQ(counts->masks.back(), 0u);
    EXPECT_EQ(counts->inQueueAtClose, 0); // the kernel's queue, just before the device closed
}

// The 80 % mark is four fifths of the kernel's 4096-byte input queue. It is
// reported when an arrival reaches it (not one byte earlier), not again while
// the queue stays above, and again once the owner read below it and an
// arrival crosses once more. What the thread found is read from the masks its
// waits returned, so no check depends on how soon the owner is served.
TEST_F(ComThreadPty, CrossingFourFifthsOfTheInputQueueIsReportedOnce) {
    port.OnRx80Full = [&](TCustomComPort*) { ++full; };
    Open(smThreadSync, TComEvents{evRxChar, evRx80Full}); // no handler reads
    struct Step {
        int queued;    // before the two bytes of the sync
        int crossings; // the thread found so far
    } steps[] = {{3000, 0}, {kMark - 3, 0}, {kMark, 1}, {kMark + 200, 1}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.queued);
        FillTo(step.queued);
        SyncWithThread();
        if (HasFatalFailure()) return;
        EXPECT_EQ(Rx80Wakeups(), step.crossings);
    }
    EXPECT_TRUE(ServeUntil([&] { return full == 1; }));

    std::string s;
    ASSERT_EQ(port.ReadText(s, 3000), 3000);
    pending -= 3000;
    SyncWithThread(); // the thread has seen the queue below the mark
    FillTo(pending + 3000, 'r');
    EXPECT_TRUE(ServeUntil([&] { return full == 2; }));
    SyncWithThread();
    EXPECT_EQ(Rx80Wakeups(), 2);
    EXPECT_EQ(full, 2);
}

// Bytes that cross the mark while the thread still waits for the owner to
// take its previous report are a crossing as well: the queue the thread saw
// last was below the mark.
TEST_F(ComThreadPty, ACrossingWhileTheOwnerIsBusyIsReported) {
    port.OnRx80Full = [&](TCustomComPort*) { ++full; };
    Open(smThreadSync, TComEvents{evRxChar, evRx80Full});
    FillTo(1, 'a', false);
    ASSERT_TRUE(WaitQueued()); // reported; the thread now waits for the owner
    FillTo(kMark + 10, 'q', false);
    EXPECT_TRUE(ServeUntil([&] { return full == 1; }));
    SyncWithThread();
    EXPECT_EQ(Rx80Wakeups(), 1);
}

// A peer that hangs up ends the wait for good: the thread neither spins nor
// blocks the close.
TEST_F(ComThreadPty, APeerHangUpEndsTheThreadQuietly) {
    std::atomic<int> rx{0};
    port.OnRxChar = [&](TCustomComPort*, int) { ++rx; };
    Open(smThreadSync, AllComEvents);
    ServeFor(50);
    int before = counts->waits.load();
    pty.CloseMaster();
    ASSERT_TRUE(ServeUntil([&] { return counts->waitErrors.load() == 1; }));
    ServeFor(300);
    EXPECT_LE(counts->waits.load(), before + 2);
    EXPECT_EQ(counts->waitErrors.load(), 1);
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
}

} // namespace
