// Event delivery through a scripted device: the order and data of the
// processing steps, the three delivery methods, failures, and the stop.
#include "serial/ComThread.h"
#include "tests/support/MainQueue.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/ScriptedDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace serial;
using namespace testsupport;
using testsupport::DeviceScript;
using testsupport::ScriptedFactory;

namespace {

// What the handlers saw, on which thread.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> calls;
    std::vector<bool> onMain;

    void Add(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
        onMain.push_back(platform::IsMainThread());
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
    size_t Size() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
    void Clear() {
        std::lock_guard lock(mutex);
        calls.clear();
        onMain.clear();
    }
    bool AllOnMain(bool expected) {
        std::lock_guard lock(mutex);
        for (bool m : onMain)
            if (m != expected) return false;
        return true;
    }
};

class ComThreadScripted : public ::testing::Test {
  protected:
    void SetUp() override {
        line = std::make_shared<DeviceScript>();
        port.SetPort("/dev/scripted");
        port.SetDeviceFactory(ScriptedFactory(line));
        port.OnError = [this](TCustomComPort*, TComErrors e) {
            rec.Add("Error " + std::to_string(e.ToBits()));
        };
        port.OnRxChar = [this](TCustomComPort*, int n) { rec.Add("RxChar " + std::to_string(n)); };
        port.OnTxEmpty = [this](TCustomComPort*) { rec.Add("TxEmpty"); };
        port.OnBreak = [this](TCustomComPort*) { rec.Add("Break"); };
        port.OnRing = [this](TCustomComPort*) { rec.Add("Ring"); };
        port.OnCTSChange = [this](TCustomComPort*, bool on) { rec.Add(on ? "CTS on" : "CTS off"); };
        port.OnDSRChange = [this](TCustomComPort*, bool on) { rec.Add(on ? "DSR on" : "DSR off"); };
        port.OnRxFlag = [this](TCustomComPort*) { rec.Add("RxFlag"); };
        port.OnRLSDChange = [this](TCustomComPort*, bool on) {
            rec.Add(on ? "RLSD on" : "RLSD off");
        };
        port.OnRx80Full = [this](TCustomComPort*) { rec.Add("Rx80Full"); };
        port.OnRxBuf = [this](TCustomComPort*, const void*, int) { rec.Add("RxBuf"); };
    }
    void TearDown() override { port.ClosePort(); }

    // Opens and forgets what the open itself reported (the initial lines).
    void Open(TSyncMethod method, TComEvents events = AllComEvents) {
        port.SetSyncMethod(method);
        port.SetEvents(events);
        port.OpenPort();
        ASSERT_TRUE(port.EventThreadRunning());
        rec.Clear();
    }
    // The lines, the pending errors and the number of bytes waiting.
    void SetLine(uint32_t modem, uint32_t errors, size_t inQueue) {
        std::lock_guard lock(line->mutex);
        line->modemBits = modem;
        line->errors = errors;
        line->input.assign(inQueue, 'x');
    }
    // Events that a thread which ended left unreported.
    void ForgetEvents() {
        std::lock_guard lock(line->mutex);
        line->pendingEvents = 0;
    }
    std::vector<uint32_t> Masks() {
        std::lock_guard lock(line->mutex);
        return line->masks;
    }
    std::vector<uint32_t> Purges() {
        std::lock_guard lock(line->mutex);
        return line->purges;
    }
    bool WaitCalls(size_t n) {
        return ServeUntil([&] { return rec.Size() >= n; });
    }

