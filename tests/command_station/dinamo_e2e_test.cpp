// DINAMO end to end: the component over the real serial layer and a
// pseudo-terminal, against the simulated DINAMO, with the tick counter
// started just before its wrap.
#include "command_station/dinamo/DinamoMessages.h"
#include "command_station/MivoComm.h"
#include "Links.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "sim/DinamoSim.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace command_station;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 300;

using testsupport::Bytes;

double CpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

class DinamoLine : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetTickCountStart(kBeforeWrap);
        com.SetDigitaalSysteem(dsDinamo);
        com.SetPort(dinamo.DevicePath());
        com.OpenPort();
        com.OnAlgTekst = [this](TAlgAct, const std::string& t) { texts.push_back(t); };
        com.OnDinDoeIets = [this](TDinAktie a, uint16_t d1, uint16_t d2, uint16_t, uint16_t) {
            actions.push_back({a, d1, d2});
        };
    }

    // The host's loop: one step, then a blocking wait for the next.
    template <class Pred> bool RunUntil(Pred done, uint32_t timeoutMs) {
        platform::Deadline end = platform::Deadline::After(timeoutMs);
        while (!done()) {
            if (end.Reached()) return false;
            com.DinamoCyclus();
            com.DinamoWacht(std::min<uint32_t>(end.Remaining(), 50));
        }
        return true;
    }
    void RunFor(uint32_t ms) {
        RunUntil([] { return false; }, ms);
    }
    size_t Count(const std::string& text) {
        return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
    }

    struct Action {
        TDinAktie aktie;
        uint16_t d1, d2;
        bool operator==(const Action&) const = default;
    };

    testsupport::RecordingHost host;
    sim::DinamoSim dinamo{100000};
    TMivoCom com;
    std::vector<std::string> texts;
    std::vector<Action> actions;
};

} // namespace

TEST_F(DinamoLine, ConnectsThenCarriesCommandsAndReports) {
    EXPECT_EQ(dinamo.Baud(), 9600u);
    EXPECT_FALSE(dinamo.TwoStopBits());
    ASSERT_TRUE(com.InitSysteem());
    std::vector<sim::DinamoFrameEvent> frames = dinamo.Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].data, Bytes({0x94}));
    EXPECT_EQ(frames[0].toggle, 0);

    dinamo.QueueOccupancy(12, true);
    dinamo.QueueMagnet(3, true);
    dinamo.QueueBlock(7, 99);
    dinamo.QueueRaw(Bytes({0x0C, 0x05, 0x01})); // an occupancy row with three bytes: ignored
    dinamo.QueueRaw(Bytes({0x60, 0x01}));
    for (const std::string& c : {Bytes({0x21}), Bytes({0x22, 0x01}), Bytes({0x23, 0x7F, 0x80})})
        ASSERT_TRUE(com.DinamoOpdracht(c));
    ASSERT_TRUE(
        RunUntil([&] { return links::Dinamo(com).DinamoRij.empty() && dinamo.ReportsWaiting() == 0; }, 3000));
    RunFor(30);
    EXPECT_EQ(dinamo.Commands(),
              (std::vector<std::string>{Bytes({0x94}), Bytes({0x21}), Bytes({0x22, 0x01}),
                                        Bytes({0x23, 0x7F, 0x80})}));
    EXPECT_EQ(actions,
              (std::vector<Action>{{daBezetmelder, 12, 1}, {daMagneet, 3, 1}, {daBlok, 7, 99}}));
    EXPECT_EQ(Count("ontv: 96"), 1u);
    EXPECT_EQ(Count("opnieuw..."), 0u);
    // Every frame alternates the toggle: nothing was ever a repeat.
    for (const sim::DinamoFrameEvent& e : dinamo.Frames())
        ASSERT_FALSE(e.repeat);
    EXPECT_TRUE(host.Texts().empty());
}

TEST_F(DinamoLine, LateAnswersNeitherSkipNorRepeatACommand) {
    ASSERT_TRUE(com.InitSysteem());
    dinamo.SetAnswerDelayMs(300); // above the 200 ms the component waits
    const std::vector<std::string> commands = {Bytes({0x31}), Bytes({0x32}), Bytes({0x33}),
                                               Bytes({0x34})};
    for (const std::string& c : commands)
        ASSERT_TRUE(com.DinamoOpdracht(c));
    std::vector<uint64_t> emptiedAt; // when each command left the queue
    size_t left = commands.size();
    ASSERT_TRUE(RunUntil(
        [&] {
            for (; left > links::Dinamo(com).DinamoRij.size(); --left)
                emptiedAt.push_back(platform::MicroNow());
            return left == 0;
        },
        8000));

    std::vector<std::string> done = dinamo.Commands();
    ASSERT_EQ(done.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(done.begin() + 1, done.end()), commands);
    // A command leaves the queue only once the answer to its own frame can
    // have arrived: 300 ms after the DINAMO first saw it.
    std::vector<sim::DinamoFrameEvent> frames = dinamo.Frames();
    for (size_t i = 0; i < commands.size(); ++i) {
        auto first = std::find_if(frames.begin(), frames.end(), [&](const auto& e) {
            return e.data == commands[i] && !e.repeat;
        });
        ASSERT_NE(first, frames.end()) << i;
        EXPECT_GE(emptiedAt[i], first->atUs + 295000) << "command " << i;
    }
    EXPECT_GE(Count("opnieuw..."), commands.size());
}

