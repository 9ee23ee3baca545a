// The component's shared model: fields, port profiles, guards, events, the
// helpers and the dispatch, over a recording device double.
#include "tests/support/ScriptedDevice.h"

#include "command_station/MivoComm.h"
#include "Links.h"
#include "command_station/LenzLog.h"
#include "tests/support/Bytes.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

using namespace command_station;
using namespace serial;
using namespace command_station::selectrix;
using namespace command_station::lenz;
using testsupport::DeviceScript;
using testsupport::InstallScript;

namespace {

constexpr uint32_t kJustBeforeWrap = 0xFFFFFFFFu - 60;

// Opens `com` on a fake line with the Selectrix profile (no event thread),
// then selects `systeem` while open.
std::shared_ptr<DeviceScript> OpenOnFake(TMivoCom& com, uint8_t systeem) {
    auto line = InstallScript(com);
    com.SetDigitaalSysteem(dsSelectrix);
    com.OpenPort();
    com.SetDigitaalSysteem(systeem);
    return line;
}

} // namespace

namespace {

// A corrupted message (wrong XOR byte), then the start of the next: the
// parser hunts for a message start and holds the unfinished bytes.
void CorruptLenzInput(TMivoCom& com) {
    links::Lenz(com).LenzOntvangBytes(std::string("\x42\x05\x53\x00\x42\x05", 6));
    ASSERT_TRUE(links::Lenz(com).LenzSynchroniseren);
    ASSERT_FALSE(links::Lenz(com).LenzInvoer.empty());
}

} // namespace

TEST(MivoComModel, ConstructionGivesTheInitialValues) {
    TMivoCom com;
    EXPECT_EQ(com.DigitaalSysteem, 0);
    EXPECT_FALSE(com.Connected());
    EXPECT_FALSE(com.SysteemAan);
    EXPECT_FALSE(com.LogNaarBestandAan);
    EXPECT_TRUE(com.LaatsteFout.empty());
    EXPECT_EQ(com.LenzLogMasker, 0);
    EXPECT_FALSE(com.OnAlgTekst || com.OnLenzAddTekst() || com.OnLenzDoeIets || com.OnIBAddTekst ||
                 com.OnIBDoeIets || com.OnDinDoeIets);
    EXPECT_TRUE(com.OnBeforeOpen && com.OnBeforeClose);
    EXPECT_EQ(com.MarklinLocPauze, 60);
    EXPECT_EQ(com.MarklinStopPauze, 90);
    EXPECT_EQ(com.MarklinBytePauze, 10);
    EXPECT_FALSE(com.MarklinSnel);
    EXPECT_TRUE(com.KaartOptie0 && com.KaartOptie1 && com.KaartOptie2);
    EXPECT_FALSE(com.KaartOptie4);
    EXPECT_FALSE(com.IBBinaireLoc);
    EXPECT_EQ(com.DinamoAntwoordTijd, 200);
    EXPECT_EQ(com.Parity().Bits(), prNone);
    // Each system's link starts with nothing queued, held back or known.
    com.SetDigitaalSysteem(dsMarklin);
    EXPECT_EQ(links::Marklin(com).MarklinVolgendeZending, 0);
    EXPECT_FALSE(com.Pending());
    com.SetDigitaalSysteem(dsLenz);
    EXPECT_EQ(links::Lenz(com).LenzAntwoordTot, 0);
    EXPECT_EQ(links::Lenz(com).LenzVersie, 0.0);
    EXPECT_FALSE(com.Pending());
    com.SetDigitaalSysteem(dsDinamo);
    EXPECT_FALSE(com.Pending());
    com.SetDigitaalSysteem(dsIntellibox);
    EXPECT_FALSE(com.Pending());
}

struct Profiel {
    uint8_t systeem;
    TBaudRate baud;
    TStopBits stop;
    bool parity;
    TFlowControl flow;
    TDTRFlowControl dtr;
    int32_t in, out;
    std::array<int32_t, 5> timeouts;
    bool rxChar;
};

