// Intellibox end to end: the component over the real serial layer and a pseudo-terminal,
// against the simulated interface, with the tick counter started just before its wrap. The
// detection cases wait seconds each (the break alone is 1.84 s); command cases mark the
// interface as found and skip it.
#include "tests/support/ScriptedDevice.h"

#include "Links.h"
#include "command_station/intellibox/IntelliboxMessages.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "sim/IntelliboxSim.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace command_station;
using namespace serial;
using namespace command_station::intellibox;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 1500;

using testsupport::Bytes;

class IntelliboxLine : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetTickCountStart(kBeforeWrap);
        com.SetDigitaalSysteem(dsIntellibox);
        com.SetPort(ib.DevicePath());
        com.OnIBAddTekst = [this](const std::string& t) { log.push_back(t); };
        com.OpenPort();
    }

    // Command cases: the interface in `mode` is found at the port's rate by
    // the connection test; what the detection said and sent is forgotten.
    void AlsGevonden(sim::IBMode mode) {
        ib.SetMode(mode);
        com.IBVasteBaud = true;
        ASSERT_TRUE(com.GetVerbindingOke());
        com.IBVasteBaud = false;
        ASSERT_EQ(links::IB(com).IBP50XMogelijk, mode != sim::IBMode::P50Only);
        ASSERT_EQ(links::IB(com).IBXPrefix, mode != sim::IBMode::P50XOnly);
        ib.ClearRecords();
        log.clear();
        host.Clear();
    }

    // Runs the detection through GetVerbindingOke; returns its result and
    // how long it took in ms.
    bool Detect(uint32_t& tookMs) {
        uint32_t start = platform::GetTickCount();
        bool ok = com.GetVerbindingOke();
        tookMs = platform::ElapsedSince(start);
        return ok;
    }

    bool Logged(const std::string& line) {
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    size_t LogsStarting(const std::string& prefix) {
        return static_cast<size_t>(std::count_if(
            log.begin(), log.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
    }
    std::vector<sim::IBKind> Kinds() {
        std::vector<sim::IBKind> k;
        for (const sim::IBCommand& c : ib.Commands())
            k.push_back(c.kind);
        return k;
    }
    // The bytes heard at the interface, in order.
    std::string Heard() {
        std::string s;
        for (const sim::LineByte& r : ib.ReceivedBytes())
            if (r.heard) s += static_cast<char>(r.byte);
        return s;
    }

    testsupport::RecordingHost host;
    sim::IntelliboxSim ib{sim::IBMode::Mixed, 2400};
    // Before the component: its close on destruction still logs.
    std::vector<std::string> log;
    std::string r;
    TMivoCom com;
};

} // namespace

TEST_F(IntelliboxLine, MixedAt2400MovesTo19200AndBackOnClose) {
    com.IBDoelBaud = br19200;
    uint32_t took = 0;
    ASSERT_TRUE(Detect(took));
    // Break and pauses 1840 ms, one probe, the mode probe's 200 ms, "RT10" after 300 ms.
    EXPECT_GE(took, 2300u);
    EXPECT_LT(took, 6000u);
    EXPECT_EQ(LogsStarting("Check baudrate"), 0u);
    for (const char* line : {"Gevonden baudrate: 2400", "mixed mode",
                             "- Wijzig baudrate naar 19200!", "Ok", "RS-232 CTS ok"})
        EXPECT_TRUE(Logged(line)) << line;
    EXPECT_EQ(links::IB(com).IBGevondenBaud, br2400);
    EXPECT_EQ(com.BaudRate(), br19200);
    EXPECT_EQ(ib.Baud(), 19200u);
    EXPECT_EQ(ib.Line().baud, 19200u);
    EXPECT_NE(Heard().find("xB19200\r"), std::string::npos);

    // Mixed framing: P50X with "x", P50 bare.
    ib.ClearRecords();
    EXPECT_TRUE(com.ZetSysteemAan());
    EXPECT_TRUE(ib.Power());
    com.StuurLoc(3, 40, true, true, {}, 3, 28, false, r); // clamped to 28: value 124
    com.StuurLoc(5, 10, true, false, {}, 3, 14, true, r); // old protocol
    com.GetBezetmelder(1, 0, false, false, r);
    EXPECT_TRUE(r.empty());
    ASSERT_TRUE(ib.WaitForCommands(4, 2000));
    EXPECT_EQ(Heard(), "x" + Bytes({0xA7}) + "xL3,124,1,1,0,0,0,0\r" + Bytes({26, 5, 'x', 0x99}));
    EXPECT_EQ(Kinds(), (std::vector<sim::IBKind>{sim::IBKind::P50XBinary, sim::IBKind::P50XText,
                                                 sim::IBKind::P50Bare, sim::IBKind::P50XBinary}));
    EXPECT_TRUE(Logged("Loc: Ok"));

    ib.ClearRecords();
    com.ClosePort();
    EXPECT_FALSE(ib.Power()); // switched off before going back
    EXPECT_TRUE(Logged("- Weer terugzetten naar 2400 baud"));
    EXPECT_TRUE(Logged("Resultaat: Ok"));
    EXPECT_EQ(Heard(), "x" + Bytes({0xA6}) + "xB2400\r");
    EXPECT_EQ(ib.Baud(), 2400u);
    EXPECT_TRUE(host.Texts().empty());
}

TEST_F(IntelliboxLine, FoundAt19200AfterTryingEachRate) {
    ib.SetBaud(19200);
    com.IBDoelBaud = br19200;
    uint32_t took = 0;
    ASSERT_TRUE(Detect(took));
    std::vector<std::string> checks;
    for (const std::string& l : log)
        if (l.rfind("Check baudrate", 0) == 0 || l.rfind("Gevonden", 0) == 0) checks.push_back(l);
    EXPECT_EQ(checks,
              (std::vector<std::string>{"Check baudrate 4800", "Check baudrate 9600",
                                        "Check baudrate 19200", "Gevonden baudrate: 19200"}));
    // One probe per rate, 300 ms apart at least (200 ms wait + 100 ms pause).
    std::vector<sim::LineByte> probes;
    for (const sim::LineByte& b : ib.ReceivedBytes())
        if (b.byte == 0xC4 && probes.size() < 4) probes.push_back(b);
    ASSERT_EQ(probes.size(), 4u);
    const unsigned rates[] = {2400, 4800, 9600, 19200};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(probes[i].baud, rates[i]);
        EXPECT_EQ(probes[i].heard, i == 3);
        if (i > 0) {
            EXPECT_GE(probes[i].atUs - probes[i - 1].atUs, 295000u);
        }
    }
    EXPECT_GE(took, 1840u + 900u);
    EXPECT_LT(took, 8000u);
    EXPECT_EQ(com.BaudRate(), br19200);
}

