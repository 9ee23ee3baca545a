// Lenz end to end: the component over the real serial layer, its event
// thread and a pseudo-terminal, against the simulated interface. Received
// bytes reach the parser only through OnRxChar on the main thread, so the
// test's main thread serves the main-thread queue while it waits.
#include "command_station/lenz/LenzMessages.h"
#include "command_station/MivoComm.h"
#include "Links.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "sim/LenzSim.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace command_station;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 700;

using testsupport::Bytes;

std::string M(std::initializer_list<int> bytes) {
    return sim::LenzFrame(Bytes(bytes));
}

std::string Bytes(const std::vector<sim::LineByte>& record) {
    std::string s;
    for (const sim::LineByte& r : record)
        s += static_cast<char>(r.byte);
    return s;
}

struct Event {
    TLenzAktie aktie;
    uint16_t d1, d2;
    uint8_t d3;
    double d4;
    bool onMain;
};

class LenzLine : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetMainThread();
        platform::SetTickCountStart(kBeforeWrap);
        com.SetDigitaalSysteem(dsLenz);
        com.SetPort(unit.DevicePath());
        com.SetOnLenzAddTekst([this](const std::string& t) { log.push_back(t); });
        com.LenzLogMasker = 0x2000;
        com.OnLenzDoeIets = [this](TLenzAktie a, uint16_t d1, uint16_t d2, uint8_t d3, double d4) {
            events.push_back({a, d1, d2, d3, d4, platform::IsMainThread()});
        };
        com.OpenPort();
    }
    void TearDown() override { com.ClosePort(); }

    // Serves the main thread's deliveries until `done` or `ms` passed.
    bool Pump(const std::function<bool()>& done, uint32_t ms = 3000) {
        platform::Deadline end = platform::Deadline::After(ms);
        for (;;) {
            platform::Host().ProcessMessages();
            if (done()) return true;
            if (end.Reached()) return false;
            platform::MainQueue().WaitForWork(std::min<uint32_t>(end.Remaining(), 5));
        }
    }
    std::string Received() { return Bytes(unit.ReceivedBytes()); }
    bool HasLine(const std::string& line) {
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    bool QueueEmpty() { return links::Lenz(com).LenzRij.empty(); }

    testsupport::RecordingHost host;
    std::vector<std::string> log;
    std::vector<Event> events;
    sim::LenzSim unit{0x36};
    TMivoCom com;
};

} // namespace

TEST_F(LenzLine, VersionOfNewAndOldInterfacesAndOfASilentOne) {
    EXPECT_DOUBLE_EQ(com.GetLenzVersie(), 3.6);
    EXPECT_EQ(Received(), M({0x21, 0x21}));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().aktie, laVersie);
    EXPECT_DOUBLE_EQ(events.back().d4, 3.6);
    EXPECT_TRUE(events.back().onMain);
    EXPECT_TRUE(QueueEmpty());

    unit.SetVersionByte(0x23);
    EXPECT_TRUE(com.GetVerbindingOke());
    EXPECT_DOUBLE_EQ(links::Lenz(com).LenzVersie, 2.3);

    unit.SetSilent(true);
    uint32_t start = platform::GetTickCount();
    EXPECT_EQ(com.GetLenzVersie(), 0.0);
    uint32_t took = platform::ElapsedSince(start);
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 2500u);
    EXPECT_FALSE(com.GetVerbindingOke());
    EXPECT_TRUE(host.Texts().empty());
}

TEST_F(LenzLine, PowerOnIsDoneOnlyAfterTheAwaitedBroadcasts) {
    com.LenzAntwoordTijd = 3000;
    for (uint8_t versie : {0x36, 0x23}) {
        SCOPED_TRACE(int(versie));
        unit.SetVersionByte(versie);
        ASSERT_GT(com.GetLenzVersie(), 0.0);
        unit.SetAnswerDelayMs(20);
        unit.ClearRecords();
        com.SysteemAan = false;
        EXPECT_TRUE(com.ZetSysteemAan());
        std::string r;
        com.StuurLoc(3, 0, false, true, {}, 3, 0, false, r);
        ASSERT_TRUE(Pump([&] { return unit.ReceivedBytes().size() >= 8; }));
        std::vector<sim::LineByte> in = unit.ReceivedBytes(), out = unit.SentBytes();
        size_t before = static_cast<size_t>(std::count_if(
            out.begin(), out.end(), [&](const sim::LineByte& b) { return b.atUs < in[3].atUs; }));
        // The next command went out after "ok" and every broadcast, not before.
        EXPECT_EQ(before, 3u + 3u * (versie >= 0x30 ? 2u : 4u));
        EXPECT_EQ(unit.Power(), sim::LenzPower::On);
        unit.SetAnswerDelayMs(0);
        ASSERT_TRUE(Pump([&] { return QueueEmpty(); }));
    }
}