const Profiel kProfielen[] = {
    {dsSelectrix,
     br9600,
     sbTwoStopBits,
     false,
     fcNone,
     dtrDisable,
     1024,
     1024,
     {20, 25, 15, 1000, 1500},
     false},
    {dsMarklin,
     br2400,
     sbTwoStopBits,
     false,
     fcHardware,
     dtrEnable,
     1024,
     1024,
     {20, 25, 15, 1000, 1500},
     false},
    {dsLenz,
     br9600,
     sbOneStopBit,
     false,
     fcHardware,
     dtrDisable,
     1024,
     1024,
     {20, 25, 15, 1000, 1500},
     true},
    {dsSerieleKaart,
     br9600,
     sbOneStopBit,
     false,
     fcNone,
     dtrEnable,
     1024,
     1024,
     {10, 0, 100, 0, 100},
     false},
    {dsIntellibox,
     br2400,
     sbTwoStopBits,
     false,
     fcHardware,
     dtrDisable,
     1024,
     512,
     {200, 250, 150, 750, 100},
     false},
    {dsDinamo,
     br9600,
     sbOneStopBit,
     true,
     fcNone,
     dtrDisable,
     1024,
     1024,
     {20, 25, 15, 1000, 1500},
     false},
};

// Every profile, reached from every other system and from odd settings of
// the host's own, ends with exactly the table's settings.
TEST(MivoComModel, EveryProfileReplacesWhateverCameBefore) {
    testsupport::RecordingHost host;
    for (const Profiel& p : kProfielen) {
        for (uint8_t before = 0; before <= 7; ++before) {
            SCOPED_TRACE("system " + std::to_string(p.systeem) + " after " +
                         std::to_string(before));
            TMivoCom com;
            com.SetDigitaalSysteem(before);
            com.SetDataBits(dbSeven);
            com.FlowControl().SetFlowControl(fcSoftware);
            com.Buffer().SetInputSize(64);
            com.Timeouts().SetReadInterval(-1);
            com.SetEvents(AllComEvents);
            com.OnRxChar = [](TCustomComPort*, int) {};
            com.SetDigitaalSysteem(p.systeem);

            EXPECT_EQ(com.DigitaalSysteem, p.systeem);
            EXPECT_EQ(com.BaudRate(), p.baud);
            EXPECT_EQ(com.DataBits(), dbEight);
            EXPECT_EQ(com.StopBits(), p.stop);
            EXPECT_EQ(com.Parity().Check(), p.parity);
            EXPECT_EQ(com.FlowControl().FlowControl(), p.flow);
            EXPECT_EQ(com.FlowControl().ControlDTR(), p.dtr);
            EXPECT_EQ(com.Buffer().InputSize(), p.in);
            EXPECT_EQ(com.Buffer().OutputSize(), p.out);
            const TComTimeouts& t = com.Timeouts();
            EXPECT_EQ((std::array<int32_t, 5>{t.ReadInterval(), t.ReadTotalMultiplier(),
                                              t.ReadTotalConstant(), t.WriteTotalMultiplier(),
                                              t.WriteTotalConstant()}),
                      p.timeouts);
            EXPECT_EQ(com.Events(), p.rxChar ? TComEvents{evRxChar} : TComEvents{});
            EXPECT_EQ(static_cast<bool>(com.OnRxChar), p.rxChar);
            EXPECT_EQ(com.IBDoelBaud, brCustom);
        }
    }
}