TEST_F(IntelliboxLine, FixedRateWithoutAnswerStopsAfterOneAttempt) {
    com.IBVasteBaud = true;
    com.IBDoelBaud = br19200; // the interface runs at 2400
    uint32_t took = 0;
    EXPECT_FALSE(Detect(took));
    EXPECT_LT(took, 4000u);
    EXPECT_EQ(log, std::vector<std::string>{"<FOUT> de instelde baudrate is ongeldig!"});
    EXPECT_EQ(com.LaatsteFout, "Geen Intellibox of TWIN-Center gevonden!");
    ASSERT_EQ(ib.ReceivedBytes().size(), 1u);
    EXPECT_EQ(ib.ReceivedBytes()[0].baud, 19200u);
    EXPECT_FALSE(links::IB(com).IBGevonden);
}

TEST_F(IntelliboxLine, NoAnswerAtAnyRate) {
    ib.SetSilent(true);
    uint32_t took = 0;
    EXPECT_FALSE(Detect(took));
    EXPECT_EQ(LogsStarting("Check baudrate"), 4u);
    EXPECT_TRUE(Logged("<FOUT> geen geldige baudrate gevonden!"));
    // Break 1840 ms, five attempts of 200 + 100 ms.
    EXPECT_GE(took, 3300u);
    EXPECT_LT(took, 8000u);
}

