// The event thread against handlers that close or free the port at awkward
// moments, and a device that refuses the event mask.
#include "tests/support/PtyPair.h"
#include "serial/ComThread.h"
#include "tests/support/MainQueue.h"
#include "tests/support/ScriptedDevice.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace serial;
using namespace testsupport;
using testsupport::DeviceScript;
using testsupport::PtyPair;
using testsupport::ScriptedDevice;
using testsupport::ScriptedFactory;

namespace {

// Waits (without serving the owner's queue) until `flag` is set.
bool WaitFor(const std::atomic<bool>& flag, uint32_t ms = 5000) {
    auto deadline = platform::Deadline::After(ms);
    while (!flag.load()) {
        if (deadline.Reached()) return false;
        platform::Sleep(1);
    }
    return true;
}

// A device whose status call, made on the owner's thread, is held inside the
// device until the event thread has started to close the port, and then for
// a while longer, so the close runs while the call is in progress.
struct Hold {
    std::atomic<bool> armed{false};
    std::atomic<bool> inside{false};
    std::atomic<bool> closing{false};
};

class HeldStatusDevice : public ScriptedDevice {
  public:
    HeldStatusDevice(std::shared_ptr<DeviceScript> script, std::shared_ptr<Hold> hold)
        : ScriptedDevice(std::move(script)), hold_(std::move(hold)) {}
    int ClearError(ComStatus& status) override {
        if (hold_->armed && platform::IsMainThread()) {
            hold_->inside = true;
            WaitFor(hold_->closing);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return ScriptedDevice::ClearError(status);
    }

  private:
    std::shared_ptr<Hold> hold_;
};

// Under smNone a handler runs on the event thread; one that closes the port,
// or frees it, while the owner's thread is inside a call on the same port
// must not free the device under that call. The call completes; afterwards
// the closed port raises its closed-port error.
TEST(EventThreadClose, ACloseOrFreeOnTheEventThreadWaitsForTheOwnersCall) {
    for (bool free : {false, true}) {
        SCOPED_TRACE(free ? "port freed" : "port closed");
        auto line = std::make_shared<DeviceScript>();
        auto hold = std::make_shared<Hold>();
        auto* port = new TComPort;
        port->SetDeviceFactory(
            [line, hold] { return std::make_unique<HeldStatusDevice>(line, hold); });
        port->SetSyncMethod(smNone);
        port->SetEvents(TComEvents{evRing});
        port->OpenPort();
        std::atomic<bool> done{false};
        port->OnRing = [&done, free, hold](TCustomComPort* p) {
            // Freeing the port frees this handler too: keep what is needed after.
            std::atomic<bool>* finished = &done;
            auto held = hold;
            if (!WaitFor(held->inside)) ADD_FAILURE() << "the owner's call never came";
            held->closing = true;
            if (free)
                delete p;
            else
                p->ClosePort();
            finished->store(true);
        };
        hold->armed = true;
        line->Feed("xy");
        line->PostEvents(EV_RING);
        EXPECT_EQ(port->PendingInputCount(), 2);
        ASSERT_TRUE(WaitFor(done));
        if (free) continue;
        EXPECT_FALSE(port->Connected());
        try {
            port->PendingInputCount();
            ADD_FAILURE() << "a closed port answered";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 10);
            EXPECT_EQ(e.OsErrorCode(), EBADF);
        }
        delete port;
    }
}

// The same on a real line, with the owner calling in a loop: every call
// either answers from the open device or raises the closed-port error.
TEST(EventThreadClose, OwnerCallsDuringACloseOnTheEventThreadNeverSeeAFreedDevice) {
    PtyPair pty;
    TComPort port;
    port.SetPort(pty.Path());
    port.SetSyncMethod(smNone);
    port.SetEvents(TComEvents{evRxChar});
    port.OnRxChar = [](TCustomComPort* p, int) { p->ClosePort(); };
    port.OpenPort();
    auto deadline = platform::Deadline::After(5000);
    int answers = 0;
    for (;;) {
        if (answers == 1) {
            ASSERT_EQ(write(pty.Master(), "z", 1), 1);
        }
        try {
            port.PendingInputCount();
            port.LineHoldFlags();
            ++answers;
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 10);
            EXPECT_EQ(e.OsErrorCode(), EBADF);
            break;
        }
        ASSERT_FALSE(deadline.Reached()) << "the port was never closed";
        std::this_thread::yield();
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_GT(answers, 0);
}

class EventThreadFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        line = std::make_shared<DeviceScript>();
        port.SetPort("/dev/scripted");
        port.SetDeviceFactory(ScriptedFactory(line));
    }
    void TearDown() override { port.ClosePort(); }

    testsupport::RecordingHost host;
    std::shared_ptr<DeviceScript> line;
    TComPort port;
};

// A delivery still queued when the owner closes is taken by the close's wait;
// a closing port runs no processing step for it, so its handler cannot
// close the port a second time under the close.
TEST_F(EventThreadFaults, ADeliveryServedByTheClosesWaitRunsNoStep) {
    for (TSyncMethod method : {smThreadSync, smWindowSync}) {
        SCOPED_TRACE(static_cast<int>(method));
        std::atomic<int> rings{0};
        port.OnRing = [&](TCustomComPort* p) {
            ++rings;
            p->ClosePort();
        };
        port.SetSyncMethod(method);
        port.OpenPort();
        line->PostEvents(EV_RING);
        ASSERT_TRUE(WaitQueued());
        port.ClosePort();
        EXPECT_FALSE(port.Connected());
        EXPECT_EQ(rings, 0);
        EXPECT_EQ(line->CountOf("Close"), 1u);
        line->ClearRecord();
    }
}

// A device that refuses the event mask leaves a thread that never reports:
// the open fails with the refusal's code, like a thread that cannot start.
TEST_F(EventThreadFaults, ARefusedEventMaskFailsTheOpen) {
    bool afterOpen = false;
    port.OnAfterOpen = [&](TCustomComPort*) { afterOpen = true; };
    line->Fail("SetCommMask", EMFILE);
    try {
        port.OpenPort();
        FAIL() << "opened";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 1);
        EXPECT_EQ(e.OsErrorCode(), EMFILE);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.EventThreadRunning());
    EXPECT_FALSE(afterOpen);
    EXPECT_FALSE(line->isOpen);
    EXPECT_EQ(port.Device(), nullptr);

    line->HealAll();
    EXPECT_NO_THROW(port.OpenPort());
    EXPECT_TRUE(port.EventThreadRunning());
}

} // namespace