TEST(MivoComModel, ProfileDetailsThatDependOnHistory) {
    testsupport::RecordingHost host;
    TMivoCom com;
    // Parity bits are only ever set by DINAMO and stay after it.
    com.SetDigitaalSysteem(dsDinamo);
    EXPECT_EQ(com.Parity().Bits(), prOdd);
    com.SetDigitaalSysteem(dsSelectrix);
    EXPECT_FALSE(com.Parity().Check());
    EXPECT_EQ(com.Parity().Bits(), prOdd);

    com.MarklinSnel = true;
    com.SetDigitaalSysteem(dsMarklin);
    EXPECT_EQ(com.BaudRate(), br19200);

    // Choosing a system again keeps its queue; receive buffers are emptied
    // by their own profile. Another system's link replaces the old one.
    com.SetDigitaalSysteem(dsLenz);
    CorruptLenzInput(com);
    com.SetDigitaalSysteem(dsLenz);
    EXPECT_TRUE(links::Lenz(com).LenzInvoer.empty());
    EXPECT_FALSE(links::Lenz(com).LenzSynchroniseren);
    links::Lenz(com).LenzZend("\x21\x21"); // the port is closed: it stays queued
    com.SetDigitaalSysteem(dsLenz);
    EXPECT_EQ(links::Lenz(com).LenzRij.size(), 1u);
    EXPECT_TRUE(com.Pending());
    com.SetDigitaalSysteem(dsDinamo);
    links::Dinamo(com).Received("z"); // a header whose frame is not complete
    EXPECT_EQ(links::Dinamo(com).DinamoInvoer, "z");
    com.SetDigitaalSysteem(dsDinamo);
    EXPECT_TRUE(links::Dinamo(com).DinamoInvoer.empty());
    com.SetDigitaalSysteem(dsSelectrix);
    EXPECT_FALSE(com.Pending());
    EXPECT_EQ(com.LinkAs<command_station::lenz::LenzLink>(), nullptr);

    com.IBDoelBaud = br19200;
    com.SetDigitaalSysteem(dsIntellibox);
    EXPECT_EQ(com.IBDoelBaud, brCustom);
    EXPECT_TRUE(host.Texts().empty());
}

TEST(MivoComModel, UnknownSystemNumberKeepsTheBaudRateAndSaysSo) {
    for (uint8_t systeem : {uint8_t{0}, uint8_t{7}, uint8_t{255}}) {
        testsupport::RecordingHost host;
        TMivoCom com;
        com.SetDigitaalSysteem(dsDinamo);
        com.SetBaudRate(br4800);
        com.SetDigitaalSysteem(systeem);
        EXPECT_EQ(com.DigitaalSysteem, systeem);
        EXPECT_EQ(com.BaudRate(), br4800);
        EXPECT_EQ(com.StopBits(), sbTwoStopBits);
        EXPECT_FALSE(com.Parity().Check());
        EXPECT_EQ(host.Texts(),
                  std::vector<std::string>{"TMivoCom.SetDigitaalSysteem nog aanvullen"});
    }
}

TEST(MivoComModel, AProfileReachesAnOpenPortAsOneBatch) {
    TMivoCom com;
    auto line = OpenOnFake(com, dsSelectrix);
    line->ClearRecord();
    com.SetDigitaalSysteem(dsDinamo);
    std::lock_guard lock(line->mutex);
    ASSERT_EQ(line->states.size(), 1u);
    ASSERT_EQ(line->timeouts.size(), 1u);
    EXPECT_EQ(line->queues.size(), 1u);
    EXPECT_EQ(line->states.back().BaudRate, 9600u);
    EXPECT_TRUE(line->states.back().fParity);
    EXPECT_EQ(line->states.back().Parity, 1);
    EXPECT_EQ(line->states.back().StopBits, 0);
    EXPECT_EQ(line->timeouts.back().ReadTotalTimeoutMultiplier, 25u);
}

// Which operations refuse which systems on an open port, with what result.
TEST(MivoComModel, GuardMessagesOnAnOpenPort) {
    const std::string verbinding = "TMivoCom.GetVerbindingOke nog aanvullen!";
    const std::string noodstop = "TMivoCom.GetSysteemNoodstop nog aanvullen!";
    const std::string selectrix =
        "TMivoCom.SelectrixFunctieDecoder alleen van toepassing bij Selectrix!";
    const std::string cts = "TMivoCom.CheckCTS alleen van toepassing bij Märklin!";
    struct Row {
        uint8_t systeem;
        std::vector<std::string> messages;
    } rows[] = {
        {0, {verbinding, noodstop, selectrix, cts}},
        {dsSelectrix, {cts}},
        {dsMarklin, {selectrix}},
        {dsLenz, {selectrix, cts}},
        {dsSerieleKaart, {selectrix, cts}},
        {dsIntellibox, {selectrix, cts}},
        {dsDinamo, {noodstop, selectrix, cts}},
        {7, {verbinding, noodstop, selectrix, cts}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.systeem));
        testsupport::RecordingHost host;
        TMivoCom com;
        auto line = OpenOnFake(com, row.systeem);
        line->responder = [](const std::string&) { return std::string(1, '\x01'); };
        host.Clear();
        bool verbonden = com.GetVerbindingOke();
        com.GetSysteemNoodstop();
        com.SelectrixFunctieDecoder(5, 5);
        EXPECT_TRUE(com.CheckCTS());
        EXPECT_EQ(host.Texts(), row.messages);
        // The Intellibox is found on this line (any answer) and answers its test.
        EXPECT_EQ(verbonden, row.systeem == dsSelectrix || row.systeem == dsMarklin ||
                                 row.systeem == dsIntellibox || row.systeem == dsDinamo);
    }
}

