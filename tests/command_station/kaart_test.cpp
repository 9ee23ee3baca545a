// The serial card without a line: the pure helpers, the initialisation and
// the feedback read over a recording device, the DTR pulse over a scripted
// device (a pseudo-terminal has no DTR), and the kept 19200 wish.
#include "tests/support/ScriptedDevice.h"
#include "tests/support/ScriptedDevice.h"

#include "command_station/MivoComm.h"
#include "Links.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace command_station;
using namespace serial;
using namespace command_station::kaart;
using testsupport::DeviceScript;
using testsupport::InstallScript;
using testsupport::ScriptedFactory;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 400;
const std::string kKaartFout = "De seriele kaart kon niet worden geinitialiseerd. Staat het rek "
                               "wel aan en is de verbindingskabel juist aangesloten?";

using testsupport::Bytes;

std::string TakeWritten(DeviceScript& line) {
    std::lock_guard lock(line.mutex);
    std::string w = line.written;
    line.written.clear();
    return w;
}

// A card that echoes configuration bytes (below 0x80) and answers requests
// with `answer`.
void EchoingCard(DeviceScript& line, std::string answer) {
    std::lock_guard lock(line.mutex);
    line.responder = [answer](const std::string& w) {
        if (w.size() == 1 && static_cast<uint8_t>(w[0]) < 0x80) return w;
        return answer;
    };
}

} // namespace

TEST(KaartPure, ConfigurationByteFromTheOptions) {
    struct Row {
        bool o0, o1, o2, snel, o4;
        uint8_t byte;
    } rows[] = {
        {true, true, true, false, false, 0x07},   {true, true, true, true, false, 0x0F},
        {true, true, true, true, true, 0x1F},     {false, false, false, false, false, 0x00},
        {false, false, false, false, true, 0x10}, {false, true, false, true, false, 0x0A},
    };
    for (const Row& r : rows)
        EXPECT_EQ(kaart::ConfigByte(r.o0, r.o1, r.o2, r.snel, r.o4), r.byte) << int(r.byte);
}