TEST_F(LenzLine, BothFeedbackNibblesInOrder) {
    com.LenzAntwoordTijd = 0; // the default: the second request still waits
    unit.SetInputs(4, 0x35);
    ASSERT_TRUE(Pump([&] { return events.size() >= 2; }));
    events.clear();
    unit.ClearRecords();
    std::string r = "old";
    // Both requests are queued within one millisecond.
    for (uint32_t t = platform::GetTickCount(); platform::GetTickCount() == t;) {
    }
    com.GetBezetmelder(5, 0, false, false, r);
    EXPECT_TRUE(r.empty());
    ASSERT_TRUE(Pump([&] { return events.size() >= 2 && QueueEmpty(); }));
    // With no reply time the head goes again a millisecond after sending when
    // the answer is slower (a loaded machine): each request may repeat, but
    // the upper one comes only after the lower one.
    std::string heard = Received();
    for (const std::string& request : {M({0x42, 0x04, 0x80}), M({0x42, 0x04, 0x81})}) {
        size_t times = 0;
        for (; heard.compare(0, request.size(), request) == 0; ++times)
            heard.erase(0, request.size());
        EXPECT_GE(times, 1u);
    }
    EXPECT_EQ(heard, "");
    // The answer to a repeat is the same event again.
    auto same = [](const Event& a, const Event& b) {
        return a.aktie == b.aktie && a.d1 == b.d1 && a.d2 == b.d2 && a.d3 == b.d3;
    };
    events.erase(std::unique(events.begin(), events.end(), same), events.end());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].aktie, laBezetmelder);
    EXPECT_EQ(events[0].d1, 5);
    EXPECT_EQ(events[0].d2, 1);
    EXPECT_EQ(events[0].d3, 0x05);
    EXPECT_EQ(events[1].d2, 2);
    EXPECT_EQ(events[1].d3, 0x03);
    EXPECT_TRUE(events[0].onMain && events[1].onMain);
}

TEST_F(LenzLine, LocomotiveCommandsInBothFormsReachTheStation) {
    com.LenzAntwoordTijd = 3000;
    unit.SetVersionByte(0x23);
    ASSERT_DOUBLE_EQ(com.GetLenzVersie(), 2.3);
    unit.ClearRecords();
    std::string r;
    com.StuurLoc(3, 10, true, true, {}, 3, 0, false, r);
    EXPECT_EQ(r, Bytes({0xB3, 0x03, 0x76, 0x00}));
    ASSERT_TRUE(Pump([&] { return QueueEmpty(); }));
    EXPECT_EQ(Received(), Bytes({0xB3, 0x03, 0x76, 0x00, 0xC6}));
    sim::LenzLoco loco;
    ASSERT_TRUE(unit.Loco(3, loco));
    EXPECT_EQ(loco.speed, 10);
    EXPECT_TRUE(loco.forward && loco.light);

    unit.SetVersionByte(0x36);
    ASSERT_DOUBLE_EQ(com.GetLenzVersie(), 3.6);
    unit.ClearRecords();
    com.StuurLoc(1000, 10, true, true, {false, true, false, false}, 3, 0, false, r);
    EXPECT_EQ(r, Bytes({0xE4, 0x12, 0xC3, 0xE8, 0x96}));
    ASSERT_TRUE(Pump([&] { return QueueEmpty(); }));
    EXPECT_EQ(Received(), M({0xE4, 0x12, 0xC3, 0xE8, 0x96}) + M({0xE4, 0x20, 0xC3, 0xE8, 0x12}));
    ASSERT_TRUE(unit.Loco(1000, loco));
    EXPECT_EQ(loco.steps, 28);
    EXPECT_EQ(loco.speed, 10);
    EXPECT_EQ(loco.functions, 2);
    EXPECT_TRUE(loco.forward && loco.light);

    // The station's own report of it, through a status request.
    events.clear();
    links::Lenz(com).LenzZend(Bytes({0xE3, 0x00, 0xC3, 0xE8}));
    ASSERT_TRUE(Pump([&] { return QueueEmpty(); }));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].aktie, laLocV3);
    EXPECT_EQ(events[0].d1, 1000);
    EXPECT_EQ(events[0].d2, 0x8A);
    EXPECT_EQ(events[0].d3, 0x52);
}