TEST(MivoComModel, AClosedPortRefusesSilently) {
    for (uint8_t systeem = 0; systeem <= 7; ++systeem) {
        testsupport::RecordingHost host;
        TMivoCom com;
        com.SetDigitaalSysteem(systeem);
        host.Clear();
        std::string r = "old";
        EXPECT_FALSE(com.GetVerbindingOke());
        EXPECT_FALSE(com.GetSysteemNoodstop());
        EXPECT_TRUE(com.CheckCTS());
        com.SelectrixFunctieDecoder(1, 1);
        com.GetBezetmelder(1, 0, false, false, r);
        EXPECT_TRUE(r.empty());
        EXPECT_TRUE(host.Texts().empty()) << static_cast<int>(systeem);
    }
}

TEST(MivoComModel, SerialCardPowerSendsNothingAndCloseResetsTheCardByDtr) {
    platform::SetTickCountStart(0xFFFFFFFFu - 100);
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = OpenOnFake(com, dsSerieleKaart);
    EXPECT_TRUE(com.ZetSysteemAan());
    EXPECT_TRUE(com.SysteemAan);
    com.ClosePort();
    EXPECT_FALSE(com.SysteemAan);
    EXPECT_TRUE(line->Written().empty());
    std::lock_guard lock(line->mutex);
    ASSERT_EQ(line->escapes.size(), 2u);
    EXPECT_EQ(line->escapes[0], Escape::ClrDTR);
    EXPECT_EQ(line->escapes[1], Escape::SetDTR);
    EXPECT_GE(line->escapeTicks[1] - line->escapeTicks[0], 249u); // across the wrap
}

TEST(MivoComModel, OpeningPreparesTheSerialCardAndForgetsDetections) {
    TMivoCom com;
    auto line = InstallScript(com);
    com.SetDigitaalSysteem(dsSerieleKaart);
    com.SetBaudRate(br19200);
    links::Kaart(com).KaartGeinitialiseerd = true;
    com.OpenPort();
    EXPECT_EQ(com.BaudRate(), br9600);
    EXPECT_TRUE(com.KaartSnel);
    EXPECT_FALSE(links::Kaart(com).KaartGeinitialiseerd);
    {
        std::lock_guard lock(line->mutex);
        ASSERT_FALSE(line->states.empty());
        EXPECT_EQ(line->states.back().BaudRate, 9600u); // the card starts slow
    }
    line->responder = [](const std::string& w) { return w; }; // the card echoes
    ASSERT_TRUE(com.InitSysteem());
    ASSERT_TRUE(links::Kaart(com).KaartGeinitialiseerd);
    line->responder = nullptr;
    com.ClosePort();
    EXPECT_FALSE(links::Kaart(com).KaartGeinitialiseerd);

    com.SetDigitaalSysteem(dsSelectrix);
    com.SetBaudRate(br19200);
    com.OpenPort();
    EXPECT_EQ(com.BaudRate(), br19200);
    EXPECT_FALSE(com.KaartSnel);
    com.ClosePort();

    // Opening forgets the Lenz hunt and the Intellibox's detection; closing
    // forgets the detection too.
    com.SetDigitaalSysteem(dsLenz);
    CorruptLenzInput(com);
    com.OpenPort();
    EXPECT_FALSE(links::Lenz(com).LenzSynchroniseren);
    com.ClosePort();
    com.SetDigitaalSysteem(dsIntellibox);
    links::IB(com).IBGevonden = true;
    com.OpenPort();
    EXPECT_FALSE(links::IB(com).IBGevonden);
    // Found in mixed mode at the port's rate: two bytes to the probe and to "X" CR.
    line->responder = [](const std::string& w) {
        return w == std::string(1, '\xC4') || w == "X\r" ? std::string(2, '\0') : std::string();
    };
    com.IBVasteBaud = true;
    ASSERT_TRUE(com.InitSysteem()); // the detection
    ASSERT_TRUE(links::IB(com).IBGevonden);
    line->responder = nullptr;
    com.ClosePort();
    EXPECT_FALSE(links::IB(com).IBGevonden);
}

