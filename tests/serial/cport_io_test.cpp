// Transfers, status and line control against the scripted device: what a
// pseudo-terminal cannot show (modem lines, hold flags, line errors, held
// output) and every platform call failing in turn.
#include "tests/support/ScriptedDevice.h"
#include "serial/CPort.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace serial;
using testsupport::DeviceScript;
using testsupport::ScriptedFactory;

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

struct PortIo : ::testing::Test {
    std::shared_ptr<DeviceScript> script = std::make_shared<DeviceScript>();
    TComPort port;
    PortIo() {
        port.SetDeviceFactory(ScriptedFactory(script));
        port.SetEvents({});
        port.OpenPort();
        script->ClearRecord();
    }
    size_t TransferCalls() {
        return script->CountOf("ReadSome") + script->CountOf("WriteSome") +
               script->CountOf("WaitReadable") + script->CountOf("WaitWritable");
    }
};

TEST_F(PortIo, EmptyTransfersTouchNothing) {
    EXPECT_EQ(port.WriteText(""), 0);
    std::string s = "old";
    EXPECT_EQ(port.ReadText(s, 0), 0);
    EXPECT_EQ(s, "");
    s = "old";
    EXPECT_EQ(port.ReadText(s, -5), 0);
    EXPECT_EQ(s, "");
    EXPECT_TRUE(script->Calls().empty());
    // Nothing queued under the default time-outs: one look, an empty text.
    s = "old";
    EXPECT_EQ(port.ReadText(s, 10), 0);
    EXPECT_EQ(s, "");
    EXPECT_EQ(script->Calls(), std::vector<std::string>{"ReadSome"});
}

TEST_F(PortIo, DefaultTimeoutsTakeWhatIsQueued) {
    script->Feed(std::string("\x01\x00\xFF", 3));
    std::string s;
    EXPECT_EQ(port.ReadText(s, 10), 3);
    EXPECT_EQ(s, std::string("\x01\x00\xFF", 3));
    EXPECT_EQ(script->CountOf("WaitReadable"), 0u);
}

TEST_F(PortIo, ReadBytesAndTheBuildingBlocks) {
    script->Feed("abcd");
    char buf[4] = {};
    EXPECT_EQ(port.ReadBytes(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");

    // An operation for which nothing was issued completes at once with 0.
    IoOperation* op = port.NewIoOperation();
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(port.AwaitOperation(op), 0);
    std::string text;
    EXPECT_EQ(port.BeginReadText(text, 0, op), 0);
    EXPECT_EQ(port.AwaitOperation(op), 0);
    EXPECT_EQ(port.BeginWriteText("", op), 0);
    EXPECT_EQ(port.AwaitOperation(op), 0);
    EXPECT_EQ(port.BeginWriteText("xy", op), 2);
    EXPECT_EQ(port.AwaitOperation(op), 2);
    port.FreeIoOperation(op);
    EXPECT_EQ(op, nullptr);
    EXPECT_EQ(script->Written(), "xy");

    // No operation record: code 4 without an OS code, from all three.
    std::function<void()> calls[] = {
        [&] { port.BeginWriteBytes("a", 1, nullptr); },
        [&] { port.BeginReadBytes(buf, 1, nullptr); },
        [&] { port.AwaitOperation(nullptr); },
    };
    for (auto& call : calls) {
        try {
            call();
            ADD_FAILURE();
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 4);
            EXPECT_EQ(e.OsErrorCode(), -1);
            EXPECT_STREQ(e.what(), "Invalid Async parameter");
        }
    }
}

TEST_F(PortIo, ReadTimeoutsAreAppliedOnesNotStoredOnes) {
    port.BeginSettingsUpdate();
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(5000);
    // Still batched: the driver keeps "take what is queued".
    auto start = Clock::now();
    std::string s;
    EXPECT_EQ(port.ReadText(s, 1), 0);
    EXPECT_LT(MsSince(start), 1000);
    port.EndSettingsUpdate();
    std::thread feeder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        script->Feed("k");
    });
    EXPECT_EQ(port.ReadText(s, 1), 1);
    feeder.join();
    EXPECT_EQ(s, "k");
}

