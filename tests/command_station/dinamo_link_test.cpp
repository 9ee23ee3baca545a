// The DINAMO link in the component over a recording device double. The
// simulated DINAMO's model stands behind the double and answers every write
// at once, so each case is exact about frames, toggles, texts and timing.
#include "tests/support/ScriptedDevice.h"

#include "command_station/dinamo/DinamoMessages.h"
#include "command_station/MivoComm.h"
#include "Links.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "sim/DinamoSim.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/resource.h>

using namespace command_station;
using namespace command_station::dinamo;
using testsupport::DeviceScript;

namespace {

constexpr uint32_t kUpperHalf = 0x80000010u; // a deadline of 0 looks 24.9 days ahead here
constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 150;

using testsupport::Bytes;

double CpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

struct Sent {
    uint32_t tick;
    std::string frame;
};

class DinamoLinkTest : public ::testing::Test {
  protected:
    void SetUp() override { Open(kBeforeWrap); }

    void Open(uint32_t tickStart) {
        com.ClosePort();
        platform::SetTickCountStart(tickStart);
        line = testsupport::InstallScript(com);
        com.SetDigitaalSysteem(dsDinamo);
        com.OpenPort();
        com.OnAlgTekst = [this](TAlgAct a, const std::string& t) {
            EXPECT_EQ(a, aaTest);
            texts.push_back(t);
        };
        com.OnDinDoeIets = [this](TDinAktie a, uint16_t d1, uint16_t d2, uint16_t d3, uint16_t d4) {
            EXPECT_EQ(d3 + d4, 0);
            actions.push_back({a, d1, d2});
        };
        line->responder = [this](const std::string& bytes) {
            std::lock_guard lock(m);
            sent.push_back({platform::GetTickCount(), bytes});
            platform::Sleep(1); // the line's time, so an eager loop stays a slow one
            return answering ? dinamo.Feed(bytes) : std::string();
        };
    }

    // The host's loop: a step, then a blocking wait for the next one.
    template <class Pred> bool RunUntil(Pred done, uint32_t timeoutMs) {
        platform::Deadline end = platform::Deadline::After(timeoutMs);
        while (!done()) {
            if (end.Reached()) return false;
            com.DinamoCyclus();
            com.DinamoWacht(std::min<uint32_t>(end.Remaining(), 50));
        }
        return true;
    }

    std::vector<Sent> Frames() {
        std::lock_guard lock(m);
        return sent;
    }

    struct Action {
        TDinAktie aktie;
        uint16_t d1, d2;
        bool operator==(const Action&) const = default;
    };

    testsupport::RecordingHost host;
    TMivoCom com;
    std::shared_ptr<DeviceScript> line;
    std::mutex m;
    sim::DinamoModel dinamo;
    bool answering = true;
    std::vector<Sent> sent;
    std::vector<std::string> texts;
    std::vector<Action> actions;
};

} // namespace

TEST_F(DinamoLinkTest, ConnectionTestSendsTheResetAndPausesASecond) {
    uint32_t start = platform::GetTickCount();
    EXPECT_TRUE(com.InitSysteem());
    uint32_t took = platform::ElapsedSince(start);
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 1800u);
    EXPECT_TRUE(com.LaatsteFout.empty());
    // The step that took the answer sent the next frame at once: it is in
    // flight when the test ends, and the host's first step reads its answer.
    ASSERT_EQ(Frames().size(), 2u);
    EXPECT_EQ(Frames()[0].frame, Bytes({0x01, 0x94, 0xEB}));
    EXPECT_EQ(Frames()[1].frame, Bytes({0x40, 0xC0}));
    EXPECT_EQ(texts, (std::vector<std::string>{"reset fault", "fault opgeheven"}));
    EXPECT_TRUE(links::Dinamo(com).DinamoRij.empty());
    EXPECT_EQ(links::Dinamo(com).DinamoToggle, 1);
    links::Dinamo(com).DinamoOntvang();
    EXPECT_EQ(links::Dinamo(com).DinamoToggle, 0);
    EXPECT_TRUE(com.GetVerbindingOke());
    EXPECT_TRUE(host.Texts().empty());
}

