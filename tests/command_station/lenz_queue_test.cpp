// The Lenz command queue and the Lenz branches of the operations over a
// recording line; the interface's answers are handed to the parser directly.
#include "tests/support/ScriptedDevice.h"

#include "command_station/lenz/LenzMessages.h"
#include "command_station/MivoComm.h"
#include "Links.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

using namespace command_station;
using namespace command_station::lenz;
using testsupport::DeviceScript;
using testsupport::InstallScript;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 40;

using testsupport::Bytes;

std::string M(std::initializer_list<int> bytes) {
    std::string s = Bytes(bytes);
    return s + static_cast<char>(lenz::Xor(s));
}

// Returns right after the tick counter moved on, so what follows runs
// within one millisecond.
void StartOfAMillisecond() {
    uint32_t t = platform::GetTickCount();
    while (platform::GetTickCount() == t) {
    }
}

class LenzQueue : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetTickCountStart(kBeforeWrap);
        line = InstallScript(com);
        com.SetDigitaalSysteem(dsSelectrix); // no event thread: answers go in by hand
        com.OpenPort();
        com.SetDigitaalSysteem(dsLenz);
        com.SetOnLenzAddTekst([this](const std::string& t) { log.push_back(t); });
        com.LenzLogMasker = 0x2800; // outgoing notes, errors and resends
    }
    // What went out since the last call.
    std::string Sent() {
        std::lock_guard lock(line->mutex);
        std::string s = line->written;
        line->written.clear();
        return s;
    }
    void Answer(const std::string& bytes) { links::Lenz(com).LenzOntvangBytes(bytes); }

    testsupport::RecordingHost host;
    std::vector<std::string> log; // outlives the component, which logs while closing
    TMivoCom com;
    std::shared_ptr<DeviceScript> line;
};

const std::string kOke = M({0x01, 0x04});
const std::string kAllesAan = M({0x61, 0x01});

} // namespace

TEST_F(LenzQueue, PowerOnWaitsForTheBroadcastsOfItsVersion) {
    struct Row {
        double versie;
        int versieByte, broadcasts;
    } rows[] = {{3.6, 0x36, 2}, {2.3, 0x23, 4}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.versie);
        links::TellLenzVersion(com, r.versie);
        com.LenzAntwoordTijd = 5000;
        com.SysteemAan = false;
        EXPECT_TRUE(com.ZetSysteemAan());
        EXPECT_TRUE(com.SysteemAan);
        EXPECT_EQ(Sent(), Bytes({0x21, 0x81, 0xA0}));
        com.ZetSysteemAan(); // already on: nothing queued
        links::Lenz(com).LenzZend(Bytes({0x21, 0x21}));
        Answer(kOke); // not enough while broadcasts are awaited
        for (int i = 0; i < r.broadcasts; ++i) {
            EXPECT_EQ(Sent(), "") << i;
            Answer(kAllesAan);
        }
        EXPECT_EQ(Sent(), Bytes({0x21, 0x21, 0x00}));
        Answer(M({0x63, 0x21, r.versieByte, 0}));
        EXPECT_TRUE(links::Lenz(com).LenzRij.empty());
    }
}

TEST_F(LenzQueue, PowerOffIsDoneByOkOrByTheBroadcasts) {
    links::TellLenzVersion(com, 3.0);
    com.LenzAntwoordTijd = 5000;
    for (const std::string& antwoord : {kOke, M({0x81, 0x00}) + M({0x61, 0x00})}) {
        com.SysteemAan = true;
        com.ZetSysteemUit();
        EXPECT_FALSE(com.SysteemAan);
        EXPECT_EQ(Sent(), Bytes({0x80, 0x80}));
        com.ZetSysteemUit(); // already off
        EXPECT_EQ(links::Lenz(com).LenzRij.size(), 1u);
        Answer(antwoord);
        EXPECT_TRUE(links::Lenz(com).LenzRij.empty());
    }
    EXPECT_EQ(log, (std::vector<std::string>{"- uit: zet systeem uit", "- uit: zet systeem uit"}));
}