TEST_F(PortIo, HeldOutputReturnsShortAtTheWriteTimeout) {
    port.Timeouts().SetWriteTotalMultiplier(10);
    port.Timeouts().SetWriteTotalConstant(50); // 5 bytes: 100 ms
    {
        std::lock_guard lock(script->mutex);
        script->writeChunk = 2;   // the driver takes two bytes ...
        script->canWrite = false; // ... then never has room again
    }
    auto start = Clock::now();
    EXPECT_EQ(port.WriteText("12345"), 2);
    long ms = MsSince(start);
    EXPECT_GE(ms, 90);
    EXPECT_LT(ms, 1000);

    // Bytes the driver took but could not send (held for CTS) do not count,
    // and are dropped so they do not go out later.
    script->ClearRecord();
    {
        std::lock_guard lock(script->mutex);
        script->writeChunk = SIZE_MAX;
        script->outQueue = 3;
    }
    EXPECT_EQ(port.WriteText("abc"), 0);
    EXPECT_EQ(script->purges, std::vector<uint32_t>{PURGE_TXCLEAR});
}

TEST_F(PortIo, WriteWaitsUntilTheBytesLeftTheDriver) {
    {
        std::lock_guard lock(script->mutex);
        script->outQueue = 2;
    }
    std::thread line([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        std::lock_guard lock(script->mutex);
        script->outQueue = 0;
    });
    auto start = Clock::now();
    EXPECT_EQ(port.WriteText("ab"), 2);
    long ms = MsSince(start);
    line.join();
    EXPECT_GE(ms, 35);
    EXPECT_LT(ms, 900) << "well before the 1200 ms time-out";
    EXPECT_TRUE(script->purges.empty());
    EXPECT_LT(script->CountOf("OutputPending"), 30u) << "the drain wait must not poll hard";
}

TEST_F(PortIo, ModemSignalsMapLineByLine) {
    struct Case {
        uint32_t bits;
        TComSignals expected;
    } cases[] = {
        {0, {}},
        {MS_CTS_ON, {csCTS}},
        {MS_DSR_ON, {csDSR}},
        {MS_RING_ON, {csRing}},
        {MS_RLSD_ON, {csRLSD}},
        {MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, {csCTS, csDSR, csRing, csRLSD}},
    };
    for (auto c : cases) {
        script->SetModemBits(c.bits);
        EXPECT_EQ(port.ModemSignals(), c.expected) << c.bits;
    }
    EXPECT_EQ((TComSignals{csCTS, csRLSD}).ToBits(), 0x09) << "bit 0 CTS ... bit 3 RLSD";
}

TEST_F(PortIo, HoldFlagsAndPendingInput) {
    {
        std::lock_guard lock(script->mutex);
        script->holdFlags = 0x01 | 0x08;
    }
    EXPECT_EQ(port.LineHoldFlags(), 0x09);
    script->Feed("12345");
    EXPECT_EQ(port.PendingInputCount(), 5);
    port.PurgeBuffers(true, false);
    port.PurgeBuffers(false, true);
    port.PurgeBuffers(false, false);
    port.PurgeBuffers(true, true);
    EXPECT_EQ(port.PendingInputCount(), 0);
    EXPECT_EQ(script->purges, (std::vector<uint32_t>{PURGE_RXCLEAR, PURGE_TXCLEAR, 0,
                                                     PURGE_RXCLEAR | PURGE_TXCLEAR}));
}

TEST_F(PortIo, LineErrorsMapAndClear) {
    struct Case {
        uint32_t bits;
        bool check;
        TComErrors expected;
    } cases[] = {
        {CE_FRAME, false, {ceFrame}},
        {CE_RXPARITY, false, {}},
        {CE_RXPARITY, true, {ceRxParity}},
        {CE_OVERRUN, false, {ceOverrun}},
        {CE_RXOVER, false, {ceRxOver}},
        {CE_TXFULL, false, {ceTxFull}},
        {CE_BREAK, false, {ceBreak}},
        {CE_IOE, false, {ceIO}},
        {CE_MODE, false, {ceMode}},
        {0x0020 | 0x0040 | 0x0200, false, {}}, // bits outside the table are ignored
        {CE_FRAME | CE_RXPARITY | CE_OVERRUN, true, {ceFrame, ceRxParity, ceOverrun}},
    };
    for (auto c : cases) {
        port.Parity().SetCheck(c.check);
        {
            std::lock_guard lock(script->mutex);
            script->errors = c.bits;
        }
        EXPECT_EQ(port.ReadLineErrors(), c.expected) << c.bits;
        EXPECT_TRUE(port.ReadLineErrors().Empty()) << "reading clears";
    }
}

TEST_F(PortIo, LineControl) {
    port.SetDTRLine(true);
    port.SetDTRLine(false);
    port.SetBreakState(true);
    port.SetBreakState(false);
    EXPECT_EQ(script->escapes, (std::vector<Escape>{Escape::SetDTR, Escape::ClrDTR,
                                                    Escape::SetBreak, Escape::ClrBreak}));
    // Re-applying line settings brings the configured DTR state back; the
    // device is handed the Dcb with it every time.
    port.FlowControl().SetControlDTR(dtrEnable);
    EXPECT_EQ(script->states.back().fDtrControl, 1);
}