TEST_F(DinamoLinkTest, SilentDinamoIsResentAtTheAnswerTimeOutWithoutSpinning) {
    answering = false;
    com.LaatsteFout = "stale";
    double cpu0 = CpuMs();
    uint32_t start = platform::GetTickCount();
    EXPECT_FALSE(com.InitSysteem());
    uint32_t took = platform::ElapsedSince(start);
    double cpu = CpuMs() - cpu0;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 1500u); // no pause after a failure
    EXPECT_LT(cpu, 300.0) << "the wait must block, not spin";
    EXPECT_EQ(com.LaatsteFout, "Geen communicatie met DINAMO mogelijk!");

    std::vector<Sent> f = Frames();
    ASSERT_GE(f.size(), 4u);
    ASSERT_LE(f.size(), 6u);
    for (size_t i = 1; i < f.size(); ++i) {
        uint32_t gap = f[i].tick - f[i - 1].tick;
        EXPECT_GE(gap, 200u) << i;
        EXPECT_LT(gap, 320u) << i;
    }
    // The reset first; within its second the resends go empty, same toggle.
    EXPECT_EQ(f[0].frame, Bytes({0x01, 0x94, 0xEB}));
    for (size_t i = 1; i < f.size(); ++i)
        EXPECT_EQ(f[i].frame, Bytes({0x00, 0x80})) << i;
    size_t opnieuw = std::count(texts.begin(), texts.end(), "opnieuw...");
    EXPECT_EQ(opnieuw, f.size() - 1);
}

TEST_F(DinamoLinkTest, ReceivedFrameStatusAndReport) {
    // A hand-made answer: one data byte, hold and fault set, toggle 0.
    answering = false;
    links::Dinamo(com).DinamoZend("");
    line->Feed(Bytes({0x31, 0x05, 0xCA}));
    links::Dinamo(com).DinamoOntvang();
    EXPECT_EQ(texts, (std::vector<std::string>{"hold actief", "fault actief"}));
    EXPECT_EQ(actions, (std::vector<Action>{{daBezetmelder, 1, 0}}));
    EXPECT_EQ(links::Dinamo(com).DinamoAntwoordTot, dinamo::kNothingDue);
    EXPECT_EQ(links::Dinamo(com).DinamoToggle, 1);
    EXPECT_TRUE(links::Dinamo(com).DinamoHold && links::Dinamo(com).DinamoFault);

    // Both clear again; no report.
    texts.clear();
    links::Dinamo(com).DinamoZend("");
    line->Feed(Bytes({0x40, 0xC0}));
    links::Dinamo(com).DinamoOntvang();
    EXPECT_EQ(texts, (std::vector<std::string>{"hold opgeheven", "fault opgeheven"}));
}

TEST_F(DinamoLinkTest, ReportsReachTheHost) {
    dinamo.QueueOccupancy(17, true);
    dinamo.QueueMagnet(128, false);
    dinamo.QueueBlock(32, 127);
    dinamo.QueueRaw(Bytes({0x06, 0x01, 0x02})); // occupancy with three bytes: ignored
    dinamo.QueueRaw(Bytes({0x10}));
    ASSERT_TRUE(RunUntil([&] { return dinamo.ReportsWaiting() == 0; }, 2000));
    links::Dinamo(com).DinamoOntvang(); // the last report's answer
    EXPECT_EQ(actions, (std::vector<Action>{
                           {daBezetmelder, 17, 1}, {daMagneet, 128, 0}, {daBlok, 32, 127}}));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "ontv: 16"), 1);

    // No handler: nothing raised, and nothing goes wrong.
    com.OnDinDoeIets = nullptr;
    dinamo.QueueMagnet(1, true);
    ASSERT_TRUE(RunUntil([&] { return dinamo.ReportsWaiting() == 0; }, 2000));
    EXPECT_EQ(actions.size(), 3u);
}

TEST_F(DinamoLinkTest, WrongCheckByteLeavesTheAnswerDueAndTheFrameIsResent) {
    dinamo.SetBadCheckNext();
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x21, 0x05})));
    com.DinamoCyclus();
    com.DinamoCyclus(); // the bad answer is there: dropped, nothing raised
    EXPECT_TRUE(texts.empty());
    EXPECT_NE(links::Dinamo(com).DinamoAntwoordTot, dinamo::kNothingDue);
    EXPECT_EQ(links::Dinamo(com).DinamoRij.size(), 1u);
    ASSERT_EQ(Frames().size(), 1u);

    uint32_t start = platform::GetTickCount();
    EXPECT_TRUE(com.DinamoWacht(1000));
    EXPECT_GE(platform::ElapsedSince(start), 199u);
    com.DinamoCyclus();
    EXPECT_EQ(texts, std::vector<std::string>{"opnieuw..."});
    std::vector<Sent> f = Frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].frame, f[0].frame); // same data, same toggle
    com.DinamoCyclus();
    EXPECT_TRUE(links::Dinamo(com).DinamoRij.empty());
    EXPECT_EQ(dinamo.Commands(), std::vector<std::string>{Bytes({0x21, 0x05})});
}

