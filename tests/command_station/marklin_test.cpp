// Märklin without a line: the pure helpers, the hold-back list and the
// deadlines over a recording device, and the CTS rules over a scripted device
// (a pseudo-terminal has no CTS).
#include "tests/support/ScriptedDevice.h"
#include "tests/support/ScriptedDevice.h"

#include "command_station/MivoComm.h"
#include "Links.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <thread>

using namespace command_station;
using namespace command_station::marklin;
using testsupport::DeviceScript;
using testsupport::InstallScript;
using testsupport::ScriptedFactory;

namespace {

// The half of the counter's turn in which a deadline of 0 lies "ahead", and
// the last moments before the wrap.
constexpr uint32_t kUpperHalf = 0x80000010u;
constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 30;

using testsupport::Bytes;

std::shared_ptr<DeviceScript> OpenMarklin(TMivoCom& com) {
    auto line = InstallScript(com);
    com.SetDigitaalSysteem(dsMarklin);
    com.OpenPort();
    return line;
}

std::string TakeWritten(DeviceScript& line) {
    std::lock_guard lock(line.mutex);
    std::string w = line.written;
    line.written.clear();
    return w;
}

uint32_t MsSince(uint64_t startUs) {
    return static_cast<uint32_t>((platform::MicroNow() - startUs) / 1000);
}

void Loc(TMivoCom& com, uint16_t adres, uint8_t snelheid, bool licht = false) {
    std::string r;
    com.StuurLoc(adres, snelheid, licht, true, {}, 3, 0, false, r);
}

} // namespace

TEST(MarklinPure, FeedbackRequestsAndTheirAnswerLengths) {
    struct Row {
        uint8_t adres;
        bool alle;
        std::string verzoek;
        int bytes;
    } rows[] = {
        {0, true, "", 0},
        {0, false, "", 0},
        {1, true, Bytes({0x81}), 2},
        {3, true, Bytes({0x83}), 6},
        {3, false, Bytes({0xC3}), 2},
        {31, true, Bytes({0x9F}), 62},
        {31, false, Bytes({0xDF}), 2},
        {32, true, "", 0},
        {32, false, "", 0},
        {255, false, "", 0},
    };
    for (const Row& row : rows) {
        int bytes = -1;
        EXPECT_EQ(marklin::ReadRequest(row.adres, row.alle, bytes), row.verzoek) << int(row.adres);
        EXPECT_EQ(bytes, row.bytes) << int(row.adres);
    }
}

TEST(MarklinPure, LocomotiveByteAndItsText) {
    EXPECT_EQ(marklin::LocoByte(7, true), 0x17);
    EXPECT_EQ(marklin::LocoByte(7, false), 0x07);
    EXPECT_EQ(marklin::LocoByte(250, true), 10); // kept to eight bits, as the line carries it
    EXPECT_EQ(marklin::SendText(23, 24), "Adres: 24 stuur echt: 23");
    EXPECT_EQ(marklin::SendText(63, 1), "Adres: 1 stuur echt: 63");
    EXPECT_EQ(marklin::SendText(64, 80), "Adres: 80 stuur echt: 64 (functies)");
}

TEST(MarklinPure, HoldBackListKeepsOneCommandPerAddressInOrder) {
    ByteQueue lijst;
    marklin::HoldBack(lijst, 5, 10);
    marklin::HoldBack(lijst, 6, 11);
    marklin::HoldBack(lijst, 7, 10); // replaces the first, in its place
    EXPECT_EQ(lijst, (ByteQueue{Bytes({7, 10}), Bytes({6, 11})}));
    for (int i = 0; i < 3000; ++i)
        marklin::HoldBack(lijst, static_cast<uint8_t>(i % 31), static_cast<uint8_t>(i * 7));
    EXPECT_EQ(lijst.size(), 256u);
}