TEST_F(PortIo, EveryCallFailingRaisesItsCode) {
    struct Case {
        const char* call; // the device call that fails
        int code;         // the port error code expected
        std::function<void()> action;
    };
    std::string s;
    char buf[8];
    auto waitingRead = [&] {
        port.Timeouts().SetReadInterval(0);
        port.Timeouts().SetReadTotalConstant(50);
        port.ReadText(s, 1);
    };
    Case cases[] = {
        {"WriteSome", 2, [&] { port.WriteText("x"); }},
        {"OutputPending", 2, [&] { port.WriteText("x"); }},
        {"ReadSome", 3, [&] { port.ReadText(s, 1); }},
        {"ReadSome", 3, [&] { port.ReadBytes(buf, 1); }},
        {"WaitReadable", 3, waitingRead},
        {"Purge", 5, [&] { port.PurgeBuffers(true, true); }},
        {"Purge", 5, [&] { port.CancelPendingIO(); }},
        {"SetState", 7, [&] { port.SetBaudRate(br1200); }},
        {"SetTimeouts", 8, [&] { port.Timeouts().SetWriteTotalConstant(7); }},
        {"SetupQueues", 9, [&] { port.Buffer().SetOutputSize(64); }},
        {"ClearError", 10, [&] { port.PendingInputCount(); }},
        {"ClearError", 10, [&] { port.LineHoldFlags(); }},
        {"ClearError", 10, [&] { port.ReadLineErrors(); }},
        {"ModemStatus", 11, [&] { port.ModemSignals(); }},
        {"EscapeFunction", 12, [&] { port.SetDTRLine(true); }},
        {"EscapeFunction", 12, [&] { port.SetBreakState(true); }},
    };
    int errnos[] = {EIO, EINVAL, EPERM};
    int i = 0;
    for (auto& c : cases) {
        int err = errnos[i++ % 3];
        script->HealAll();
        port.Timeouts().SetReadInterval(-1);
        port.Timeouts().SetReadTotalConstant(0);
        script->Fail(c.call, err);
        try {
            c.action();
            ADD_FAILURE() << c.call << " did not raise";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), c.code) << c.call;
            EXPECT_EQ(e.OsErrorCode(), err) << c.call;
            EXPECT_EQ(std::string(e.what()),
                      ComErrorText(c.code) + " (win error code: " + std::to_string(err) + ")")
                << c.call;
        }
        EXPECT_TRUE(port.Connected()) << c.call;
    }
}

TEST(PortIoClosed, OperationsOnAClosedPortRaiseTheirCodes) {
    TComPort port;
    std::string s;
    char buf[1];
    struct Case {
        int code;
        std::function<void()> action;
    } cases[] = {
        {2, [&] { port.WriteText("x"); }},    {3, [&] { port.ReadText(s, 1); }},
        {3, [&] { port.ReadBytes(buf, 1); }}, {5, [&] { port.PurgeBuffers(true, false); }},
        {5, [&] { port.CancelPendingIO(); }}, {10, [&] { port.PendingInputCount(); }},
        {11, [&] { port.ModemSignals(); }},   {12, [&] { port.SetDTRLine(true); }},
    };
    for (auto& c : cases) {
        try {
            c.action();
            ADD_FAILURE() << c.code;
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), c.code);
            EXPECT_EQ(e.OsErrorCode(), EBADF);
        }
    }
    // Empty transfers need no device, closed or not.
    EXPECT_EQ(port.WriteText(""), 0);
    EXPECT_EQ(port.ReadText(s, 0), 0);
}

TEST(ComErrors, TableAndMessages) {
    EXPECT_EQ(ComErrorText(1), "Unable to open com port");
    EXPECT_EQ(ComErrorText(13), "TransmitCommChar function failed");
    EXPECT_EQ(ComErrorText(23), "Registry error");
    EXPECT_EQ(ComErrorText(0), "");
    EXPECT_EQ(ComErrorText(24), "");
    EComPort plain(20);
    EXPECT_EQ(plain.OsErrorCode(), -1);
    EXPECT_EQ(plain.PortErrorCode(), 20);
    EXPECT_STREQ(plain.what(), "Cannot wait for event if event thread is created");
    EComPort withOs(23, 2);
    EXPECT_STREQ(withOs.what(), "Registry error (win error code: 2)");
    EComPort negative(1, -7);
    EXPECT_STREQ(negative.what(), "Unable to open com port (win error code: -7)");
}

} // namespace
