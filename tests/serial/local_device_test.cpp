// The in-process line and its device: a port opens "sim:NAME" while a peer of
// the program serves the other end (here the test itself). Reads keep the
// port's time-outs, purges drop their queue, the settings reach the peer, the
// event wait ends on the stop, a mask change and a close, and a line whose
// peer went away fails every call.
#include "platform/Host.h"
#include "platform/Stop.h"
#include "serial/CPort.h"
#include "serial/DefaultDevice.h"
#include "serial/local/LocalComDevice.h"
#include "serial/local/LocalLine.h"
#include "tests/support/MainQueue.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace serial;

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// What the peer received so far.
std::string Taken(LocalLine& line) {
    char buf[8192];
    return std::string(buf, line.PeerRead(buf, sizeof buf));
}

struct LocalPort : ::testing::Test {
    testsupport::RecordingHost host;
    std::shared_ptr<LocalLine> line = LocalLine::Create("sim:test");
    TComPort port;
    LocalPort() {
        port.SetEvents({});
        port.SetPort(line->Name());
    }
    void SetReadTimeouts(int32_t interval, int32_t multiplier, int32_t constant) {
        port.BeginSettingsUpdate();
        port.Timeouts().SetReadInterval(interval);
        port.Timeouts().SetReadTotalMultiplier(multiplier);
        port.Timeouts().SetReadTotalConstant(constant);
        port.EndSettingsUpdate();
    }
};

} // namespace

TEST(LocalLineNames, ALineIsFoundByItsNameWhileItLives) {
    auto first = LocalLine::Create("sim:names");
    auto second = LocalLine::Create("sim:names");
    EXPECT_EQ(first->Name(), "sim:names");
    EXPECT_EQ(second->Name(), "sim:names-2");
    EXPECT_EQ(LocalLine::Find("sim:names-2"), second);
    first->HangUp();
    EXPECT_EQ(LocalLine::Find("sim:names"), nullptr);
    EXPECT_EQ(LocalLine::Create("sim:names")->Name(), "sim:names"); // free again
    second.reset();
    EXPECT_EQ(LocalLine::Find("sim:names-2"), nullptr);
    EXPECT_THROW(LocalLine::Create("sim:"), std::invalid_argument);
    EXPECT_THROW(LocalLine::Create("COM1"), std::invalid_argument);
}

TEST_F(LocalPort, OpensOnePortAtATimeAndOnlyALiveLine) {
    port.OpenPort();
    ASSERT_TRUE(port.Connected());
    struct Case {
        std::string name;
        int os;
        const char* says;
    } cases[] = {
        {line->Name(), serial::oserr::kBusy, "in use by another port"},
        {"sim:nobody", serial::oserr::kNotFound, "sim:nobody: no simulator of that name is running"},
    };
    for (const Case& c : cases) {
        TComPort other;
        other.SetEvents({});
        other.SetPort(c.name);
        try {
            other.OpenPort();
            ADD_FAILURE() << c.name << " opened";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 1) << c.name;
            EXPECT_EQ(e.OsErrorCode(), c.os) << c.name;
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
        EXPECT_FALSE(other.Connected());
    }
    port.ClosePort();
    TComPort next;
    next.SetEvents({});
    next.SetPort(line->Name());
    EXPECT_NO_THROW(next.OpenPort()); // closing let the line go
}

TEST_F(LocalPort, ReadsKeepThePortsTimeouts) {
    struct Case {
        const char* what;
        int32_t interval, multiplier, constant;
        std::string before; // sent before the read
        int laterMs;        // then "later" after this (-1: nothing)
        int count, got;
        long atLeastMs, belowMs;
    } cases[] = {
        {"silent line: the total", 20, 25, 15, "", -1, 1, 0, 35, 500},
        {"default: what is there, at once", -1, 0, 0, "abc", -1, 10, 3, 0, 100},
        {"default, nothing there", -1, 0, 0, "", -1, 10, 0, 0, 100},
        {"total with part of it", 0, 10, 100, "ab", -1, 3, 2, 120, 1000},
        {"interval ends the read in the gap", 50, 0, 0, "12", 400, 4, 2, 40, 390},
        {"first byte waited for", -1, -1, 300, "", 60, 10, 5, 50, 290},
    };
    port.OpenPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        port.PurgeBuffers(true, true);
        SetReadTimeouts(c.interval, c.multiplier, c.constant);
        line->PeerWrite(c.before.data(), c.before.size());
        std::thread peer([&] {
            if (c.laterMs < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.laterMs));
            line->PeerWrite("later", 5);
        });
        std::string got;
        const auto start = Clock::now();
        EXPECT_EQ(port.ReadText(got, c.count), c.got);
        const long ms = MsSince(start);
        peer.join();
        EXPECT_EQ(got.size(), static_cast<size_t>(c.got));
        EXPECT_GE(ms, c.atLeastMs);
        EXPECT_LT(ms, c.belowMs);
    }
}

