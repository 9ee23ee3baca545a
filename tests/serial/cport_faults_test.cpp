// The port object used as a careless host or a faulty device would use it:
// handlers that call back into an open or close, huge or failing reads, a
// failing purge, out-of-range settings and names that are no serial line.
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedDevice.h"
#include "serial/CPort.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <new>
#include <string>

using namespace serial;
using testsupport::DeviceScript;
using testsupport::PtyPair;
using testsupport::ScriptedDevice;
using testsupport::ScriptedFactory;

namespace {

// ---------------------------------------------------------------- serial rules

// A handler of any event the close raises may close the port again ("close
// when the interface goes away"): the close under way completes once.
TEST(NestedCalls, ClosingFromAHandlerOfTheCloseClosesOnce) {
    using Install = std::function<void(TComPort&, std::function<void(TCustomComPort*)>)>;
    struct Case {
        const char* name;
        Install install;
    } cases[] = {
        {"OnCTSChange",
         [](TComPort& p, auto h) { p.OnCTSChange = [h](TCustomComPort* s, bool) { h(s); }; }},
        {"OnDSRChange",
         [](TComPort& p, auto h) { p.OnDSRChange = [h](TCustomComPort* s, bool) { h(s); }; }},
        {"OnRLSDChange",
         [](TComPort& p, auto h) { p.OnRLSDChange = [h](TCustomComPort* s, bool) { h(s); }; }},
        {"OnBeforeClose", [](TComPort& p, auto h) { p.OnBeforeClose = h; }},
    };
    for (const auto& c : cases) {
        for (TComEvents events : {TComEvents{}, AllComEvents}) {
            SCOPED_TRACE(std::string(c.name) + (events.Empty() ? "" : ", event thread"));
            auto script = std::make_shared<DeviceScript>();
            TComPort port;
            port.SetDeviceFactory(ScriptedFactory(script));
            port.SetEvents(events);
            port.OpenPort();
            int calls = 0, afterClose = 0;
            c.install(port, [&](TCustomComPort* p) {
                ++calls;
                p->ClosePort();
                EXPECT_TRUE(p->Connected()) << "the nested close returns at once";
            });
            port.OnAfterClose = [&](TCustomComPort*) { ++afterClose; };
            port.ClosePort();
            EXPECT_FALSE(port.Connected());
            EXPECT_EQ(calls, 1);
            EXPECT_EQ(afterClose, 1);
            EXPECT_EQ(script->CountOf("Close"), 1u);
            EXPECT_EQ(port.Device(), nullptr);
        }
    }
}

// OnBeforeOpen that opens the port itself: the open under way goes on and
// the port ends up open once, with no failure reported.
TEST(NestedCalls, OpeningFromOnBeforeOpenIsANoOp) {
    PtyPair pty;
    TComPort port;
    port.SetEvents({});
    port.SetPort(pty.Path());
    int before = 0, after = 0;
    port.OnBeforeOpen = [&](TCustomComPort* p) {
        ++before;
        p->OpenPort();
        EXPECT_FALSE(p->Connected());
    };
    port.OnAfterOpen = [&](TCustomComPort*) { ++after; };
    EXPECT_NO_THROW(port.OpenPort());
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
}

struct FaultyPort : ::testing::Test {
    std::shared_ptr<DeviceScript> script = std::make_shared<DeviceScript>();
    TComPort port;
    FaultyPort() {
        port.SetDeviceFactory(ScriptedFactory(script));
        port.SetEvents({});
    }
};

// The text holds the bytes read, and no room is taken for bytes that never
// came, however large the count asked for.
TEST_F(FaultyPort, ReadTextTakesNoMemoryForBytesThatNeverCame) {
    port.OpenPort();
    struct Case {
        int count;
        size_t queued;
        size_t expected;
    } cases[] = {
        {1 << 26, 3, 3},
        {INT_MAX, 0, 0},
        {INT_MAX, 10000, 10000}, // more than one step of the read
        {20000, 20000, 20000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " asked, " + std::to_string(c.queued) + " queued");
        std::string queued(c.queued, '\0');
        for (size_t i = 0; i < queued.size(); ++i)
            queued[i] = static_cast<char>(i * 7);
        script->Feed(queued);
        std::string text;
        EXPECT_EQ(port.ReadText(text, c.count), static_cast<int>(c.expected));
        EXPECT_EQ(text, queued);
        ASSERT_LT(text.capacity(), 2 * c.expected + 65536);
    }
}

// A device that takes more memory than there is while reading.
class StarvedDevice : public ScriptedDevice {
  public:
    using ScriptedDevice::ScriptedDevice;
    int ReadSome(void*, size_t, size_t&) override { throw std::bad_alloc(); }
};

TEST_F(FaultyPort, ReadTextThatCannotBeServedRaisesEComPort) {
    port.SetDeviceFactory([s = script] { return std::make_unique<StarvedDevice>(s); });
    port.OpenPort();
    std::string text = "old";
    try {
        port.ReadText(text, 10);
        FAIL() << "no failure";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 3);
        EXPECT_EQ(e.OsErrorCode(), ENOMEM);
    }
    EXPECT_TRUE(text.empty());
}

// At the write time-out the bytes still queued are dropped. If that fails
// they go out later after all: the write fails instead of reporting a count.
TEST_F(FaultyPort, AFailedPurgeAtTheWriteTimeoutIsTheWritesFailure) {
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(50);
    port.OpenPort();
    {
        std::lock_guard lock(script->mutex);
        script->outQueue = 3; // held in the driver
    }
    script->Fail("Purge", EINVAL);
    try {
        int n = port.WriteText("abc");
        FAIL() << "reported " << n;
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 5);
        EXPECT_EQ(e.OsErrorCode(), EINVAL);
    }
    EXPECT_TRUE(port.Connected());
}

TEST_F(FaultyPort, SyncMethodOutsideTheTypeIsRefusedWithCode7) {
    for (bool open : {false, true}) {
        SCOPED_TRACE(open ? "open" : "closed");
        if (open) port.OpenPort();
        for (int value : {3, 255}) {
            try {
                port.SetSyncMethod(static_cast<TSyncMethod>(value));
                ADD_FAILURE() << value << " accepted";
            } catch (const EComPort& e) {
                EXPECT_EQ(e.PortErrorCode(), 7);
                EXPECT_EQ(e.OsErrorCode(), EINVAL);
            }
            EXPECT_EQ(port.SyncMethod(), smThreadSync);
        }
    }
    port.ClosePort();
    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
}

// ---------------------------------------------------------------- port names

TEST(PortNames, ANulInTheNameOrThePtyMultiplexerIsRefusedWithCode1) {
    PtyPair pty;
    struct Case {
        std::string name;
        int os;
        bool notSerial;
    } cases[] = {
        {pty.Path() + std::string("\0x", 2), EINVAL, false}, // would open the pty
        {std::string("\0", 1), EINVAL, false},
        {"ptmx", ENOTTY, true},
        {"/dev/ptmx", ENOTTY, true},
        {"\\\\.\\ptmx", ENOTTY, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TComPort port;
        port.SetEvents({});
        port.SetPort(c.name);
        try {
            port.OpenPort();
            ADD_FAILURE() << "opened";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 1);
            EXPECT_EQ(e.OsErrorCode(), c.os);
            const std::string text = e.what();
            EXPECT_EQ(text.rfind("Unable to open com port", 0), 0u) << text;
            EXPECT_EQ(text.find("is not a serial port") != std::string::npos, c.notSerial) << text;
        }
        EXPECT_FALSE(port.Connected());
        EXPECT_EQ(port.Device(), nullptr);
    }
}

} // namespace