TEST_F(IntelliboxLine, OneByteProbeAnswerAndP50XOnlyFraming) {
    ib.SetMode(sim::IBMode::P50XOnly);
    ib.SetProbeAnswerBytes(1);
    com.IBDoelBaud = br19200;
    uint32_t took = 0;
    ASSERT_TRUE(Detect(took));
    // "ZzA0" went without the prefix; the long mode-probe answer did not spill into the
    // answer to "B19200".
    EXPECT_NE(Heard().find(Bytes({0xC4}) + "ZzA0\r"), std::string::npos);
    EXPECT_EQ(Heard().find("xZzA0"), std::string::npos);
    EXPECT_TRUE(Logged("alleen IB eigen protocol (P50X) mode"));
    EXPECT_TRUE(Logged("Ok"));
    EXPECT_EQ(com.BaudRate(), br19200);
    EXPECT_EQ(ib.Baud(), 19200u);
    EXPECT_FALSE(links::IB(com).IBXPrefix);

    ib.ClearRecords();
    EXPECT_TRUE(com.ZetSysteemAan());
    com.StuurLoc(80, 10, false, true, {}, 3, 14, true, r);
    ASSERT_TRUE(ib.WaitForCommands(2, 2000));
    EXPECT_EQ(Heard(), Bytes({0xA7, 0xC7, 10, 80}));
    EXPECT_EQ(ib.Commands()[1].kind, sim::IBKind::P50Wrapped);
    EXPECT_EQ(ib.P50Locos().at(80), 10);
}

TEST_F(IntelliboxLine, P50OnlyGetsP50Only) {
    ib.SetMode(sim::IBMode::P50Only);
    ib.SetFeedback(1, 0x0102);
    uint32_t took = 0;
    ASSERT_TRUE(Detect(took));
    EXPECT_TRUE(Logged("alleen oud Marklin protocol; geen IB gevonden!"));
    EXPECT_FALSE(links::IB(com).IBP50XMogelijk);
    EXPECT_TRUE(com.GetVerbindingOke());

    EXPECT_TRUE(com.ZetSysteemAan());
    com.StuurLoc(7, 9, true, true, {}, 3, 14, false, r);
    com.ZetSysteemUit();
    ASSERT_TRUE(ib.WaitForCommands(1, 2000));
    platform::Sleep(50);
    EXPECT_EQ(ib.P50Locos().at(7), 25);
    EXPECT_FALSE(ib.Power());
    for (const sim::IBCommand& c : ib.Commands())
        EXPECT_EQ(c.kind, sim::IBKind::P50Bare);
    EXPECT_EQ(Heard().find('x'), std::string::npos);
}

TEST_F(IntelliboxLine, UnconfirmedRateChangeGoesBackToTheFoundRate) {
    ib.SetIgnoreBaudChange(true);
    com.IBDoelBaud = br19200;
    uint32_t took = 0;
    ASSERT_TRUE(Detect(took));
    EXPECT_TRUE(Logged("<fout> baudrate niet gewijzigd, terug naar 2400 baud"));
    EXPECT_EQ(com.BaudRate(), br2400);
    EXPECT_LT(took, 9000u);
    EXPECT_TRUE(com.GetVerbindingOke());
    EXPECT_TRUE(com.ZetSysteemAan());
    EXPECT_TRUE(ib.Power());
    // Nothing to undo on close.
    log.clear();
    com.ClosePort();
    EXPECT_EQ(LogsStarting("- Weer terugzetten"), 0u);
}

TEST_F(IntelliboxLine, AnswersAtAWrongRate) {
    // The interface runs at 19200 and answers anything heard at another rate
    // with one noise byte: at 2400 the probe gets one byte, which counts as
    // found, and the mode probe one byte, which means P50 only.
    ib.SetBaud(19200);
    ib.SetNoiseAtWrongRate(true);
    uint32_t took = 0;
    EXPECT_TRUE(Detect(took));
    EXPECT_EQ(LogsStarting("Check baudrate"), 0u);
    EXPECT_TRUE(Logged("Gevonden baudrate: 2400"));
    EXPECT_TRUE(Logged("alleen oud Marklin protocol; geen IB gevonden!"));
    EXPECT_FALSE(links::IB(com).IBP50XMogelijk);
    EXPECT_LT(took, 6000u);
    for (const sim::LineByte& b : ib.ReceivedBytes())
        EXPECT_FALSE(b.heard);
}