TEST(MarklinHoldBack, CommandsWithinTheStartGapGoOutLaterInOrderOnePerGap) {
    platform::SetTickCountStart(kBeforeWrap);
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = OpenMarklin(com);
    std::vector<std::string> texts;
    com.OnAlgTekst = [&](TAlgAct act, const std::string& t) {
        if (act == aaLoc && t.find("stuur echt") != std::string::npos) texts.push_back(t);
    };
    ASSERT_TRUE(com.ZetSysteemAan());
    EXPECT_EQ(TakeWritten(*line), Bytes({0x60}));

    uint64_t t0 = platform::MicroNow();
    Loc(com, 24, 7, true);
    Loc(com, 25, 3);
    Loc(com, 24, 9, true); // the newer wish for 24 replaces the waiting one
    EXPECT_EQ(TakeWritten(*line), "");
    ASSERT_TRUE(com.Pending());
    EXPECT_EQ(links::Marklin(com).MarklinAchtergehouden, (ByteQueue{Bytes({0x19, 24}), Bytes({0x03, 25})}));
    EXPECT_FALSE(links::Marklin(com).MarklinVerstuurAchtergehouden()); // the 500 ms are not over

    EXPECT_TRUE(links::Marklin(com).MarklinVerstuurAchtergehouden(true));
    EXPECT_GE(MsSince(t0), 495u); // the 500 ms run from the power-on, a little before t0
    EXPECT_EQ(TakeWritten(*line), Bytes({0x19, 24}));
    EXPECT_FALSE(links::Marklin(com).MarklinVerstuurAchtergehouden()); // one per gap
    uint64_t t1 = platform::MicroNow();
    EXPECT_TRUE(links::Marklin(com).MarklinVerstuurAchtergehouden(true));
    EXPECT_GE(MsSince(t1), 55u);
    EXPECT_EQ(TakeWritten(*line), Bytes({0x03, 25}));
    EXPECT_FALSE(links::Marklin(com).MarklinVerstuurAchtergehouden(true)); // nothing left
    EXPECT_EQ(texts,
              (std::vector<std::string>{"Adres: 24 stuur echt: 25", "Adres: 25 stuur echt: 3"}));

    // The list is empty again, so the next command goes straight out.
    platform::Sleep(70);
    Loc(com, 30, 1);
    EXPECT_EQ(TakeWritten(*line), Bytes({0x01, 30}));
}

TEST(MarklinHoldBack, TheNextLocomotiveCommandTakesTheOldestAlong) {
    platform::SetTickCountStart(kUpperHalf);
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = OpenMarklin(com);
    Loc(com, 3, 5); // power is off: held
    EXPECT_EQ(TakeWritten(*line), "");
    ASSERT_TRUE(com.ZetSysteemAan());
    Loc(com, 4, 6); // within the start gap: held behind 3
    TakeWritten(*line);
    platform::Sleep(520);
    Loc(com, 5, 7); // the gap is over: 3 goes now, 5 joins the queue behind 4
    EXPECT_EQ(TakeWritten(*line), Bytes({5, 3}));
    EXPECT_EQ(links::Marklin(com).MarklinAchtergehouden, (ByteQueue{Bytes({6, 4}), Bytes({7, 5})}));
    platform::Sleep(70);
    Loc(com, 4, 8); // replaces the waiting 4, which then goes first
    EXPECT_EQ(TakeWritten(*line), Bytes({8, 4}));
}

TEST(MarklinHoldBack, NothingDrainsWhilePowerIsOffOrForAnotherSystem) {
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = OpenMarklin(com);
    Loc(com, 3, 5);
    EXPECT_FALSE(links::Marklin(com).MarklinVerstuurAchtergehouden(true));
    EXPECT_EQ(links::Marklin(com).MarklinAchtergehouden.size(), 1u);
    // Another system's link holds nothing back: the list went with the
    // Märklin link, and nothing drains.
    com.SetDigitaalSysteem(dsSelectrix);
    com.SysteemAan = true;
    com.IdleStep();
    com.Drain();
    EXPECT_EQ(TakeWritten(*line), "");
    EXPECT_FALSE(com.Pending());
}