TEST_F(DinamoLinkTest, AResendRepeatsTheFrameEvenWhenACommandWasQueuedMeanwhile) {
    answering = false;
    com.DinamoCyclus(); // empty frame, toggle 0
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x33})));
    ASSERT_TRUE(com.DinamoWacht(1000));
    com.DinamoCyclus();
    std::vector<Sent> f = Frames();
    ASSERT_EQ(f.size(), 2u);
    // The DINAMO takes an equal toggle for a repeat: the command must not ride on it.
    EXPECT_EQ(f[1].frame, Bytes({0x00, 0x80}));
    answering = true;
    ASSERT_TRUE(RunUntil([&] { return links::Dinamo(com).DinamoRij.empty(); }, 2000));
    EXPECT_EQ(dinamo.Commands(), std::vector<std::string>{Bytes({0x33})});
}

TEST_F(DinamoLinkTest, ALateAnswerToAnEarlierFrameIsDropped) {
    answering = false;
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x31})));
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x32})));
    com.DinamoCyclus(); // 0x31 with toggle 0
    line->Feed(Bytes({0x00, 0x80}));
    com.DinamoCyclus(); // answered: 0x32 goes with toggle 1
    EXPECT_EQ(links::Dinamo(com).DinamoRij.size(), 1u);
    EXPECT_EQ(links::Dinamo(com).DinamoToggle, 1);
    // The answer to a resend of the first frame arrives now; it must not
    // pass for the answer to the second, nor report a fault.
    line->Feed(Bytes({0x20, 0xE0}));
    links::Dinamo(com).DinamoOntvang();
    EXPECT_EQ(links::Dinamo(com).DinamoRij.size(), 1u);
    EXPECT_NE(links::Dinamo(com).DinamoAntwoordTot, dinamo::kNothingDue);
    EXPECT_FALSE(links::Dinamo(com).DinamoFault);
    EXPECT_TRUE(texts.empty());
    line->Feed(Bytes({0x40, 0xC0}));
    links::Dinamo(com).DinamoOntvang();
    EXPECT_TRUE(links::Dinamo(com).DinamoRij.empty());
    EXPECT_EQ(links::Dinamo(com).DinamoToggle, 0);

    // Nothing in flight: even a frame with the current toggle answers nothing.
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x35})));
    line->Feed(Bytes({0x31, 0x05, 0xCA}));
    links::Dinamo(com).DinamoOntvang();
    EXPECT_EQ(links::Dinamo(com).DinamoRij.size(), 1u);
    EXPECT_EQ(links::Dinamo(com).DinamoToggle, 0);
    EXPECT_TRUE(texts.empty());
    EXPECT_TRUE(actions.empty());
}

TEST_F(DinamoLinkTest, FaultResetOncePerSecondUntilTheFaultClears) {
    Open(kUpperHalf); // DinamoResetNietVoor is still 0: "ahead" unless judged right
    dinamo.SetFault(true, 3);
    ASSERT_TRUE(RunUntil([&] { return links::Dinamo(com).DinamoFault; }, 1000));
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x21, 0x01})));
    ASSERT_TRUE(RunUntil([&] { return dinamo.Commands().size() == 4; }, 4500));

    std::vector<Sent> f = Frames();
    std::vector<uint32_t> resets;
    size_t empties = 0;
    for (const Sent& s : f) {
        if (s.frame.size() == 3 && s.frame[1] == '\x94') resets.push_back(s.tick);
        if (s.frame.size() == 2) ++empties;
    }
    ASSERT_EQ(resets.size(), 3u);
    // The first reset goes at once (the never-set deadline counts as passed).
    EXPECT_LT(resets[0] - f[0].tick, 100u);
    for (size_t i = 1; i < resets.size(); ++i) {
        EXPECT_GE(resets[i] - resets[i - 1], 1000u) << i;
        EXPECT_LT(resets[i] - resets[i - 1], 1200u) << i;
    }
    EXPECT_GT(empties, 10u);                                  // the exchange went on in between
    EXPECT_EQ(dinamo.Commands().back(), Bytes({0x21, 0x01})); // only after the fault cleared
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "reset fault"), 3);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "fault actief"), 1);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "fault opgeheven"), 1);
}

TEST_F(DinamoLinkTest, HoldFreezesTheQueueForAsLongAsItLasts) {
    dinamo.SetHold(true);
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x21})));
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x22})));
    RunUntil([] { return false; }, 400);
    // The head went before the hold was known; nothing after it.
    EXPECT_EQ(dinamo.Commands(), std::vector<std::string>{Bytes({0x21})});
    EXPECT_EQ(links::Dinamo(com).DinamoRij.size(), 1u);
    size_t frames = Frames().size();
    EXPECT_GT(frames, 3u);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "hold actief"), 1);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "reset fault"), 0);

    dinamo.SetHold(false);
    ASSERT_TRUE(RunUntil([&] { return links::Dinamo(com).DinamoRij.empty(); }, 1000));
    EXPECT_EQ(dinamo.Commands().back(), Bytes({0x22}));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "hold opgeheven"), 1);
}