TEST_F(DinamoLine, GarbageAndBadFramesFromTheDinamo) {
    ASSERT_TRUE(com.InitSysteem());
    struct Row {
        const char* name;
        std::string garbage;
    } rows[] = {
        {"bit 7 set", Bytes({0x80, 0xFF, 0xC5, 0xFF, 0xFF})},
        {"without bit 7", Bytes({0x02, 0x11, 0x7F})},
        {"forged frame, wrong check", Bytes({0x31, 0x05, 0xCB})},
        {"lone header", Bytes({0x03})},
    };
    uint8_t command = 0x40;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        texts.clear();
        dinamo.SendUnsolicited(row.garbage);
        RunFor(20);
        std::string c(1, static_cast<char>(++command));
        ASSERT_TRUE(com.DinamoOpdracht(c));
        ASSERT_TRUE(RunUntil([&] { return links::Dinamo(com).DinamoRij.empty(); }, 2000));
        std::vector<std::string> done = dinamo.Commands();
        EXPECT_EQ(done.back(), c);
        EXPECT_EQ(std::count(done.begin(), done.end(), c), 1);
        // Nothing made up from the garbage: at most a resend.
        for (const std::string& t : texts)
            EXPECT_EQ(t, "opnieuw...");
        EXPECT_TRUE(actions.empty());
    }

    // A wrong check byte on a real answer: dropped, the frame goes again.
    texts.clear();
    dinamo.SetBadCheckNext();
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x50})));
    ASSERT_TRUE(RunUntil([&] { return links::Dinamo(com).DinamoRij.empty(); }, 2000));
    EXPECT_EQ(Count("opnieuw..."), 1u);
    EXPECT_EQ(dinamo.Commands().back(), Bytes({0x50}));
}

TEST_F(DinamoLine, FaultNeedingTwoResetsFailsTheConnectionTestThenClears) {
    dinamo.SetFault(true, 2);
    uint32_t start = platform::GetTickCount();
    EXPECT_FALSE(com.InitSysteem());
    EXPECT_LT(platform::ElapsedSince(start), 1500u);
    EXPECT_EQ(com.LaatsteFout, "Geen communicatie met DINAMO mogelijk!");

    ASSERT_TRUE(RunUntil([&] { return !links::Dinamo(com).DinamoFault; }, 2500));
    EXPECT_EQ(dinamo.ResetsReceived(), 2u);
    EXPECT_EQ(Count("fault opgeheven"), 1u);
    std::vector<uint64_t> resets;
    for (const sim::DinamoFrameEvent& e : dinamo.Frames())
        if (e.data == Bytes({0x94}) && !e.repeat) resets.push_back(e.atUs);
    ASSERT_EQ(resets.size(), 2u);
    EXPECT_GE(resets[1] - resets[0], 900000u); // at most one a second
}

TEST_F(DinamoLine, HoldThatNeverClearsKeepsTheLinkPollingAndTheQueueWaiting) {
    ASSERT_TRUE(com.InitSysteem());
    dinamo.SetHold(true);
    RunFor(50);
    ASSERT_TRUE(links::Dinamo(com).DinamoHold);
    ASSERT_TRUE(com.DinamoOpdracht(Bytes({0x21})));
    dinamo.ClearRecords();
    RunFor(600);
    EXPECT_EQ(links::Dinamo(com).DinamoRij.size(), 1u);
    EXPECT_EQ(dinamo.Commands(), std::vector<std::string>{Bytes({0x94})});
    std::vector<sim::DinamoFrameEvent> frames = dinamo.Frames();
    EXPECT_GT(frames.size(), 10u);
    for (const auto& e : frames)
        ASSERT_TRUE(e.data.empty());
    EXPECT_EQ(Count("hold actief"), 1u);
    EXPECT_EQ(Count("opnieuw..."), 0u);
}

TEST_F(DinamoLine, ASilentDinamoGetsAResendEveryAnswerTimeAndNoSpin) {
    ASSERT_TRUE(com.InitSysteem());
    dinamo.SetSilent(true);
    RunFor(30); // the frame in flight goes unanswered from here
    dinamo.ClearRecords();
    double cpu0 = CpuMs();
    uint64_t wall0 = platform::MicroNow();
    RunFor(1000);
    double cpu = CpuMs() - cpu0;
    double wallMs = static_cast<double>(platform::MicroNow() - wall0) / 1000.0;
    std::vector<sim::DinamoFrameEvent> frames = dinamo.Frames();
    EXPECT_GE(frames.size(), 4u);
    EXPECT_LE(frames.size(), 6u);
    for (size_t i = 1; i < frames.size(); ++i)
        // Stamped on the simulator's thread, which a loaded machine may
        // wake late: a margin, but far from back-to-back resends.
        EXPECT_GE(frames[i].atUs - frames[i - 1].atUs, 150000u) << i;
    EXPECT_LT(cpu, wallMs * 0.25) << "waiting must block";
    EXPECT_GE(Count("opnieuw..."), 4u);
}