TEST_F(LocalPort, PurgeDropsItsQueueAndAFullLineEndsAWriteAtItsTimeout) {
    port.OpenPort();
    line->PeerWrite("stale", 5);
    ASSERT_EQ(port.WriteText("unsent"), 6);
    EXPECT_EQ(port.PendingInputCount(), 5);
    port.PurgeBuffers(true, false);
    EXPECT_EQ(port.PendingInputCount(), 0);
    port.PurgeBuffers(false, true);
    EXPECT_EQ(Taken(*line), ""); // the peer had not taken them yet
    ASSERT_EQ(port.WriteText("sent"), 4);
    EXPECT_EQ(Taken(*line), "sent");

    // A peer that does not read: once the line is full the write stops at
    // the port's time-out.
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(150);
    const std::string big(3 * LocalLine::kQueueBytes, 'q');
    const auto start = Clock::now();
    EXPECT_EQ(port.WriteText(big), static_cast<int>(LocalLine::kQueueBytes));
    EXPECT_GE(MsSince(start), 140);
}

TEST_F(LocalPort, TheLineSettingsReachThePeerAtOnce) {
    port.SetBaudRate(br2400);
    port.SetStopBits(sbTwoStopBits);
    port.FlowControl().SetFlowControl(fcHardware);
    port.Parity().SetBits(prOdd);
    port.OpenPort();
    Dcb dcb = line->PeerSettings();
    EXPECT_EQ(dcb.BaudRate, 2400u);
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_EQ(dcb.Parity, 1);
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_EQ(dcb.fRtsControl, 2);
    port.SetBaudRate(br19200); // while open: no re-open
    EXPECT_EQ(line->PeerSettings().BaudRate, 19200u);
    EXPECT_EQ(port.ModemSignals(), (TComSignals{csCTS, csDSR, csRLSD}));
    EXPECT_NO_THROW(port.SetDTRLine(true));
    EXPECT_NO_THROW(port.SetBreakState(true));
    // What a driver refuses is refused here too.
    port.SetBaudRate(brCustom);
    EXPECT_THROW(port.SetCustomBaudRate(0), EComPort);
}

TEST_F(LocalPort, BytesWrittenBeforeTheCloseStillReachThePeer) {
    port.OpenPort();
    ASSERT_EQ(port.WriteText(std::string("\xFF\x00", 2)), 2);
    port.ClosePort();
    EXPECT_EQ(Taken(*line), std::string("\xFF\x00", 2));
}

TEST_F(LocalPort, APeerThatGoesAwayFailsEveryCallWithItsReason) {
    port.OpenPort();
    line->HangUp();
    struct Case {
        const char* what;
        std::function<void()> call;
        int code;
    } cases[] = {
        {"write", [&] { port.WriteText("x"); }, 2},
        {"read",
         [&] {
             std::string s;
             port.ReadText(s, 1);
         },
         3},
        {"purge", [&] { port.PurgeBuffers(true, true); }, 5},
        {"queue", [&] { port.PendingInputCount(); }, 10},
    };
    for (const Case& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.what << " succeeded";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), c.code) << c.what;
            EXPECT_EQ(e.OsErrorCode(), serial::oserr::kGone) << c.what;
            EXPECT_NE(std::string(e.what()).find("sim:test: the simulator has stopped"),
                      std::string::npos)
                << e.what();
        }
    }
}