    testsupport::RecordingHost host;
    std::shared_ptr<DeviceScript> line;
    TComPort port;
    Recorder rec;
};

const std::vector<std::string> kAllInOrder = {"Error 1",  "RxChar 5", "TxEmpty", "Break",
                                              "Ring",     "CTS on",   "DSR off", "RxFlag",
                                              "RLSD off", "Rx80Full"};

TEST_F(ComThreadScripted, OneWakeUpRunsEveryStepInTheFixedOrderUnderEachMethod) {
    struct Case {
        TSyncMethod method;
        bool onMain;
    };
    for (Case c : {Case{smThreadSync, true}, Case{smWindowSync, true}, Case{smNone, false}}) {
        SCOPED_TRACE(static_cast<int>(c.method));
        Open(c.method);
        SetLine(MS_CTS_ON, CE_FRAME, 5);
        line->PostEvents(0xFFFFFFFF); // every bit, known or not
        ASSERT_TRUE(WaitCalls(kAllInOrder.size()));
        ServeFor(50);
        EXPECT_EQ(rec.Calls(), kAllInOrder); // OnRxBuf is never fired
        EXPECT_TRUE(rec.AllOnMain(c.onMain));
        port.ClosePort();
        rec.Clear();
    }
}

TEST_F(ComThreadScripted, StepsWithNothingToReportFireNothing) {
    Open(smThreadSync);
    SetLine(0, 0, 0);
    line->PostEvents(EV_ERR | EV_RXCHAR | EV_RING); // no errors, no bytes waiting
    ASSERT_TRUE(WaitCalls(1));
    ServeFor(50);
    EXPECT_EQ(rec.Calls(), std::vector<std::string>{"Ring"});
}

TEST_F(ComThreadScripted, SignalEventsReportTheLineAsItIsWhenProcessed) {
    Open(smWindowSync);
    struct Case {
        uint32_t event, modem;
        std::string expected;
    } cases[] = {
        {EV_RLSD, MS_RLSD_ON, "RLSD on"}, {EV_RLSD, 0, "RLSD off"}, {EV_CTS, 0, "CTS off"},
        {EV_DSR, MS_DSR_ON, "DSR on"},    {EV_RING, 0, "Ring"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        rec.Clear();
        SetLine(c.modem, 0, 0);
        line->PostEvents(c.event);
        ASSERT_TRUE(WaitCalls(1));
        ServeFor(30);
        EXPECT_EQ(rec.Calls(), std::vector<std::string>{c.expected});
    }
}

TEST_F(ComThreadScripted, OnlyTheOpenEventsReachTheDeviceAndTheOwner) {
    port.SetSyncMethod(smThreadSync);
    port.SetEvents(TComEvents{evRxChar});
    SetLine(MS_CTS_ON, 0, 2);
    port.OpenPort();
    // The open itself reports the lines once.
    EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"CTS on", "DSR off", "RLSD off"}));
    rec.Clear();
    // Changing Events while open changes nothing on the line.
    port.SetEvents(AllComEvents);
    ASSERT_EQ(Masks(), std::vector<uint32_t>{EV_RXCHAR});
    line->PostEvents(EV_CTS | EV_RING | EV_TXEMPTY);
    line->PostEvents(EV_RXCHAR | EV_CTS);
    ASSERT_TRUE(WaitCalls(1));
    ServeFor(50);
    EXPECT_EQ(rec.Calls(), std::vector<std::string>{"RxChar 2"});
}

TEST_F(ComThreadScripted, EmptyEventsStartNoThread) {
    port.SetEvents(TComEvents{});
    port.OpenPort();
    EXPECT_FALSE(port.EventThreadRunning());
    EXPECT_TRUE(Masks().empty());
}