TEST(MivoComModel, DestroyingSwitchesOffWhatTheComponentSwitchedOn) {
    std::shared_ptr<DeviceScript> line;
    {
        TMivoCom com;
        line = OpenOnFake(com, dsSelectrix);
        com.ZetSysteemAan();
    }
    EXPECT_EQ(line->Written(), std::string("\xFF\xFF\xFF\x00", 4));
    {
        TMivoCom com;
        line = OpenOnFake(com, dsSelectrix);
    }
    EXPECT_TRUE(line->Written().empty());
}

// The text StuurLoc raises, as every system raises it (port closed).
std::string LocTextOf(uint8_t systeem, uint16_t adres, uint8_t snelheid, bool licht, bool vooruit,
                      const TFuncties& functies) {
    testsupport::RecordingHost host;
    TMivoCom com;
    com.SetDigitaalSysteem(systeem);
    std::string tekst;
    com.OnAlgTekst = [&](TAlgAct, const std::string& t) { tekst = t; };
    std::string resultaat;
    com.StuurLoc(adres, snelheid, licht, vooruit, functies, 3, 28, false, resultaat);
    return tekst;
}

TEST(MivoComModel, LocTextForEverySystem) {
    const TFuncties geen{false, false, false, false};
    EXPECT_EQ(LocTextOf(dsSelectrix, 3, 10, true, false, geen),
              "Adres: 3 snelheid: 10 licht aan achteruit(----)");
    EXPECT_EQ(LocTextOf(dsMarklin, 80, 14, false, true, {true, false, true, false}),
              "Adres: 80 snelheid: 14 licht uit(x-x-)");
    for (uint8_t systeem : {0, 1, 3, 4, 5, 6, 7})
        EXPECT_EQ(LocTextOf(systeem, 65535, 255, false, true, {false, true, false, true}),
                  "Adres: 65535 snelheid: 255 licht uit vooruit(-x-x)");
}

TEST(MivoComModel, StuurLocRaisesItsTextAndOnlySelectrixSends) {
    for (uint8_t systeem : {dsSelectrix, dsSerieleKaart, dsDinamo}) {
        TMivoCom com;
        auto line = OpenOnFake(com, systeem);
        std::vector<std::pair<TAlgAct, std::string>> raised;
        com.OnAlgTekst = [&](TAlgAct a, const std::string& t) { raised.emplace_back(a, t); };
        std::string r = "old";
        com.StuurLoc(3, 10, true, false, {false, true, true, true}, 3, 0, false, r);
        ASSERT_EQ(raised.size(), 1u);
        EXPECT_EQ(raised[0].first, aaLoc);
        EXPECT_EQ(raised[0].second, "Adres: 3 snelheid: 10 licht aan achteruit(-xxx)");
        if (systeem == dsSelectrix) {
            EXPECT_EQ(line->Written(), "\x83\x6A");
            EXPECT_EQ(r, "\x6A");
        } else {
            EXPECT_TRUE(line->Written().empty());
            EXPECT_TRUE(r.empty());
        }
    }
}

TEST(MivoComModel, SelectrixBytes) {
    struct Row {
        uint8_t speed;
        bool licht, vooruit, f1;
        uint8_t byte;
    } rows[] = {
        {10, true, false, false, 0x6A},   {10, true, false, true, 0xEA},
        {0, false, true, false, 0x00},    {31, false, true, false, 0x1F},
        {40, false, true, false, 0x28},   // not masked: spills into the direction bit
        {255, false, false, false, 0x1F}, // the sum is kept to eight bits
    };
    for (const Row& r : rows)
        EXPECT_EQ(selectrix::LocoByte(r.speed, r.licht, r.vooruit, r.f1), r.byte)
            << static_cast<int>(r.speed);
    EXPECT_EQ(selectrix::WriteRequest(106, 64), "\xEA\x40");
    EXPECT_EQ(selectrix::WriteRequest(127, 0), std::string("\xFF\x00", 2));
    EXPECT_EQ(selectrix::WriteRequest(200, 1), "\x48\x01");
    EXPECT_EQ(selectrix::WriteRequest(0xFFFF, 1), "\x7F\x01");
    EXPECT_EQ(selectrix::ReadRequest(109), "\x6D\x20");
    EXPECT_EQ(selectrix::ReadRequest(0), std::string("\x00\x20", 2));
}