// With a reply time of 0 the second request, queued in the same
// millisecond, still waits for the answer to the first.
TEST_F(LenzQueue, FeedbackRequestsGoOutOneByOne) {
    com.LenzLogMasker = 0xFFFF;
    std::string r = "old";
    StartOfAMillisecond();
    com.GetBezetmelder(1, 0, false, false, r);
    EXPECT_EQ(Sent(), Bytes({0x42, 0x00, 0x80, 0xC2}));
    EXPECT_TRUE(r.empty());
    ASSERT_EQ(links::Lenz(com).LenzRij.size(), 2u);
    EXPECT_EQ((links::Lenz(com).LenzRij)[1], Bytes({0x42, 0x00, 0x81}));
    EXPECT_EQ(log, (std::vector<std::string>{"- uit (getallen): 66 0 128 194",
                                             "- uit (opvragen bezetmelder): 1 lower nibble",
                                             "- uit (opvragen bezetmelder): 1 upper nibble"}));
    // Any nibble of address byte 0 completes the first.
    Answer(M({0x42, 0x00, 0x53}));
    EXPECT_EQ(Sent(), Bytes({0x42, 0x00, 0x81, 0xC3}));
    Answer(M({0x42, 0x00, 0x43})); // lower nibble: not the answer
    EXPECT_EQ(links::Lenz(com).LenzRij.size(), 1u);
    Answer(M({0x42, 0x00, 0x53}));
    EXPECT_TRUE(links::Lenz(com).LenzRij.empty());

    for (uint8_t adres : {0, 129, 255}) {
        com.GetBezetmelder(adres, 0, false, false, r);
        EXPECT_EQ(Sent(), "") << int(adres);
    }
}

TEST_F(LenzQueue, LocomotiveCommandsInBothForms) {
    struct Row {
        double versie;
        uint16_t adres;
        uint8_t snelheid, modus;
        bool licht, vooruit;
        TFuncties f;
        std::string resultaat, lijn;
    } rows[] = {
        {2.3,
         3,
         10,
         3,
         true,
         true,
         {},
         Bytes({0xB3, 0x03, 0x76, 0x00}),
         Bytes({0xB3, 0x03, 0x76, 0x00, 0xC6})},
        {3.0,
         3,
         10,
         3,
         true,
         true,
         {},
         Bytes({0xB3, 0x03, 0x76, 0x00}),
         Bytes({0xB3, 0x03, 0x76, 0x00, 0xC6})},
        {2.3,
         1000,
         5,
         1,
         false,
         false,
         {true, false, true, false},
         Bytes({0xB3, 0xE8, 0x06, 0x05}),
         M({0xB3, 0xE8, 0x06, 0x05})},
        {2.3,
         7,
         28,
         6,
         false,
         true,
         {},
         Bytes({0xB4, 0x07, 0x40, 0x00, 0x01}),
         M({0xB4, 0x07, 0x40, 0x00, 0x01})},
        {2.3,
         7,
         0,
         5,
         true,
         false,
         {},
         Bytes({0xB4, 0x07, 0x20, 0x00, 0x00}),
         M({0xB4, 0x07, 0x20, 0x00, 0x00})},
        {2.3,
         7,
         20,
         7,
         false,
         false,
         {},
         Bytes({0xB4, 0x07, 0x1B, 0x00, 0x02}),
         M({0xB4, 0x07, 0x1B, 0x00, 0x02})},
        // 128 steps in the old form: the step-mode byte keeps 0xB4 whole
        {2.3,
         7,
         40,
         4,
         false,
         false,
         {},
         Bytes({0xB4, 0x07, 0x29, 0x00, 0x03}),
         M({0xB4, 0x07, 0x29, 0x00, 0x03})},
        {3.0,
         1000,
         10,
         3,
         true,
         true,
         {},
         Bytes({0xE4, 0x12, 0xC3, 0xE8, 0x96}),
         M({0xE4, 0x12, 0xC3, 0xE8, 0x96}) + M({0xE4, 0x20, 0xC3, 0xE8, 0x10})},
        {3.6,
         100,
         100,
         8,
         false,
         false,
         {false, true, false, true},
         Bytes({0xE4, 0x13, 0xC0, 100, 101}),
         M({0xE4, 0x13, 0xC0, 100, 101}) + M({0xE4, 0x20, 0xC0, 100, 0x0A})},
        {3.6,
         200,
         3,
         5,
         false,
         true,
         {},
         Bytes({0xE4, 0x10, 0xC0, 200, 0x84}),
         M({0xE4, 0x10, 0xC0, 200, 0x84}) + M({0xE4, 0x20, 0xC0, 200, 0x00})},
        {3.6, 200, 3, 9, false, true, {}, "", ""}, // no such step mode
    };
    com.LenzAntwoordTijd = 5000;
    int regel = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(regel++);
        links::TellLenzVersion(com, row.versie);
        std::string r;
        com.StuurLoc(row.adres, row.snelheid, row.licht, row.vooruit, row.f, row.modus, 0, false,
                     r);
        EXPECT_EQ(r, row.resultaat);
        std::string lijn = Sent();
        while (!links::Lenz(com).LenzRij.empty()) {
            Answer(kOke);
            lijn += Sent();
        }
        EXPECT_EQ(lijn, row.lijn);
    }
    EXPECT_EQ(log.back(), "- uit (stuurloc): 200 / snelheid: 3 / vooruit / licht uit");
}