TEST_F(IntelliboxLine, ModeProbeAnswerSizes) {
    struct Case {
        size_t bytes;
        const char* line;
        bool p50x, prefix;
    } cases[] = {
        {0, "alleen oud Marklin protocol; geen IB gevonden!", false, true},
        {1, "alleen oud Marklin protocol; geen IB gevonden!", false, true},
        {3, "mixed mode", true, true},
        {100, "alleen oud Marklin protocol; geen IB gevonden!", false, true},
        {4000, "alleen oud Marklin protocol; geen IB gevonden!", false, true},
    };
    ib.SetBaud(38400);
    com.IBVasteBaud = true;
    com.IBDoelBaud = br38400;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        log.clear();
        ib.SetModeProbeAnswer(std::string(c.bytes, 'a'));
        com.ClosePort();
        com.OpenPort();
        uint32_t took = 0;
        EXPECT_TRUE(Detect(took));
        EXPECT_TRUE(Logged(c.line));
        EXPECT_EQ(links::IB(com).IBP50XMogelijk, c.p50x);
        EXPECT_EQ(links::IB(com).IBXPrefix, c.prefix);
        EXPECT_LT(took, 7000u);
    }
}

TEST_F(IntelliboxLine, PortClosedBetweenSteps) {
    for (const char* when : {"Check baudrate 4800", "Gevonden baudrate: 2400", "mixed mode"}) {
        SCOPED_TRACE(when);
        ib.SetSilent(std::string(when).rfind("Check", 0) == 0);
        com.OnIBAddTekst = [&](const std::string& t) {
            if (t == when) com.ClosePort();
        };
        if (!com.Connected()) com.OpenPort();
        uint32_t took = 0;
        EXPECT_FALSE(Detect(took));
        EXPECT_FALSE(com.Connected());
        EXPECT_FALSE(links::IB(com).IBGevonden);
    }
}

// ---------------------------------------------------------------- commands

TEST_F(IntelliboxLine, PowerReplyCodes) {
    AlsGevonden(sim::IBMode::Mixed);
    ib.SetPacing(false);
    for (int code = 1; code < 256; ++code) {
        ib.SetNextReplyCode(static_cast<uint8_t>(code));
        host.Clear();
        ASSERT_TRUE(com.ZetSysteemAan()) << code;
        EXPECT_FALSE(com.SysteemAan);
        EXPECT_EQ(host.Texts(), std::vector<std::string>{intellibox::IBFoutTekst(Bytes({code}))}) << code;
    }
    host.Clear();
    EXPECT_TRUE(com.ZetSysteemAan());
    EXPECT_TRUE(com.SysteemAan);
    EXPECT_TRUE(host.Texts().empty());

    ib.SetNextReplyCode(66);
    com.ZetSysteemUit();
    EXPECT_TRUE(com.SysteemAan);
    EXPECT_TRUE(
        Logged("<fout> systeemuitzetten: Commando geaccepteerd, doch van IB is 'Power Off'!"));
    com.ZetSysteemUit();
    EXPECT_FALSE(com.SysteemAan);
    EXPECT_FALSE(ib.Power());
}

TEST_F(IntelliboxLine, SpeedRowsOnTheLine) {
    AlsGevonden(sim::IBMode::Mixed);
    struct Case {
        uint8_t stappen, snelheid, waarde;
    } cases[] = {{28, 40, 124}, {14, 14, 124}, {20, 18, 0},
                 {27, 27, 121}, {31, 4, 16},   {15, 15, 125}};
    for (bool binair : {false, true}) {
        com.IBBinaireLoc = binair;
        for (const Case& c : cases) {
            com.StuurLoc(9, c.snelheid, false, true, {}, 3, c.stappen, false, r);
            EXPECT_TRUE(r.empty());
            EXPECT_EQ(ib.Locos().at(9).speed, c.waarde) << int(c.stappen) << " " << binair;
        }
    }
}