TEST(MivoComModel, EventRaisersNeedAHandler) {
    TMivoCom com;
    // Nothing assigned: raising is a no-op.
    com.DoAlgTekst(aaTest, "x");
    com.DoLenzAddTekst("x");
    com.DoIBAddTekst("x");
    com.DoLenzDoeIets(laVersie, 1, 2, 3, 3.6);
    com.DoDinDoeIets(daMagneet, 1, 2, 3, 4);

    std::vector<std::string> got;
    com.OnAlgTekst = [&](TAlgAct a, const std::string& t) {
        got.push_back("alg" + std::to_string(a) + t);
    };
    com.SetOnLenzAddTekst([&](const std::string& t) { got.push_back("lenz" + t); });
    com.OnIBAddTekst = [&](const std::string& t) { got.push_back("ib" + t); };
    com.OnLenzDoeIets = [&](TLenzAktie a, uint16_t d1, uint16_t d2, uint8_t d3, double d4) {
        got.push_back("ld" + std::to_string(a) + "," + std::to_string(d1) + "," +
                      std::to_string(d2) + "," + std::to_string(d3) + "," +
                      std::to_string(d4 == 3.6));
    };
    com.OnDinDoeIets = [&](TDinAktie a, uint16_t d1, uint16_t d2, uint16_t d3, uint16_t d4) {
        got.push_back("din" + std::to_string(a) + "," + std::to_string(d1 + d2 + d3 + d4));
    };
    com.DoAlgTekst(aaTest, "x");
    com.DoLenzAddTekst("y");
    com.DoIBAddTekst("z");
    com.DoLenzDoeIets(laVersie, 1, 65535, 255, 3.6);
    com.DoDinDoeIets(daMagneet, 1, 2, 3, 4);
    EXPECT_EQ(got,
              (std::vector<std::string>{"alg3x", "lenzy", "ibz", "ld1,1,65535,255,1", "din1,10"}));
}

// What a host asks of every system: the idle step, "anything pending?" and
// letting it out before a close.
TEST(MivoComModel, PendingWorkAndLettingItOut) {
    testsupport::RecordingHost host;
    {
        // Märklin holds a locomotive command back while power is off; it
        // goes once power is on, in the idle step or when drained.
        TMivoCom com;
        com.MarklinLocPauze = 1;
        auto line = OpenOnFake(com, dsMarklin);
        std::string r;
        com.StuurLoc(3, 5, false, true, {}, 3, 14, false, r);
        EXPECT_TRUE(com.Pending());
        com.IdleStep();
        com.Drain();
        EXPECT_TRUE(com.Pending()) << "power is off";
        EXPECT_EQ(line->Written(), "");
        com.SysteemAan = true; // switched on meanwhile (no 500 ms gap to wait)
        com.Drain();
        EXPECT_FALSE(com.Pending());
        EXPECT_EQ(line->Written(), testsupport::Bytes({5, 3}));
    }
    {
        // The Lenz queue keeps a command while the port is closed.
        TMivoCom com;
        com.SetDigitaalSysteem(dsLenz);
        com.ZetSysteemUit();
        EXPECT_FALSE(com.Pending());
        links::Lenz(com).LenzZend(testsupport::Bytes({0x21, 0x21}));
        EXPECT_TRUE(com.Pending());
        com.IdleStep();
        com.Drain([] { return true; }); // stopped at once: nothing served
        EXPECT_TRUE(com.Pending());
    }
    for (int systeem : {0, int{dsSelectrix}, int{dsSerieleKaart}, int{dsIntellibox}, 7}) {
        TMivoCom com;
        auto line = OpenOnFake(com, static_cast<uint8_t>(systeem));
        EXPECT_FALSE(com.Pending()) << systeem;
        com.IdleStep();
        com.Drain();
        EXPECT_EQ(line->Written(), "") << systeem;
    }
}