TEST_F(ComThreadScripted, TheEndOfTheThreadClearsTheMaskAndDiscardsBothQueues) {
    Open(smThreadSync);
    port.ClosePort();
    ASSERT_FALSE(Masks().empty());
    EXPECT_EQ(Masks().back(), 0u);
    // After the close's own abort, the thread's clear of both queues.
    auto purges = Purges();
    ASSERT_EQ(purges.size(), 2u);
    EXPECT_EQ(purges[0], PURGE_TXABORT | PURGE_RXABORT);
    EXPECT_EQ(purges[1], PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// An exception from a handler, or from a status query, ends the thread under
// smThreadSync and smNone: nothing more arrives, nobody is told, the close
// succeeds, and a re-open delivers again.
TEST_F(ComThreadScripted, AnExceptionInProcessingEndsTheThreadUntilReopened) {
    struct Case {
        TSyncMethod method;
        bool fromQuery;
    };
    for (Case c : {Case{smThreadSync, false}, Case{smNone, false}, Case{smThreadSync, true}}) {
        SCOPED_TRACE(std::to_string(c.method) + (c.fromQuery ? " query" : " handler"));
        std::atomic<int> rxCalls{0};
        port.OnRxChar = [&](TCustomComPort*, int) {
            ++rxCalls;
            if (!c.fromQuery) throw std::runtime_error("handler failed");
        };
        ForgetEvents();
        Open(c.method);
        SetLine(MS_CTS_ON, 0, 1);
        if (c.fromQuery) line->Fail("ModemStatus", EIO);
        line->PostEvents(EV_RXCHAR | EV_CTS);
        ASSERT_TRUE(ServeUntil([&] { return rxCalls == 1; }));
        ServeFor(50);
        line->PostEvents(EV_RXCHAR);
        line->PostEvents(EV_RING);
        ServeFor(150);
        EXPECT_EQ(rxCalls, 1);
        EXPECT_EQ(rec.Size(), 0u); // the CTS step after the failing one did not run either
        line->HealAll();
        EXPECT_NO_THROW(port.ClosePort());
        EXPECT_TRUE(host.Messages().empty());
        line->HealAll();
        ForgetEvents();
        port.OnRxChar = [&](TCustomComPort*, int) { ++rxCalls; };
        Open(c.method);
        SetLine(MS_CTS_ON, 0, 1); // the close discarded the input
        line->PostEvents(EV_RXCHAR);
        EXPECT_TRUE(ServeUntil([&] { return rxCalls == 2; }));
        port.ClosePort();
        rxCalls = 0;
    }
}

TEST_F(ComThreadScripted, WindowSyncReportsAFailingStepAndGoesOn) {
    port.OnRing = [](TCustomComPort*) { throw std::runtime_error("ring handler failed"); };
    Open(smWindowSync);
    SetLine(0, 0, 3);
    line->PostEvents(EV_RING | EV_RXCHAR);
    ASSERT_TRUE(ServeUntil([&] { return rec.Size() == 1 && host.Messages().size() == 1; }));
    line->PostEvents(EV_RING);
    ASSERT_TRUE(ServeUntil([&] { return host.Messages().size() == 2; }));
    line->PostEvents(EV_RXCHAR);
    ASSERT_TRUE(WaitCalls(2));
    EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"RxChar 3", "RxChar 3"}));
    for (const auto& m : host.Messages()) {
        EXPECT_EQ(m.kind, platform::MessageKind::Error);
        EXPECT_EQ(m.text, "ring handler failed");
    }
}

// Under smWindowSync the event thread goes back to waiting as soon as the
// owner has taken the message; under smThreadSync it waits for the handlers.
TEST_F(ComThreadScripted, OnlyWindowSyncReleasesTheThreadWhileTheStepRuns) {
    struct Case {
        TSyncMethod method;
        bool released;
    };
    for (Case c : {Case{smThreadSync, false}, Case{smWindowSync, true}}) {
        SCOPED_TRACE(static_cast<int>(c.method));
        std::atomic<int> released{-1};
        port.OnRing = [&](TCustomComPort*) {
            auto deadline = platform::Deadline::After(c.released ? 5000 : 300);
            while (line->CountOf("WaitCommEvent") < 2 && !deadline.Reached())
                platform::Sleep(1);
            released = line->CountOf("WaitCommEvent") >= 2;
        };
        line->ClearRecord();
        Open(c.method);
        SetLine(0, 0, 0);
        line->PostEvents(EV_RING);
        ASSERT_TRUE(ServeUntil([&] { return released >= 0; }));
        EXPECT_EQ(released == 1, c.released);
        port.ClosePort();
    }
}

