// The port's line observer: every byte as the device took or gave it, the line
// events, on which thread they come, and that watching changes nothing on the
// line.
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedDevice.h"
#include "serial/CPort.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace serial;
using testsupport::DeviceScript;
using testsupport::PtyPair;
using testsupport::ScriptedFactory;

namespace {

struct Seen {
    uint64_t micros = 0;
    std::string what; // "> bytes", "< bytes" or "event value detail"
    std::thread::id thread;
};

class Recorder : public TraceObserver {
  public:
    void OnTraffic(uint64_t micros, TraceDirection d, const uint8_t* bytes, size_t n) override {
        Add(micros, (d == TraceDirection::Written ? "> " : "< ") +
                        std::string(reinterpret_cast<const char*>(bytes), n));
    }
    void OnLineEvent(uint64_t micros, TraceLineEvent e, uint32_t value,
                     std::string_view detail) override {
        std::string s = std::string(TraceLineEventName(e)) + " " + std::to_string(value);
        if (!detail.empty()) s += " " + std::string(detail);
        Add(micros, s);
    }
    std::vector<Seen> All() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> out;
        for (const Seen& s : All())
            out.push_back(s.what);
        return out;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        seen_.clear();
    }
    bool WaitFor(const std::string& what, int ms = 5000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            for (const Seen& s : All())
                if (s.what == what) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

  private:
    void Add(uint64_t micros, std::string what) {
        std::lock_guard lock(mutex_);
        seen_.push_back({micros, std::move(what), std::this_thread::get_id()});
    }
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

struct Traced : ::testing::Test {
    std::shared_ptr<DeviceScript> script = std::make_shared<DeviceScript>();
    Recorder recorder;
    TComPort port;
    Traced() {
        port.SetDeviceFactory(ScriptedFactory(script));
        port.SetEvents({});
        port.SetTraceObserver(&recorder);
    }
    ~Traced() override {
        port.ClosePort();
        port.SetTraceObserver(nullptr);
    }
};

TEST_F(Traced, WritesAsTheDeviceTookThemAndReadsChunkByChunk) {
    port.OpenPort();
    recorder.Clear();
    script->writeChunk = 3; // the device takes three bytes a call
    EXPECT_EQ(port.WriteText(std::string("\x78\x98\x03\x00\xFF", 5)), 5);
    script->Feed(std::string("\x00\x81", 2));
    std::string got;
    EXPECT_EQ(port.ReadText(got, 10), 2);
    EXPECT_EQ(port.ReadText(got, 10), 0); // nothing came: nothing reported
    EXPECT_EQ(recorder.Texts(), (std::vector<std::string>{std::string("> \x78\x98\x03", 5),
                                                          std::string("> \x00\xFF", 4),
                                                          std::string("< \x00\x81", 4)}));
    std::vector<Seen> all = recorder.All();
    for (size_t i = 1; i < all.size(); ++i)
        EXPECT_LE(all[i - 1].micros, all[i].micros) << i;
}

TEST_F(Traced, LineEventsTheOwnerCauses) {
    struct Case {
        const char* name;
        std::function<void(TComPort&)> act;
        std::vector<std::string> seen;
    };
    const std::vector<Case> cases{
        {"open applies the settings", [](TComPort& p) { p.OpenPort(); },
         {"opened 0 /dev/COM1", "line-settings 9600 8N1"}},
        {"a new rate", [](TComPort& p) { p.SetBaudRate(br19200); }, {"line-settings 19200 8N1"}},
        {"seven bits, even parity, two stop bits",
         [](TComPort& p) {
             p.BeginSettingsUpdate();
             p.SetDataBits(dbSeven);
             p.Parity().SetBits(prEven);
             p.SetStopBits(sbTwoStopBits);
             p.EndSettingsUpdate();
         },
         {"line-settings 19200 7E2"}},
        {"DTR and break",
         [](TComPort& p) {
             p.SetDTRLine(false);
             p.SetBreakState(true);
             p.SetBreakState(false);
         },
         {"dtr 0", "break 1", "break 0"}},
        {"a purge of both queues", [](TComPort& p) { p.PurgeBuffers(true, true); },
         {"purged " + std::to_string(PURGE_RXCLEAR | PURGE_TXCLEAR)}},
        {"the close purges, then closes", [](TComPort& p) { p.ClosePort(); },
         {"purged " + std::to_string(PURGE_TXABORT | PURGE_RXABORT), "closed 0 COM1"}},
    };
    for (const Case& c : cases) {
        recorder.Clear();
        c.act(port);
        EXPECT_EQ(recorder.Texts(), c.seen) << c.name;
    }
}

TEST_F(Traced, FailuresAreReportedAndStillRaised) {
    struct Case {
        const char* call;
        int err;
        std::function<void(TComPort&)> act;
    };
    const std::vector<Case> cases{
        {"ReadSome", EIO,
         [](TComPort& p) {
             std::string s;
             p.ReadText(s, 4);
         }},
        {"WriteSome", ENXIO, [](TComPort& p) { p.WriteText("ab"); }},
        {"SetState", EINVAL, [](TComPort& p) { p.SetBaudRate(br4800); }},
    };
    port.OpenPort();
    for (const Case& c : cases) {
        recorder.Clear();
        script->Fail(c.call, c.err);
        EXPECT_THROW(c.act(port), EComPort) << c.call;
        script->HealAll();
        std::vector<std::string> seen = recorder.Texts();
        ASSERT_EQ(seen.size(), 1u) << c.call;
        EXPECT_EQ(seen[0].rfind("failure " + std::to_string(c.err) + " ", 0), 0u) << seen[0];
    }
}

TEST_F(Traced, ReceivedLineErrorsAreReportedOnce) {
    port.OpenPort();
    recorder.Clear();
    script->errors = CE_FRAME | CE_OVERRUN;
    port.ReadLineErrors();
    port.ReadLineErrors(); // cleared by the first look
    EXPECT_EQ(recorder.Texts(),
              std::vector<std::string>{"line-errors " + std::to_string(CE_FRAME | CE_OVERRUN)});
}

TEST_F(Traced, AWriteCutAtItsTimeOutSaysHowManyBytesWereDropped) {
    port.Timeouts().SetWriteTotalConstant(20);
    port.OpenPort();
    script->outQueue = 2; // the last two bytes never leave the driver
    recorder.Clear();
    EXPECT_EQ(port.WriteText("abcde"), 3);
    EXPECT_EQ(recorder.Texts(), (std::vector<std::string>{"> abcde", "write-timed-out 2"}));
}

TEST_F(Traced, WatchingChangesNoDeviceCall) {
    auto run = [this] {
        port.OpenPort();
        script->ClearRecord();
        port.WriteText("xy");
        script->Feed("z");
        std::string s;
        port.ReadText(s, 1);
        port.ModemSignals();
        port.ReadLineErrors();
        auto calls = script->Calls();
        port.ClosePort();
        return calls;
    };
    const auto watched = run();
    port.SetTraceObserver(nullptr);
    EXPECT_EQ(run(), watched);
    EXPECT_FALSE(recorder.All().empty());
}

// Modem-line changes and breaks come from the event thread's steps: with
// smNone on that thread itself, with smThreadSync on the main thread.
TEST_F(Traced, EventThreadReportsModemLinesAndBreaksOnItsOwnThread) {
    port.SetEvents(AllComEvents);
    port.SetSyncMethod(smNone);
    port.OpenPort();
    recorder.Clear();
    script->SetModemBits(MS_DSR_ON);
    script->PostEvents(EV_CTS);
    ASSERT_TRUE(recorder.WaitFor("modem-lines " + std::to_string(MS_DSR_ON)));
    script->PostEvents(EV_BREAK);
    ASSERT_TRUE(recorder.WaitFor("break-received 0"));
    for (const Seen& s : recorder.All())
        EXPECT_NE(s.thread, std::this_thread::get_id()) << s.what;
}

// Through a real pseudo-terminal: the bytes the peer got and sent are the
// bytes the observer saw.
TEST(TracedPty, TermiosDeviceReportsTheBytesOnTheLine) {
    PtyPair pty;
    Recorder recorder;
    TComPort port;
    port.SetPort(pty.Path());
    port.SetEvents({});
    port.SetTraceObserver(&recorder);
    port.OpenPort();
    port.WriteText(std::string("\x0C\x00", 2));
    EXPECT_EQ(pty.Receive(2, 2000), std::string("\x0C\x00", 2));
    pty.Send(std::string("\x5A", 1));
    port.Timeouts().SetReadTotalConstant(2000);
    std::string got;
    EXPECT_EQ(port.ReadText(got, 1), 1);
    port.ClosePort();
    std::vector<std::string> seen = recorder.Texts();
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen.front(), "opened 0 " + pty.Path());
    EXPECT_EQ(seen.back(), "closed 0 " + pty.Path());
    EXPECT_NE(std::find(seen.begin(), seen.end(), std::string("> \x0C\x00", 4)), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "< \x5A"), seen.end());
}

} // namespace