// Deadlines the component never set count as passed, and no wait lasts longer
// than the pause that set it, wherever the tick counter stands.
TEST(MarklinDeadlines, NeverSetIsPassedAndNoWaitOutlastsItsPause) {
    for (uint32_t start : {kUpperHalf, kBeforeWrap, 0u}) {
        SCOPED_TRACE(start);
        platform::SetTickCountStart(start);
        testsupport::RecordingHost host;
        TMivoCom com;
        auto line = OpenMarklin(com);
        com.SysteemAan = true; // on, but not by a power-on of this component
        uint64_t t0 = platform::MicroNow();
        Loc(com, 9, 4);
        com.ZetSysteemUit();
        EXPECT_LT(MsSince(t0), 250u);
        EXPECT_EQ(TakeWritten(*line), Bytes({4, 9, 0x61}));

        // Power on, then off at once: off waits the 500 ms of the start gap.
        ASSERT_TRUE(com.ZetSysteemAan());
        t0 = platform::MicroNow();
        com.ZetSysteemUit();
        EXPECT_GE(MsSince(t0), 490u);
        EXPECT_LT(MsSince(t0), 1500u);

        // The counter jumps by weeks between setting and waiting: the tick
        // fields look far ahead, yet the wait stays within its pause.
        ASSERT_TRUE(com.ZetSysteemAan());
        platform::SetTickCountStart(platform::GetTickCount() - 0x40000000u);
        t0 = platform::MicroNow();
        com.ZetSysteemUit();
        EXPECT_LT(MsSince(t0), 1500u);
        EXPECT_EQ(TakeWritten(*line), Bytes({0x60, 0x61, 0x60, 0x61}));
    }
}

TEST(MarklinDeadlines, PowerOffSetsBothGapsAndThePacingKeepsBytesApart) {
    platform::SetTickCountStart(kBeforeWrap);
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = OpenMarklin(com);
    com.MarklinLocPauze = 120;
    com.MarklinStopPauze = 200;
    com.SysteemAan = true;
    com.ZetSysteemUit();
    uint32_t now = platform::GetTickCount();
    int32_t loc = static_cast<int32_t>(static_cast<uint32_t>(links::Marklin(com).MarklinLocVrijNa) - now);
    int32_t stop = static_cast<int32_t>(static_cast<uint32_t>(links::Marklin(com).MarklinStopVrijNa) - now);
    EXPECT_GE(loc, 110);
    EXPECT_LE(loc, 120);
    EXPECT_GE(stop, 190);
    EXPECT_LE(stop, 200);
    // A second power-off waits for the later of the two.
    com.SysteemAan = true;
    uint64_t t0 = platform::MicroNow();
    com.ZetSysteemUit();
    EXPECT_GE(MsSince(t0), 190u);

    // Every transmission is a full byte pause after the one before.
    com.MarklinBytePauze = 25;
    uint64_t last = 0;
    for (int i = 0; i < 4; ++i) {
        com.VerstuurBytes(Bytes({0xC1}));
        uint64_t at = platform::MicroNow();
        if (last) {
            EXPECT_GE(at - last, 25000u);
        }
        last = at;
    }
}

TEST(MarklinLoc, SendsAndReportsTheRealCommandAfterTheStartGap) {
    platform::SetTickCountStart(kBeforeWrap);
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = OpenMarklin(com);
    std::vector<std::string> texts;
    com.OnAlgTekst = [&](TAlgAct act, const std::string& t) {
        EXPECT_EQ(act, aaLoc);
        texts.push_back(t);
    };
    ASSERT_TRUE(com.ZetSysteemAan());
    platform::Sleep(510);
    TakeWritten(*line);
    std::string r;
    com.StuurLoc(24, 7, true, false, {true, false, false, false}, 3, 0, false, r);
    EXPECT_EQ(r, Bytes({0x17}));
    EXPECT_EQ(TakeWritten(*line), Bytes({0x17, 0x18}));
    EXPECT_EQ(texts, (std::vector<std::string>{"Adres: 24 snelheid: 7 licht aan(x---)",
                                               "Adres: 24 stuur echt: 23"}));
    // Address 280 goes out as 280 mod 256.
    platform::Sleep(70);
    com.StuurLoc(280, 0, false, true, {}, 3, 0, false, r);
    EXPECT_EQ(TakeWritten(*line), Bytes({0x00, 24}));
}