TEST(MivoComModel, LenzLogCategoriesHaveOneBitEachAndAllCoversThem) {
    uint16_t seen = 0;
    for (const LenzLogCategory& c : kLenzLogCategories) {
        if (std::string(c.name) == "all") {
            EXPECT_EQ(c.bits, kLenzLogAll);
            continue;
        }
        EXPECT_EQ(c.bits & (c.bits - 1), 0) << c.name; // a single bit
        EXPECT_EQ(seen & c.bits, 0) << c.name;         // not named twice
        seen |= c.bits;
    }
    EXPECT_EQ(seen, kLenzLogAll);
}

TEST(MivoComModel, RemovingTheLenzTextHandlerClearsTheMask) {
    TMivoCom com;
    com.LenzLogMasker = 0xFFFF;
    com.SetOnLenzAddTekst([](const std::string&) {});
    EXPECT_EQ(com.LenzLogMasker, 0xFFFF);
    com.SetOnLenzAddTekst(nullptr);
    EXPECT_EQ(com.LenzLogMasker, 0);
    EXPECT_FALSE(com.OnLenzAddTekst());
}

TEST(MivoComModel, LenzReceiveHandlerCollectsAndLogsTheChunk) {
    TMivoCom com;
    auto line = OpenOnFake(com, dsLenz);
    std::vector<std::string> log;
    com.SetOnLenzAddTekst([&](const std::string& t) { log.push_back(t); });
    com.LenzLogMasker = 0x0001;
    line->Feed("\x01\x04\x05");
    com.OnRxChar(&com, 3);
    EXPECT_EQ(links::Lenz(com).LenzInvoer, ""); // a whole message, parsed at once
    EXPECT_EQ(log, std::vector<std::string>{"- ontvangen:  1 4 5"});
    com.LenzLogMasker = 0x0002;
    line->Feed("\xFF");
    com.OnRxChar(&com, 1);
    com.OnRxChar(&com, 0);
    EXPECT_EQ(links::Lenz(com).LenzInvoer, "\xFF"); // the start of a 17-byte message
    EXPECT_EQ(log.size(), 1u);
}

TEST(MivoComModel, InitSysteemForSystemsWithoutInitialisation) {
    for (uint8_t systeem : {0, 1, 2, 3, 7}) {
        testsupport::RecordingHost host;
        TMivoCom com;
        com.SetDigitaalSysteem(systeem);
        com.LaatsteFout = "stale";
        EXPECT_TRUE(com.InitSysteem());
        EXPECT_TRUE(com.LaatsteFout.empty());
    }
    TMivoCom com;
    com.SetDigitaalSysteem(dsDinamo);
    EXPECT_FALSE(com.InitSysteem()); // the port is closed
}

TEST(MivoComModel, CheckCtsWaitsASecondWhileLettingMessagesThrough) {
    platform::SetTickCountStart(0xFFFFFFFFu - 500);
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = OpenOnFake(com, dsMarklin);
    line->holdFlags = testsupport::kCtsHold;
    uint32_t start = platform::GetTickCount();
    EXPECT_FALSE(com.CheckCTS());
    uint32_t took = platform::ElapsedSince(start);
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 3000u);
    EXPECT_GT(host.ProcessMessagesCalls(), 5);
    EXPECT_TRUE(com.GetSysteemNoodstop());
    EXPECT_FALSE(com.GetVerbindingOke());

    // Freed by something the host's messages did.
    int calls = 0;
    host.onProcessMessages = [&] {
        if (++calls == 3) {
            std::lock_guard lock(line->mutex);
            line->holdFlags = 0;
        }
    };
    EXPECT_TRUE(com.CheckCTS());
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(host.Texts().empty());
}