TEST_F(LenzLine, CorruptedAnswerThenResynchronisation) {
    unit.CorruptNextAnswer();
    EXPECT_EQ(com.GetLenzVersie(), 0.0);
    EXPECT_TRUE(links::Lenz(com).LenzSynchroniseren);
    EXPECT_DOUBLE_EQ(com.GetLenzVersie(), 3.6);      // resent, answered
    ASSERT_TRUE(Pump([&] { return QueueEmpty(); })); // the second request, answered too
    EXPECT_EQ(
        log, (std::vector<std::string>{"- Error: XOR-byte klopt niet; start synchronisatie!",
                                       "- !!! ?? geen reactie; stuur opnieuw !!!",
                                       "- Gesynchroniseerd: 5 input bytes zijn verloren gegaan!"}));

    // A garbage byte before every message, and answers a byte at a time.
    log.clear();
    unit.SetGarbage(Bytes({0x00}));
    unit.SetChunkGapMs(3);
    EXPECT_DOUBLE_EQ(com.GetLenzVersie(), 3.6);
    EXPECT_EQ(
        log, (std::vector<std::string>{"- Error: XOR-byte klopt niet; start synchronisatie!",
                                       "- Gesynchroniseerd: 1 input bytes zijn verloren gegaan!"}));
}

TEST_F(LenzLine, ResendAfterTheReplyTimeAndSkipping) {
    com.LenzAntwoordTijd = 300;
    unit.SetSilent(true);
    std::string r;
    com.StuurLoc(3, 0, false, true, {}, 3, 0, false, r);
    com.StuurLoc(4, 0, false, true, {}, 3, 0, false, r);
    platform::Sleep(20);
    links::Lenz(com).LenzZend(""); // within the reply time
    platform::Sleep(320);
    links::Lenz(com).LenzZend(""); // resent
    platform::Sleep(320);
    com.LenzSlaOver = 1;
    links::Lenz(com).LenzZend(""); // skipped: the next goes out
    std::string loc3 = M({0xB3, 0x03, 0x40, 0x00}), loc4 = M({0xB3, 0x04, 0x40, 0x00});
    ASSERT_TRUE(unit.WaitForReceived(15, 2000));
    EXPECT_EQ(Received(), loc3 + loc3 + loc4);
    EXPECT_EQ(log,
              (std::vector<std::string>{"- !!! locomotiefopdracht geen reactie; stuur opnieuw !!!",
                                        "- !!! geen reactie terug; verstuur volgende"}));
    unit.SetSilent(false);
}

TEST_F(LenzLine, QueueFilledWhileClosedGoesOutAfterOpening) {
    com.ClosePort();
    std::string r;
    com.StuurLoc(3, 10, true, true, {}, 3, 0, false, r);
    platform::Sleep(30);
    EXPECT_EQ(Received(), "");
    com.OpenPort();
    EXPECT_DOUBLE_EQ(com.GetLenzVersie(), 3.6);
    EXPECT_EQ(Received(), Bytes({0xB3, 0x03, 0x76, 0x00, 0xC6}) + M({0x21, 0x21}));
}

// An interface that sends one all-on broadcast where two are awaited, and
// the settings that let a host get past it.
TEST_F(LenzLine, TooFewBroadcastsAndTheWayOut) {
    unit.SetMissingBroadcasts(1);
    ASSERT_GT(com.GetLenzVersie(), 0.0);
    com.LenzAntwoordTijd = 300;
    com.LenzSlaOver = 1;
    com.ZetSysteemAan();
    ASSERT_TRUE(Pump([&] { return !events.empty() && events.back().aktie == laAllesAan; }));
    EXPECT_FALSE(QueueEmpty());
    Pump([] { return false; }, 350);
    EXPECT_DOUBLE_EQ(com.GetLenzVersie(), 3.6);
    EXPECT_TRUE(QueueEmpty());
}