TEST_F(LenzQueue, ResendAfterTheReplyTimeAndSkipping) {
    links::TellLenzVersion(com, 3.6);
    com.LenzAntwoordTijd = 0;
    links::Lenz(com).LenzZend(Bytes({0xB3, 0x03, 0x00, 0x00}));
    EXPECT_EQ(Sent().size(), 5u);
    platform::Sleep(2);
    links::Lenz(com).LenzZend(Bytes({0x52, 0x01, 0x80}));
    EXPECT_EQ(Sent(), M({0xB3, 0x03, 0x00, 0x00}));
    platform::Sleep(2);
    links::Lenz(com).LenzZend("");
    EXPECT_EQ(Sent(), M({0xB3, 0x03, 0x00, 0x00}));

    com.LenzAntwoordTijd = 150;
    platform::Sleep(2);
    links::Lenz(com).LenzZend("");
    EXPECT_EQ(Sent().size(), 5u);
    links::Lenz(com).LenzZend(""); // within the reply time: nothing
    EXPECT_EQ(Sent(), "");
    platform::Sleep(160);
    com.LenzSlaOver = 1;
    links::Lenz(com).LenzZend("");
    EXPECT_EQ(Sent(), M({0x52, 0x01, 0x80}));
    platform::Sleep(160);
    com.LenzSlaOver = 0;
    links::Lenz(com).LenzZend(Bytes({0xE3, 0x00, 0xC3, 0xE8}));
    links::Lenz(com).LenzZend("");
    platform::Sleep(160);
    com.LenzSlaOver = 1;
    links::Lenz(com).LenzZend("");
    EXPECT_EQ(Sent(), M({0x52, 0x01, 0x80}) + M({0xE3, 0x00, 0xC3, 0xE8}));
    EXPECT_EQ(links::Lenz(com).VerwachtLocV3, Bytes({0xC3, 0xE8}));
    EXPECT_EQ(log,
              (std::vector<std::string>{"- !!! locomotiefopdracht geen reactie; stuur opnieuw !!!",
                                        "- !!! locomotiefopdracht geen reactie; stuur opnieuw !!!",
                                        "- !!! locomotiefopdracht geen reactie; stuur opnieuw !!!",
                                        "- !!! geen reactie terug; verstuur volgende",
                                        "- !!! wisselopdracht geen reactie; stuur opnieuw !!!",
                                        "- !!! geen reactie terug; verstuur volgende"}));
}

// The interface's error and busy reports send the head again at once.
TEST_F(LenzQueue, ErrorAndBusyReportsResendAtOnce) {
    com.LenzAntwoordTijd = 60000;
    links::Lenz(com).LenzZend(Bytes({0x21, 0x21}));
    Sent();
    Answer(M({0x61, 0x81}));
    EXPECT_EQ(Sent(), M({0x21, 0x21}));
    Answer(M({0x01, 0x01}));
    EXPECT_EQ(Sent(), M({0x21, 0x21}));
    Answer(M({0x01, 0x02}));
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(log, (std::vector<std::string>{"- !!! ?? geen reactie; stuur opnieuw !!!",
                                             "- !!! ?? geen reactie; stuur opnieuw !!!",
                                             "- Error tussen de interface en de PC!",
                                             "- Error tussen interface en commandstation!"}));
    // An interface that reports busy forever: the queue resends once per
    // report and nothing grows.
    for (int i = 0; i < 1000; ++i)
        Answer(M({0x61, 0x81}));
    EXPECT_EQ(Sent().size(), 3000u);
    EXPECT_EQ(links::Lenz(com).LenzRij.size(), 1u);
}