TEST_F(DinamoLinkTest, HostQueueTakesZeroToThreeBytesAndRefusesMore) {
    EXPECT_TRUE(com.DinamoOpdracht(""));
    EXPECT_TRUE(links::Dinamo(com).DinamoRij.empty());
    EXPECT_TRUE(com.DinamoOpdracht(Bytes({1, 2, 3})));
    EXPECT_FALSE(com.DinamoOpdracht(Bytes({1, 2, 3, 4})));
    ASSERT_EQ(links::Dinamo(com).DinamoRij.size(), 1u);
    EXPECT_EQ(links::Dinamo(com).DinamoRij.front(), Bytes({1, 2, 3}));
    ASSERT_EQ(host.Texts().size(), 1u);
    EXPECT_NE(host.Texts()[0].find("4 bytes"), std::string::npos) << host.Texts()[0];

    // Put into the list by hand: not framed, not cut, not blocking the rest.
    links::Dinamo(com).DinamoRij.push_front(Bytes({9, 9, 9, 9}));
    host.Clear();
    com.DinamoCyclus();
    EXPECT_EQ(host.Texts().size(), 1u);
    EXPECT_EQ(Frames().at(0).frame, dinamo::Frame(Bytes({1, 2, 3}), 0));

    host.Clear();
    com.SetDigitaalSysteem(dsSelectrix);
    EXPECT_FALSE(com.DinamoOpdracht(Bytes({1})));
    EXPECT_EQ(host.Texts(), std::vector<std::string>{
                                "TMivoCom.DinamoOpdracht alleen van toepassing bij DINAMO!"});
    com.DinamoCyclus(); // another system: the link stays quiet
    EXPECT_EQ(Frames().size(), 1u);
    EXPECT_EQ(com.LinkAs<command_station::dinamo::DinamoLink>(), nullptr);
    EXPECT_TRUE(com.DinamoWacht(0)); // nothing to wait for
}

// A deadline never set, and one set just before the counter wraps.
TEST_F(DinamoLinkTest, DeadlinesInEveryPartOfTheCounter) {
    for (uint32_t start : {kUpperHalf, kBeforeWrap, 0x7FFFFFFFu - 100}) {
        SCOPED_TRACE(start);
        platform::SetTickCountStart(start);
        TMivoCom fresh;
        auto fl = testsupport::InstallScript(fresh);
        fresh.SetDigitaalSysteem(dsDinamo);
        fresh.OpenPort();
        // Nothing was ever sent: no wait at all, the first step sends.
        uint64_t t0 = platform::MicroNow();
        EXPECT_TRUE(fresh.DinamoWacht(5000));
        uint32_t sentAt = platform::GetTickCount();
        fresh.DinamoCyclus();
        EXPECT_LT(platform::MicroNow() - t0, 100000u);
        EXPECT_EQ(fl->Written().size(), 2u);
        // Now one is due; the wait lasts the answer time and no longer,
        // also when it ends across the wrap.
        EXPECT_TRUE(fresh.DinamoWacht(5000));
        uint32_t waited = platform::ElapsedSince(sentAt);
        EXPECT_GE(waited, 199u);
        EXPECT_LT(waited, 400u);
    }
}

TEST_F(DinamoLinkTest, AnAnswerDeadlineNeverReadsAsNothingDue) {
    // The one tick that stands for "nothing due" is never a deadline.
    answering = false;
    platform::SetTickCountStart(static_cast<uint32_t>(dinamo::kNothingDue) - 200);
    links::Dinamo(com).DinamoZend("");
    EXPECT_NE(links::Dinamo(com).DinamoAntwoordTot, dinamo::kNothingDue);
    EXPECT_FALSE(com.DinamoWacht(0));
}

TEST(DinamoHungUp, AReadableLineWithoutBytesIsNoReasonToSpin) {
    platform::SetTickCountStart(kBeforeWrap);
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = testsupport::InstallScript(com);
    line->hungUp = true; // a line that hung up: always "readable", never a byte
    com.SetDigitaalSysteem(dsDinamo);
    com.OpenPort();
    int steps = 0;
    double cpu0 = CpuMs();
    platform::Deadline end = platform::Deadline::After(600);
    while (!end.Reached()) {
        com.DinamoCyclus();
        com.DinamoWacht(std::min<uint32_t>(end.Remaining(), 50));
        ++steps;
    }
    EXPECT_LT(CpuMs() - cpu0, 200.0);
    EXPECT_LT(steps, 100);
    EXPECT_LT(line->CountOf("WaitReadable"), 20u);
    // Still the resends at the answer time-out: about three in 600 ms.
    EXPECT_GE(line->Written().size(), 2u * 3);
    EXPECT_LE(line->Written().size(), 2u * 5);
}