TEST_F(IntelliboxLine, HeldBackBinaryCommandsGoOutInOrder) {
    AlsGevonden(sim::IBMode::P50XOnly);
    com.IBBinaireLoc = true;
    ib.SetNextReplyCode(8);
    com.StuurLoc(3, 5, false, true, {}, 3, 14, false, r);
    ASSERT_TRUE(com.Pending());
    EXPECT_EQ(links::IB(com).IBAchtergehouden.size(), 1u);
    EXPECT_EQ(LogsStarting("<fout> loc: "), 1u);
    com.StuurLoc(4, 6, false, true, {}, 3, 14, false, r);
    EXPECT_TRUE(links::IB(com).IBAchtergehouden.empty());
    std::vector<sim::IBCommand> sent = ib.Commands();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(intellibox::LocoAddress(sent[1].bytes), 3);
    EXPECT_EQ(intellibox::LocoAddress(sent[2].bytes), 4);
    EXPECT_EQ(ib.Locos().at(3).speed, 38);

    // A refusal that does not ask to try again is not retried.
    ib.SetNextReplyCode(13);
    com.StuurLoc(5, 1, false, true, {}, 3, 14, false, r);
    EXPECT_TRUE(links::IB(com).IBAchtergehouden.empty());

    // While refused, a newer command for a waiting address replaces it in place.
    ib.SetReplyCode(9);
    com.StuurLoc(3, 1, false, true, {}, 3, 14, false, r);
    com.StuurLoc(6, 1, false, true, {}, 3, 14, false, r);
    com.StuurLoc(3, 14, false, true, {}, 3, 14, false, r);
    ASSERT_EQ(links::IB(com).IBAchtergehouden.size(), 2u);
    EXPECT_EQ(intellibox::LocoAddress(links::IB(com).IBAchtergehouden.front()), 3);
    // Never more than the bound.
    for (uint16_t a = 100; a < 140; ++a)
        com.StuurLoc(a, 1, false, true, {}, 3, 14, false, r);
    EXPECT_EQ(links::IB(com).IBAchtergehouden.size(), intellibox::kHeldBackMax);
    EXPECT_EQ(intellibox::LocoAddress(links::IB(com).IBAchtergehouden.back()), 139);

    ib.SetReplyCode(0);
    ib.ClearRecords();
    com.StuurLoc(7, 2, false, true, {}, 3, 14, false, r);
    EXPECT_TRUE(links::IB(com).IBAchtergehouden.empty());
    sent = ib.Commands();
    ASSERT_EQ(sent.size(), intellibox::kHeldBackMax + 1);
    EXPECT_EQ(intellibox::LocoAddress(sent.back().bytes), 7);
    for (size_t i = 1; i < sent.size() - 1; ++i)
        EXPECT_LT(intellibox::LocoAddress(sent[i - 1].bytes), intellibox::LocoAddress(sent[i].bytes));

    // A text command takes the waiting ones along too.
    ib.SetNextReplyCode(10);
    com.StuurLoc(8, 3, false, true, {}, 3, 14, false, r);
    EXPECT_EQ(links::IB(com).IBAchtergehouden.size(), 1u);
    com.IBBinaireLoc = false;
    ib.ClearRecords();
    com.StuurLoc(9, 3, false, true, {}, 3, 14, false, r);
    EXPECT_TRUE(links::IB(com).IBAchtergehouden.empty());
    EXPECT_EQ(Kinds(), (std::vector<sim::IBKind>{sim::IBKind::P50XBinary, sim::IBKind::P50XText}));
}