TEST_F(ComThreadScripted, WindowProcedureRunsStepsOnlyForItsMessageWhileOpen) {
    SetLine(0, 0, 4);
    EXPECT_EQ(PortWindowProc(port, PortEventMessage, EV_RING), 0);
    Open(smWindowSync);
    PortWindowProc(port, PortEventMessage + 1, EV_RING);
    PortWindowProc(port, PortEventMessage, 0x200); // no event has this bit
    PortWindowProc(port, PortEventMessage, EV_RING | EV_RXCHAR);
    EXPECT_EQ(rec.Size(), 0u);
    PortWindowProc(port, PortEventMessage, EV_RXCHAR);
    PortWindowProc(port, PortEventMessage, EV_RING);
    EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"RxChar 4", "Ring"}));
}

TEST_F(ComThreadScripted, AFailedWaitEndsTheThreadQuietly) {
    Open(smThreadSync);
    SetLine(0, 0, 0);
    ASSERT_TRUE(ServeUntil([&] { return line->CountOf("WaitCommEvent") == 1; }));
    line->Fail("WaitCommEvent", EIO); // from the next wait on
    line->PostEvents(EV_RING);        // ends the wait in progress
    ASSERT_TRUE(ServeUntil([&] {
        auto m = Masks();
        return m.size() == 2 && m.back() == 0;
    }));
    line->PostEvents(EV_RING);
    ServeFor(100);
    EXPECT_EQ(rec.Calls(), std::vector<std::string>{"Ring"});
    EXPECT_TRUE(port.Connected());
    EXPECT_NO_THROW(port.ClosePort());
    EXPECT_TRUE(host.Messages().empty());
}

// The owner is busy (not serving) while a delivery waits for it, then closes.
TEST_F(ComThreadScripted, ClosingWhileADeliveryWaitsForTheOwnerCompletes) {
    for (TSyncMethod method : {smThreadSync, smWindowSync}) {
        SCOPED_TRACE(static_cast<int>(method));
        Open(method);
        SetLine(0, 0, 0);
        line->PostEvents(EV_RING);
        ASSERT_TRUE(WaitQueued());
        port.ClosePort(); // must not hang
        EXPECT_FALSE(port.Connected());
        // The queued delivery was taken while closing; a closing port
        // reports nothing more.
        EXPECT_EQ(rec.Calls(), (std::vector<std::string>{"CTS off", "DSR off", "RLSD off"}));
        rec.Clear();
    }
}

// A handler may close the port. The rest of that wake-up is dropped, the
// thread's clean-up still happens once, and the port can be opened again.
TEST_F(ComThreadScripted, AHandlerThatClosesThePortDoesNotDeadlock) {
    for (TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
        SCOPED_TRACE(static_cast<int>(method));
        std::atomic<bool> closed{false};
        port.OnRxChar = [&](TCustomComPort* p, int) {
            rec.Add("RxChar");
            p->ClosePort();
            closed = true;
        };
        {
            std::lock_guard lock(line->mutex);
            line->masks.clear();
            line->purges.clear();
        }
        Open(method);
        SetLine(0, 0, 1);
        line->PostEvents(EV_RXCHAR | EV_TXEMPTY | EV_RING);
        ASSERT_TRUE(ServeUntil([&] { return closed.load(); }));
        ServeFor(50);
        EXPECT_FALSE(port.Connected());
        // Under smWindowSync each event is its own message: the close takes
        // the later ones, but a closing port runs no step for them.
        EXPECT_EQ(rec.Calls(),
                  (std::vector<std::string>{"RxChar", "CTS off", "DSR off", "RLSD off"}));
        auto purges = Purges();
        EXPECT_EQ(std::count(purges.begin(), purges.end(), PURGE_TXCLEAR | PURGE_RXCLEAR), 1);
        EXPECT_EQ(Masks().back(), 0u);

        port.OnRxChar = [&](TCustomComPort*, int) { rec.Add("again"); };
        ForgetEvents();
        Open(method);
        SetLine(0, 0, 1);
        line->PostEvents(EV_RXCHAR);
        EXPECT_TRUE(WaitCalls(1));
        port.ClosePort();
        rec.Clear();
    }
}

} // namespace