// ---------------------------------------------------------------- CTS

namespace {

struct CtsLine {
    std::shared_ptr<DeviceScript> script = std::make_shared<DeviceScript>();
    void Hold(bool held) {
        std::lock_guard lock(script->mutex);
        script->holdFlags = held ? 0x01 : 0x00;
    }
};

void OpenScripted(TMivoCom& com, CtsLine& cts) {
    com.SetDeviceFactory(ScriptedFactory(cts.script));
    com.SetDigitaalSysteem(dsMarklin);
    com.OpenPort();
    cts.script->ClearRecord();
}

} // namespace

TEST(MarklinCts, HeldForGoodRefusesEverythingWithoutSpinning) {
    platform::SetTickCountStart(kUpperHalf);
    testsupport::RecordingHost host;
    TMivoCom com;
    CtsLine cts;
    OpenScripted(com, cts);
    cts.Hold(true);

    uint64_t t0 = platform::MicroNow();
    EXPECT_FALSE(com.ZetSysteemAan());
    EXPECT_GE(MsSince(t0), 998u); // a second on the millisecond counter
    EXPECT_FALSE(com.SysteemAan);
    // Waiting lets messages through and blocks in between: a few hundred
    // rounds for the second, not a spin.
    EXPECT_GT(host.ProcessMessagesCalls(), 5);
    EXPECT_LT(host.ProcessMessagesCalls(), 1000);

    std::string r = "x";
    com.GetBezetmelder(3, 0, true, false, r);
    EXPECT_EQ(r, "");
    EXPECT_FALSE(com.GetVerbindingOke());
    EXPECT_TRUE(com.GetSysteemNoodstop());
    com.SysteemAan = true;
    Loc(com, 7, 3);
    EXPECT_EQ(links::Marklin(com).MarklinAchtergehouden.size(), 1u);
    EXPECT_FALSE(links::Marklin(com).MarklinVerstuurAchtergehouden(true));
    com.ZetSysteemUit(); // switches off, but cannot send while held
    EXPECT_FALSE(com.SysteemAan);
    EXPECT_EQ(cts.script->Written(), "");
    EXPECT_TRUE(host.Texts().empty());
}

TEST(MarklinCts, ReleasedAfterADelayOrFlappingLetsTheCommandGo) {
    platform::SetTickCountStart(kBeforeWrap);
    testsupport::RecordingHost host;
    TMivoCom com;
    CtsLine cts;
    OpenScripted(com, cts);

    // Released 300 ms after the power-on began to wait.
    cts.Hold(true);
    // Timed from before the thread starts: a slow start only adds to `took`.
    uint64_t t0 = platform::MicroNow();
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cts.Hold(false);
    });
    EXPECT_TRUE(com.ZetSysteemAan());
    uint32_t took = MsSince(t0);
    release.join();
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 1000u);
    EXPECT_EQ(cts.script->Written(), Bytes({0x60}));

    // Flapping: held at every other look. The command goes at a free look,
    // and a held look in between only delays it.
    {
        std::lock_guard lock(cts.script->mutex);
        cts.script->onCall = [s = cts.script.get(), n = 0](const std::string& call) mutable {
            if (call == "ClearError") s->holdFlags = (++n % 2) ? 0x01 : 0x00;
        };
    }
    platform::Sleep(510);
    Loc(com, 24, 7, true);
    EXPECT_EQ(cts.script->Written(), Bytes({0x60, 0x17, 0x18}));
    std::string r;
    com.GetBezetmelder(2, 0, false, false, r);
    EXPECT_EQ(cts.script->Written(), Bytes({0x60, 0x17, 0x18, 0xC2}));
}