TEST_F(LenzLine, ClosingSoonAfterPowerOnSwitchesTheLayoutOff) {
    unit.SetAnswerDelayMs(500);
    // Repeated: the power-off is the last thing written before the port
    // goes, and must never be lost in the close.
    for (int i = 0; i < 10; ++i) {
        if (!com.Connected()) com.OpenPort();
        links::Lenz(com).LenzRij.clear();
        unit.ClearRecords();
        com.ZetSysteemAan();
        ASSERT_TRUE(unit.WaitForReceived(3, 2000));
        com.ClosePort();
        ASSERT_TRUE(unit.WaitForReceived(5, 2000)) << i;
        EXPECT_EQ(Received(), M({0x21, 0x81}) + M({0x80}));
        EXPECT_EQ(unit.Power(), sim::LenzPower::EmergencyStop);
        EXPECT_FALSE(com.SysteemAan);
    }
}

TEST_F(LenzLine, UnsolicitedTraffic) {
    ASSERT_GT(com.GetLenzVersie(), 0.0);
    com.LenzLogMasker = 0x00C8;
    unit.TakeOver(1000);
    unit.HandEmergencyStop();
    unit.SwitchPower(false);
    ASSERT_TRUE(Pump([&] { return log.size() >= 3; }));
    EXPECT_EQ(log, (std::vector<std::string>{"- loc: 1000 op handbediening (V3)",
                                             "- Noodstop op handregelaar", "- Emergency off"}));
    unit.SetVersionByte(0x23);
    ASSERT_DOUBLE_EQ(com.GetLenzVersie(), 2.3);
    events.clear();
    unit.TakeOver(7);
    ASSERT_TRUE(Pump([&] { return events.size() >= 2; }));
    // The take-over is an event of its own, before the state it reports.
    EXPECT_EQ(events[0].aktie, laHandControl);
    EXPECT_EQ(events[0].d1, 7);
    EXPECT_EQ(events[1].aktie, laLoc);
    EXPECT_EQ(events[1].d1, 7);
}

// An interface that answers everything with "busy": the queue resends at the
// interface's pace, the version query still gives up after its second, and
// nothing grows.
TEST_F(LenzLine, BusyForever) {
    unit.SetReportAlways(sim::LenzReport::Busy);
    unit.SetAnswerDelayMs(5);
    uint32_t start = platform::GetTickCount();
    EXPECT_EQ(com.GetLenzVersie(), 0.0);
    EXPECT_LT(platform::ElapsedSince(start), 2500u);
    size_t sent = Received().size() / 3;
    EXPECT_GT(sent, 10u);
    EXPECT_LT(sent, 400u);
    EXPECT_EQ(links::Lenz(com).LenzRij.size(), 1u);
    EXPECT_LT(links::Lenz(com).LenzInvoer.size(), 17u);
    unit.SetReportAlways(sim::LenzReport::None);
}

// The track off goes through the queue like the rest: the next command waits
// for the "everything off" broadcasts; power off stays the emergency stop.
TEST_F(LenzLine, TrackOffIsQueuedAndAnsweredByItsBroadcasts) {
    com.LenzAntwoordTijd = 3000;
    ASSERT_GT(com.GetLenzVersie(), 0.0);
    ASSERT_TRUE(com.ZetSysteemAan());
    ASSERT_TRUE(Pump([&] { return QueueEmpty(); }));
    unit.ClearRecords();
    events.clear();
    com.TrackPowerOff();
    EXPECT_FALSE(com.SysteemAan);
    std::string r;
    com.StuurLoc(3, 0, false, true, {}, 3, 0, false, r);
    ASSERT_TRUE(Pump([&] { return QueueEmpty(); }));
    EXPECT_EQ(Received(), M({0x21, 0x80}) + M({0xB3, 0x03, 0x40, 0x00}));
    EXPECT_EQ(unit.Power(), sim::LenzPower::Off);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().aktie, laNoodstop);
    EXPECT_EQ(events.front().d1, 0x61);
}