// The quiet line: a wait after a received chunk, none on a deadline that
// was never set, and never longer than the setting.
TEST_F(LenzQueue, QuietLineWaitIsBoundedByItsSetting) {
    com.LenzStilteTijd = 40;
    com.LenzAntwoordTijd = 5000;
    Answer(Bytes({0x42}));
    uint32_t start = platform::GetTickCount();
    links::Lenz(com).LenzZend(Bytes({0x21, 0x21}));
    uint32_t took = platform::ElapsedSince(start);
    EXPECT_GE(took, 38u);
    EXPECT_LT(took, 1000u);
    EXPECT_EQ(log.front(), "- wacht minimaal 40 msec op io-stilte");
    Sent();

    // Half a turn of the counter away from a field that was never set.
    for (uint32_t tick : {0x80000010u, 0x7FFFFFF0u, 0xFFFFFFF0u}) {
        platform::SetTickCountStart(tick);
        links::Lenz(com).LenzStilteTot = 0;
        links::Lenz(com).LenzAntwoordTot = 12345;
        start = platform::GetTickCount();
        links::Lenz(com).LenzZend("");
        EXPECT_LT(platform::ElapsedSince(start), 500u) << tick;
        EXPECT_EQ(Sent(), M({0x21, 0x21})) << tick; // a stale reply deadline has passed
    }
}

TEST_F(LenzQueue, ClosedPortKeepsTheQueueUntilItOpens) {
    com.ClosePort();
    std::string r;
    EXPECT_TRUE(com.ZetSysteemAan());
    com.StuurLoc(3, 0, false, true, {}, 3, 0, false, r);
    EXPECT_EQ(com.GetLenzVersie(), 0.0);
    EXPECT_EQ(links::Lenz(com).LenzRij.size(), 1u);
    EXPECT_EQ(links::Lenz(com).LenzAntwoordTot, 0);
    EXPECT_EQ(Sent(), "");
    com.OpenPort();
    links::Lenz(com).LenzZend("");
    EXPECT_EQ(Sent(), M({0xB3, 0x03, 0x40, 0x00}));
    EXPECT_TRUE(host.Texts().empty());

    com.SetDigitaalSysteem(dsSelectrix);
    EXPECT_EQ(com.GetLenzVersie(), 0.0);
    EXPECT_EQ(host.Texts(),
              std::vector<std::string>{"GetLenzVersie is alleen van toepassing bij Lenz!"});
}

// Closing soon after power-on: the power-off goes out ahead of the
// unanswered power-on, and no power-on is left to go out later.
TEST_F(LenzQueue, ClosingSwitchesOffAheadOfAnUnansweredPowerOn) {
    com.LenzAntwoordTijd = 0;
    links::TellLenzVersion(com, 3.6);
    com.ZetSysteemAan();
    com.ZetSysteemAan();
    EXPECT_EQ(Sent(), M({0x21, 0x81}));
    com.ClosePort();
    EXPECT_EQ(Sent(), M({0x80}));
    EXPECT_FALSE(com.SysteemAan);
    EXPECT_EQ(links::Lenz(com).LenzRij, ByteQueue{Bytes({0x80})});

    // A locomotive command in flight goes again after the power-off.
    com.OpenPort();
    Answer(kOke);
    com.LenzAntwoordTijd = 5000;
    std::string r;
    com.ZetSysteemAan();
    com.StuurLoc(3, 0, false, true, {}, 3, 0, false, r);
    Sent();
    Answer(M({0x61, 0x01}) + M({0x61, 0x01}));
    EXPECT_EQ(Sent(), M({0xB3, 0x03, 0x40, 0x00}));
    com.ClosePort();
    EXPECT_EQ(Sent(), M({0x80}));
    com.OpenPort();
    Answer(kOke);
    EXPECT_EQ(Sent(), M({0xB3, 0x03, 0x40, 0x00}));
}

// An interface that sends one all-on broadcast where two are awaited: with
// the settings for real interfaces the next command gets out.
TEST_F(LenzQueue, TooFewBroadcastsHoldTheQueueOnlyUntilTheReplyTime) {
    links::TellLenzVersion(com, 3.6);
    com.LenzAntwoordTijd = 200;
    com.LenzSlaOver = 1;
    com.ZetSysteemAan();
    Answer(kOke + kAllesAan);
    EXPECT_EQ(Sent(), M({0x21, 0x81}));
    std::string r;
    com.StuurLoc(3, 0, false, true, {}, 3, 0, false, r);
    EXPECT_EQ(Sent(), "");
    platform::Sleep(210);
    com.GetBezetmelder(1, 0, false, false, r);
    EXPECT_EQ(Sent(), M({0xB3, 0x03, 0x40, 0x00}));
}