TEST_F(IntelliboxLine, TextAnswerWithoutEndIsCutOff) {
    AlsGevonden(sim::IBMode::Mixed);
    com.SetBaudRate(br19200);
    ib.SetBaud(19200);
    for (size_t len : {size_t(5000), SIZE_MAX}) {
        log.clear();
        ib.SetEndlessText(len);
        uint32_t start = platform::GetTickCount();
        com.StuurLoc(3, 1, false, true, {}, 3, 14, false, r);
        uint32_t took = platform::ElapsedSince(start);
        EXPECT_LT(took, intellibox::kTextMaxMs + 1000);
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0], "<fout> antwoord afgebroken na 256 bytes zonder ']'");
        EXPECT_EQ(log[1].size(), 5 + intellibox::kTextMaxBytes);
        ib.SetEndlessText(0);
        platform::Sleep(100); // what was on its way
    }
    log.clear();
    com.StuurLoc(3, 1, false, true, {}, 3, 14, false, r);
    EXPECT_EQ(log, std::vector<std::string>{"Loc: Ok"});
}

TEST_F(IntelliboxLine, ClosedPortSendsNothingAndAnswersZero) {
    com.ClosePort();
    ib.ClearRecords();
    std::string a = "old";
    links::IB(com).IBOpdracht(Bytes({0xA7}), "", false, a);
    EXPECT_EQ(a, Bytes({0}));
    links::IB(com).IBOpdracht("RT10", "", false, a);
    EXPECT_EQ(a, Bytes({0}));
    EXPECT_FALSE(links::IB(com).IBZoek());
    EXPECT_FALSE(com.GetVerbindingOke());
    platform::Sleep(30);
    EXPECT_TRUE(ib.ReceivedBytes().empty());
}

// ---------------------------------------------------------------- on a device double

namespace {

std::shared_ptr<testsupport::DeviceScript> OpenIntelliboxOnFake(TMivoCom& com) {
    auto line = testsupport::InstallScript(com);
    com.SetDigitaalSysteem(dsIntellibox);
    com.OpenPort();
    return line;
}

} // namespace

TEST(IntelliboxFake, BreakAndPausesBeforeTheFirstProbe) {
    testsupport::RecordingHost host;
    platform::SetTickCountStart(kBeforeWrap);
    TMivoCom com;
    auto line = OpenIntelliboxOnFake(com);
    line->responder = [](const std::string& w) {
        return w == Bytes({0xC4}) ? Bytes({0, 1}) : std::string();
    };
    com.IBVasteBaud = true;
    uint32_t start = platform::GetTickCount();
    EXPECT_TRUE(links::IB(com).IBZoek());
    std::lock_guard lock(line->mutex);
    ASSERT_EQ(line->escapes.size(), 2u);
    EXPECT_EQ(line->escapes[0], Escape::SetBreak);
    EXPECT_EQ(line->escapes[1], Escape::ClrBreak);
    uint32_t on = line->escapeTicks[0] - start;
    uint32_t off = line->escapeTicks[1] - line->escapeTicks[0];
    EXPECT_GE(on, 210u);
    EXPECT_LT(on, 600u);
    EXPECT_GE(off, 1020u);
    EXPECT_LT(off, 1500u);
    // The mode probe found nothing: P50 only, so P50 only goes out from here on.
    EXPECT_FALSE(links::IB(com).IBP50XMogelijk);
}

// A host that stops the scan (a script's Ctrl-C) is asked within its slices
// and the line is not left in break.
TEST(IntelliboxFake, AHostThatStopsTheScanIsHeardAndTheBreakIsCleared) {
    struct Stopped {};
    struct StoppingHost : testsupport::RecordingHost {
        bool armed = false;
        uint32_t stopAt = 0;
        void CheckInterrupt() override {
            if (armed && platform::GetTickCount() - stopAt < 0x80000000u) throw Stopped{};
        }
    } host;
    TMivoCom com;
    auto line = OpenIntelliboxOnFake(com);
    const uint32_t start = platform::GetTickCount();
    host.stopAt = start + 500; // inside the 1020 ms break
    host.armed = true;
    EXPECT_THROW(links::IB(com).IBZoek(), Stopped);
    EXPECT_LT(platform::GetTickCount() - start, 600u);
    std::lock_guard lock(line->mutex);
    ASSERT_EQ(line->escapes.size(), 2u);
    EXPECT_EQ(line->escapes[0], Escape::SetBreak);
    EXPECT_EQ(line->escapes[1], Escape::ClrBreak);
}