TEST_F(LocalPort, TheEventThreadAnnouncesArrivalsAndClosingEndsItsWait) {
    platform::SetMainThread();
    std::string received;
    port.OnRxChar = [&](TCustomComPort* p, int count) {
        std::string s;
        p->ReadText(s, count);
        received += s;
    };
    port.SetEvents({evRxChar});
    port.OpenPort();
    ASSERT_TRUE(port.EventThreadRunning());
    line->PeerWrite("hello", 5);
    EXPECT_TRUE(testsupport::ServeUntil([&] { return received == "hello"; }));
    const auto start = Clock::now();
    port.ClosePort(); // the thread is waiting for the next event
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_FALSE(port.EventThreadRunning());
}

// The device's own event rules, below the event thread.
TEST(LocalDevice, EventsAreReportedOnceAndOnlyWhenMasked) {
    auto line = LocalLine::Create("sim:events");
    LocalComDevice device;
    ASSERT_EQ(device.Open(line->Name()), 0);
    Dcb dcb;
    dcb.BaudRate = 9600;
    dcb.EvtChar = '\n';
    ASSERT_EQ(device.SetState(dcb), 0);
    const std::string nearlyFull(LocalLine::kQueueBytes * 8 / 10, 'f');
    struct Case {
        const char* what;
        uint32_t mask;
        std::function<void()> happen;
        uint32_t reported;
    } cases[] = {
        {"a byte", EV_RXCHAR | EV_TXEMPTY, [&] { line->PeerWrite("a", 1); }, EV_RXCHAR},
        {"the event byte", EV_RXCHAR | EV_RXFLAG, [&] { line->PeerWrite("\n", 1); },
         EV_RXCHAR | EV_RXFLAG},
        {"the event byte unmasked", EV_RXCHAR, [&] { line->PeerWrite("\n", 1); }, EV_RXCHAR},
        {"output taken", EV_TXEMPTY,
         [&] {
             size_t done = 0;
             device.WriteSome("ab", 2, done);
             Taken(*line);
         },
         EV_TXEMPTY},
        {"80 % of the queue", EV_RX80FULL,
         [&] { line->PeerWrite(nearlyFull.data(), nearlyFull.size()); }, EV_RX80FULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(device.Purge(PURGE_RXCLEAR | PURGE_TXCLEAR), 0);
        ASSERT_EQ(device.SetCommMask(c.mask), 0);
        c.happen(); // before the wait: kept for it
        uint32_t mask = 0;
        EXPECT_EQ(device.WaitCommEvent(mask, platform::kNoStop), 0);
        EXPECT_EQ(mask, c.reported);
    }
}

TEST(LocalDevice, AWaitEndsOnTheStopAMaskChangeAndTheClose) {
    auto line = LocalLine::Create("sim:wait");
    LocalComDevice device;
    ASSERT_EQ(device.Open(line->Name()), 0);
    struct Result {
        int err;
        uint32_t mask;
    };
    auto wait = [&] {
        return std::async(std::launch::async, [&] {
            uint32_t mask = 123;
            int err = device.WaitCommEvent(mask, platform::kNoStop);
            return Result{err, mask};
        });
    };
    struct Case {
        const char* what;
        std::function<void()> end;
        int err;
        bool lasts; // a wait that begins after it ends at once too
    } cases[] = {
        {"stop", [&] { device.InterruptEventWait(); }, 0, true},
        {"mask 0", [&] { device.SetCommMask(0); }, 0, false},
        {"close", [&] { device.Close(); }, serial::oserr::kClosed, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(device.SetCommMask(EV_RXCHAR), 0);
        auto pending = wait();
        EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        c.end();
        ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        const Result r = pending.get();
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.mask, 0u);
        if (c.lasts) {
            uint32_t mask = 1;
            EXPECT_EQ(device.WaitCommEvent(mask, platform::kNoStop), c.err);
            EXPECT_EQ(mask, 0u);
        }
    }
    // Closed: every call says so, and a write reaches nobody.
    size_t done = 7;
    ComStatus status;
    EXPECT_EQ(device.WriteSome("x", 1, done), serial::oserr::kClosed);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(device.ReadSome(&status, 1, done), serial::oserr::kClosed);
    EXPECT_EQ(device.ClearError(status), serial::oserr::kClosed);
    EXPECT_EQ(device.Purge(PURGE_RXCLEAR), serial::oserr::kClosed);
    EXPECT_EQ(Taken(*line), "");
}