TEST(MivoComModel, WachtOpInvoerAcrossTheWrap) {
    TMivoCom com;
    com.SetDigitaalSysteem(dsIntellibox);
    EXPECT_FALSE(com.WachtOpInvoer(0, 1000)); // closed: at once

    auto line = OpenOnFake(com, dsIntellibox);
    EXPECT_TRUE(com.WachtOpInvoer(0, 1000));
    line->Feed("abc");
    EXPECT_TRUE(com.WachtOpInvoer(3, 1000));

    platform::SetTickCountStart(kJustBeforeWrap);
    uint32_t start = platform::GetTickCount();
    EXPECT_FALSE(com.WachtOpInvoer(4, 120));
    uint32_t took = platform::ElapsedSince(start);
    EXPECT_GE(took, 120u);
    EXPECT_LT(took, 1000u);

    platform::SetTickCountStart(kJustBeforeWrap);
    start = platform::GetTickCount();
    // The fourth byte comes while the wait runs, once it has looked at the
    // queue after the counter wrapped.
    int fed = 0;
    line->onQueueLook = [&] {
        if (fed == 0 && platform::GetTickCount() < start) {
            ++fed;
            line->Feed("d");
        }
    };
    EXPECT_TRUE(com.WachtOpInvoer(4, 5000));
    line->onQueueLook = nullptr;
    EXPECT_EQ(fed, 1);
    EXPECT_LT(platform::ElapsedSince(start), 2500u);
    EXPECT_EQ(com.PendingInputCount(), 4); // waiting consumes nothing
}

TEST(MivoComModel, MarklinPacingWaitsOneGapAndNeverForAStaleTick) {
    TMivoCom com;
    com.SetDigitaalSysteem(dsMarklin);
    // The field starts at 0, which a counter past 2^31 sees as far ahead.
    platform::SetTickCountStart(0x80000010u);
    uint64_t t0 = platform::MicroNow();
    com.VerstuurBytes("\x60");
    EXPECT_LT(platform::MicroNow() - t0, 500000u);

    platform::SetTickCountStart(0xFFFFFFFFu - 3);
    com.VerstuurBytes("\x60");
    uint32_t start = platform::GetTickCount();
    com.VerstuurBytes("\x61");
    EXPECT_GE(platform::ElapsedSince(start), 9u);
    // The next transmission is due one gap after this one.
    int32_t ahead = static_cast<int32_t>(static_cast<uint32_t>(links::Marklin(com).MarklinVolgendeZending) -
                                         platform::GetTickCount());
    EXPECT_GE(ahead, 0);
    EXPECT_LE(ahead, 10);
}

// What each Selectrix operation purges, and how the power state reads an
// answer byte (the pty peer cannot answer every value).
TEST(MivoComModel, SelectrixPurgesAndPowerStateBytes) {
    TMivoCom com;
    auto line = OpenOnFake(com, dsSelectrix);
    auto purges = [&] {
        std::lock_guard lock(line->mutex);
        std::vector<uint32_t> p = line->purges;
        line->purges.clear();
        return p;
    };
    const uint32_t rx = PURGE_RXCLEAR, both = PURGE_RXCLEAR | PURGE_TXCLEAR;
    purges();
    std::string r;
    line->responder = [](const std::string&) { return std::string(1, '\x01'); };
    EXPECT_TRUE(com.GetVerbindingOke());
    EXPECT_EQ(purges(), std::vector<uint32_t>{both});
    EXPECT_FALSE(com.GetSysteemNoodstop());
    EXPECT_EQ(purges(), std::vector<uint32_t>{rx});
    com.GetBezetmelder(7, 0, false, false, r);
    EXPECT_EQ(purges(), std::vector<uint32_t>{rx});
    com.GetBezetmelder(112, 0, false, false, r);
    com.ZetSysteemAan();
    com.ZetSysteemUit();
    com.SelectrixFunctieDecoder(1, 2);
    com.StuurLoc(1, 2, false, false, {}, 3, 0, false, r);
    EXPECT_TRUE(purges().empty());

    struct Row {
        std::string answer;
        bool noodstop;
    } rows[] = {{"", true}, {std::string(1, '\0'), true}, {"\x01", false}, {"\x80", false}};
    for (const Row& row : rows) {
        line->responder = [&](const std::string&) { return row.answer; };
        EXPECT_EQ(com.GetSysteemNoodstop(), row.noodstop) << row.answer.size();
    }
    // Stale input is discarded by the purge, not taken as the answer.
    line->responder = nullptr;
    line->Feed("\x80");
    EXPECT_TRUE(com.GetSysteemNoodstop());
}