TEST(IntelliboxFake, CtsHeldBack) {
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = OpenIntelliboxOnFake(com);
    // A P50X-only interface: two bytes to the probe, a text to "X" CR.
    line->responder = [](const std::string& w) {
        return w == Bytes({0xC4}) ? Bytes({0, 1}) : w == "X\r" ? "P50X only" : std::string();
    };
    com.IBVasteBaud = true;
    ASSERT_TRUE(com.InitSysteem()); // the detection
    ASSERT_TRUE(links::IB(com).IBP50XMogelijk);
    line->responder = nullptr;
    com.IBBinaireLoc = true;
    {
        std::lock_guard lock(line->mutex);
        line->holdFlags = testsupport::kCtsHold;
        line->written.clear();
    }
    std::string r;
    EXPECT_FALSE(com.ZetSysteemAan());
    EXPECT_FALSE(links::IB(com).IBZoek());
    com.StuurLoc(3, 1, false, true, {}, 3, 14, false, r);
    com.StuurLoc(4, 1, false, true, {}, 3, 14, false, r);
    com.ZetSysteemUit();
    EXPECT_EQ(line->Written(), "");
    ASSERT_TRUE(com.Pending());
    EXPECT_EQ(links::IB(com).IBAchtergehouden.size(), 2u);

    line->responder = [](const std::string&) { return Bytes({0}); };
    {
        std::lock_guard lock(line->mutex);
        line->holdFlags = 0;
    }
    com.StuurLoc(5, 1, false, true, {}, 3, 14, false, r);
    EXPECT_TRUE(links::IB(com).IBAchtergehouden.empty());
    std::string w = line->Written();
    ASSERT_EQ(w.size(), 15u);
    EXPECT_EQ(intellibox::LocoAddress(w.substr(0, 5)), 3);
    EXPECT_EQ(intellibox::LocoAddress(w.substr(5, 5)), 4);
    EXPECT_EQ(intellibox::LocoAddress(w.substr(10, 5)), 5);
}

// One module's 16 inputs: the sensor-status read in P50X (with "x" in mixed
// mode), the P50 module read where only P50 is spoken; refusals and silence
// apart from an answer.
TEST_F(IntelliboxLine, ModuleReadInEveryMode) {
    struct Case {
        sim::IBMode mode;
        std::string heard;
    };
    const std::vector<Case> cases{
        {sim::IBMode::Mixed, "x" + Bytes({0x98, 3})},
        {sim::IBMode::P50XOnly, Bytes({0x98, 3})},
        {sim::IBMode::P50Only, Bytes({0xC3})},
    };
    ib.SetFeedback(3, 0x8001);
    for (const Case& c : cases) {
        // Found afresh in each mode: a close forgets what was found.
        com.ClosePort();
        com.OpenPort();
        AlsGevonden(c.mode);
        uint16_t inputs = 0;
        EXPECT_EQ(com.ReadFeedbackModule(3, inputs), 0) << Heard();
        EXPECT_EQ(inputs, 0x8001);
        EXPECT_EQ(Heard(), c.heard);
    }

    com.ClosePort();
    com.OpenPort();
    AlsGevonden(sim::IBMode::Mixed);
    uint16_t inputs = 1;
    ib.SetNextReplyCode(6);
    EXPECT_EQ(com.ReadFeedbackModule(3, inputs), 6);
    EXPECT_EQ(inputs, 0);
    // After a refusal the next read is whole again.
    EXPECT_EQ(com.ReadFeedbackModule(4, inputs), 0);
    ib.ClearRecords();
    for (uint8_t module : {0, 32})
        EXPECT_EQ(com.ReadFeedbackModule(module, inputs), -1);
    EXPECT_EQ(Heard(), "");
    ib.SetSilent(true);
    EXPECT_EQ(com.ReadFeedbackModule(3, inputs), -1);
    EXPECT_TRUE(host.Texts().empty());
}