TEST(KaartPure, FeedbackRequestBytes) {
    struct Row {
        uint8_t adres, verzoek;
        bool vlag2;
        std::string bytes;
    } rows[] = {
        {70, 1, false, Bytes({0x86, 0x71})},
        {5, 0, true, Bytes({0x85, 0x40})},
        {0, 0, true, Bytes({0x80, 0x40})},
        {63, 2, false, Bytes({0xBF, 0x52})},
        {64, 0, true, Bytes({0x80, 0x60})},
        {127, 0, false, Bytes({0xBF, 0x70})},
        {10, 200, false, Bytes({0x8A, 0x18})}, // the value wraps within its byte
        {128, 0, false, ""},
        {255, 1, true, ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(kaart::ReadRequest(r.adres, r.verzoek, r.vlag2), r.bytes) << int(r.adres);
}

TEST(KaartFeedback, SecondAnswerByteOrFfWhenShort) {
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = InstallScript(com);
    com.SetDigitaalSysteem(dsSerieleKaart);
    com.OpenPort();
    struct Row {
        std::string answer, result;
    } rows[] = {{Bytes({0x85, 0x5A}), Bytes({0x5A})},
                {Bytes({0x85}), Bytes({0xFF})},
                {"", Bytes({0xFF})},
                {Bytes({0x85, 0x00, 0x33}), Bytes({0x00})}};
    for (const Row& row : rows) {
        EchoingCard(*line, row.answer);
        line->Feed("stale"); // purged before the request
        std::string r;
        com.GetBezetmelder(5, 0, false, true, r);
        EXPECT_EQ(r, row.result) << row.answer.size();
        EXPECT_EQ(TakeWritten(*line), Bytes({0x85, 0x40}));
        std::lock_guard lock(line->mutex);
        line->input.clear();
    }
    for (int adres : {128, 200, 255}) {
        std::string r = "x";
        com.GetBezetmelder(static_cast<uint8_t>(adres), 0, false, false, r);
        EXPECT_EQ(r, "");
    }
    EXPECT_EQ(TakeWritten(*line), "");
}

TEST(KaartInit, EchoDecidesAndTheWaitLetsMessagesThrough) {
    platform::SetTickCountStart(kBeforeWrap);
    struct Row {
        const char* name;
        std::function<std::string(const std::string&)> card;
        bool ok;
    } rows[] = {
        {"echo", [](const std::string& w) { return w; }, true},
        {"wrong echo", [](const std::string&) { return Bytes({0x06}); }, false},
        {"no echo", nullptr, false},
        {"two bytes", [](const std::string& w) { return Bytes({0x00}) + w; }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::RecordingHost host;
        TMivoCom com;
        auto line = InstallScript(com);
        com.SetDigitaalSysteem(dsSerieleKaart);
        com.SetBaudRate(br19200);
        com.OpenPort();
        EXPECT_EQ(com.BaudRate(), br9600);
        line->responder = row.card;
        uint64_t t0 = platform::MicroNow();
        EXPECT_EQ(com.InitSysteem(), row.ok);
        uint64_t took = platform::MicroNow() - t0;
        EXPECT_GE(took, 998000u); // a second on the millisecond counter
        EXPECT_LT(took, 2500000u);
        EXPECT_GT(host.ProcessMessagesCalls(), 5);
        EXPECT_LT(host.ProcessMessagesCalls(), 1000);
        EXPECT_EQ(TakeWritten(*line), Bytes({0x0F}));
        EXPECT_EQ(links::Kaart(com).KaartGeinitialiseerd, row.ok);
        EXPECT_EQ(com.BaudRate(), row.ok ? br19200 : br9600);
        EXPECT_EQ(com.LaatsteFout, row.ok ? "" : kKaartFout);
        // Once initialised, InitSysteem does not send again.
        if (row.ok) {
            EXPECT_TRUE(com.InitSysteem());
            EXPECT_EQ(TakeWritten(*line), "");
        }
    }
}

TEST(KaartInit, ClosedPortFailsAtOnce) {
    testsupport::RecordingHost host;
    TMivoCom com;
    com.SetDigitaalSysteem(dsSerieleKaart);
    uint64_t t0 = platform::MicroNow();
    EXPECT_FALSE(com.InitSysteem());
    EXPECT_LT(platform::MicroNow() - t0, 500000u);
    EXPECT_EQ(com.LaatsteFout, kKaartFout);
    EXPECT_FALSE(com.GetVerbindingOke());
}

// A failed initialisation leaves the port at 9600; the next open must still
// ask the card for 19200, until the host picks another rate.
TEST(KaartInit, TheHostsFastWishOutlivesAFailedInitialisation) {
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = InstallScript(com);
    com.SetDigitaalSysteem(dsSerieleKaart);
    com.SetBaudRate(br19200);
    com.OpenPort();
    EXPECT_FALSE(com.InitSysteem()); // the rack is off
    EXPECT_EQ(TakeWritten(*line), Bytes({0x0F}));
    com.ClosePort();
    EXPECT_EQ(com.BaudRate(), br9600);

    com.OpenPort();
    EXPECT_TRUE(com.KaartSnel);
    line->responder = [](const std::string& w) { return w; };
    EXPECT_TRUE(com.InitSysteem());
    EXPECT_EQ(TakeWritten(*line), Bytes({0x0F}));
    EXPECT_EQ(com.BaudRate(), br19200);

    // After success the port carries the wish; a host that then asks for
    // 9600 gets 9600.
    com.ClosePort();
    com.SetBaudRate(br9600);
    com.OpenPort();
    EXPECT_FALSE(com.KaartSnel);
    com.ClosePort();

    // A failed one, then the host moves to another rate: the wish is gone.
    com.SetBaudRate(br19200);
    com.OpenPort();
    line->responder = nullptr;
    EXPECT_FALSE(com.InitSysteem());
    com.ClosePort();
    com.SetBaudRate(br4800);
    com.OpenPort();
    EXPECT_FALSE(com.KaartSnel);
    EXPECT_EQ(com.BaudRate(), br4800);
    com.ClosePort();
    // Selecting the system again drops it as well.
    com.SetBaudRate(br19200);
    com.OpenPort();
    EXPECT_FALSE(com.InitSysteem());
    com.ClosePort();
    com.SetDigitaalSysteem(dsSerieleKaart);
    com.OpenPort();
    EXPECT_FALSE(com.KaartSnel);
}

TEST(KaartClose, DtrPulseOf250MsResetsTheCardOnlyForTheCard) {
    for (uint8_t systeem : {dsSerieleKaart, dsSelectrix, dsMarklin}) {
        SCOPED_TRACE(int(systeem));
        testsupport::RecordingHost host;
        TMivoCom com;
        auto script = std::make_shared<DeviceScript>();
        std::vector<uint64_t> pulses; // when each escape function came
        script->onCall = [&](const std::string& call) {
            if (call == "EscapeFunction") pulses.push_back(platform::MicroNow());
        };
        com.SetDeviceFactory(ScriptedFactory(script));
        com.SetDigitaalSysteem(systeem);
        com.OpenPort();
        script->ClearRecord();
        pulses.clear();
        auto* kaart = com.LinkAs<command_station::kaart::KaartLink>();
        if (kaart) kaart->KaartGeinitialiseerd = true;
        com.ClosePort();
        if (kaart) {
            EXPECT_FALSE(kaart->KaartGeinitialiseerd);
        }
        if (systeem != dsSerieleKaart) {
            EXPECT_TRUE(script->escapes.empty());
            continue;
        }
        ASSERT_EQ(script->escapes, (std::vector<Escape>{Escape::ClrDTR, Escape::SetDTR}));
        ASSERT_EQ(pulses.size(), 2u);
        uint64_t low = pulses[1] - pulses[0];
        EXPECT_GE(low, 250000u);
        EXPECT_LT(low, 1000000u);
        // The pulse comes before the device is closed.
        std::vector<std::string> calls = script->Calls();
        auto close = std::find(calls.begin(), calls.end(), "Close");
        auto last = std::find(calls.rbegin(), calls.rend(), "EscapeFunction");
        EXPECT_LT(calls.rend() - last - 1, close - calls.begin());
    }
}

TEST(KaartProbe, ConnectionTestInitialisesThenProbes) {
    testsupport::RecordingHost host;
    TMivoCom com;
    auto line = InstallScript(com);
    com.SetDigitaalSysteem(dsSerieleKaart);
    com.OpenPort();
    EchoingCard(*line, Bytes({0x01}));
    EXPECT_TRUE(com.GetVerbindingOke());
    EXPECT_EQ(TakeWritten(*line), Bytes({0x07, 0x80}));
    EXPECT_TRUE(com.GetVerbindingOke()); // no second initialisation
    EXPECT_EQ(TakeWritten(*line), Bytes({0x80}));
    line->responder = nullptr;
    uint64_t t0 = platform::MicroNow();
    EXPECT_FALSE(com.GetVerbindingOke());
    EXPECT_GE(platform::MicroNow() - t0, 248000u); // 250 ms on the millisecond counter
    EXPECT_FALSE(com.GetSysteemNoodstop());
}
