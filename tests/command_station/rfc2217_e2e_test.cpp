// Selectrix end to end over the network: the component opens
// rfc2217://127.0.0.1:PORT, Debian's ser2net bridges that port to the slave
// side of the simulated unit's pseudo-terminal. The unit sees the exact bytes
// the component sends and the line settings it asks for.
#include "command_station/MivoComm.h"
#include "platform/Tick.h"
#include "serial/CPort.h"
#include "sim/SelectrixSim.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/Ser2Net.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace command_station;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 100;

using testsupport::Bytes;

class SelectrixOverNetwork : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testsupport::Ser2Net::Installed()) GTEST_SKIP() << "ser2net is not installed";
        platform::SetTickCountStart(kBeforeWrap);
        server = std::make_unique<testsupport::Ser2Net>(unit.DevicePath());
        com.SetDigitaalSysteem(dsSelectrix);
        com.SetPort(server->Url());
        com.OpenPort();
    }

    std::string Exchange(size_t expected, const std::function<void()>& op) {
        unit.ClearRecords();
        op();
        unit.WaitForReceived(expected > 0 ? expected : 1, expected > 0 ? 2000 : 100);
        std::string s;
        for (const sim::LineByte& r : unit.ReceivedBytes())
            s += static_cast<char>(r.byte);
        return s;
    }

    testsupport::RecordingHost host;
    sim::SelectrixSim unit;
    std::unique_ptr<testsupport::Ser2Net> server;
    TMivoCom com;
};

TEST_F(SelectrixOverNetwork, RequestsAndAnswersCrossUnchangedIncluding0xFF) {
    EXPECT_EQ(Exchange(2, [&] { EXPECT_TRUE(com.ZetSysteemAan()); }), Bytes({0xFF, 0xFF}));
    EXPECT_TRUE(unit.TrackPower());
    std::string r;
    for (int v : {0x00, 0x7F, 0xFE, 0xFF, 0x20, 0xFF}) {
        EXPECT_EQ(Exchange(2, [&] { com.SelectrixFunctieDecoder(20, static_cast<uint8_t>(v)); }),
                  Bytes({0x80 | 20, v}));
        EXPECT_EQ(Exchange(2, [&] { com.GetBezetmelder(20, 0, false, false, r); }),
                  Bytes({20, 0x20}));
        EXPECT_EQ(r, Bytes({v})) << v;
    }
    EXPECT_TRUE(host.Texts().empty());
}

TEST_F(SelectrixOverNetwork, ProbeGivesUpAfterItsWindowWithOneRequest) {
    EXPECT_TRUE(com.GetVerbindingOke());
    unit.SetSilent(true);
    unit.ClearRecords();
    const uint32_t start = platform::GetTickCount();
    EXPECT_FALSE(com.GetVerbindingOke());
    const uint32_t took = platform::ElapsedSince(start);
    EXPECT_GE(took + 1, 250u);
    EXPECT_LT(took, 1500u);
    unit.WaitForReceived(2, 500);
    std::string s;
    for (const sim::LineByte& x : unit.ReceivedBytes())
        s += static_cast<char>(x.byte);
    EXPECT_EQ(s, Bytes({0x7F, 0x20}));
}

TEST_F(SelectrixOverNetwork, ClosingSwitchesOffTheTrackPowerItSwitchedOn) {
    for (int i = 0; i < 5; ++i) {
        if (i > 0) com.OpenPort();
        ASSERT_EQ(Exchange(2, [&] { com.ZetSysteemAan(); }), Bytes({0xFF, 0xFF}));
        ASSERT_EQ(Exchange(2, [&] { com.ClosePort(); }), Bytes({0xFF, 0x00})) << "close " << i;
        EXPECT_FALSE(unit.TrackPower());
    }
}

TEST_F(SelectrixOverNetwork, LineSettingsReachThePseudoTerminal) {
    com.ClosePort();
    struct Row {
        serial::TBaudRate rate;
        unsigned baud;
        serial::TStopBits stop;
        bool two;
    } rows[] = {
        {serial::br19200, 19200, serial::sbOneStopBit, false},
        {serial::br2400, 2400, serial::sbTwoStopBits, true},
        {serial::br115200, 115200, serial::sbOneStopBit, false},
    };
    for (const Row& r : rows) {
        serial::TComPort port;
        port.SetPort(server->Url());
        port.SetBaudRate(r.rate);
        port.SetStopBits(r.stop);
        port.OpenPort();
        // The rate's answer came back before the open ended, so ser2net has set the line.
        EXPECT_EQ(unit.Line().baud, r.baud);
        EXPECT_EQ(unit.Line().twoStopBits, r.two) << r.baud;
        port.ClosePort();
    }
}

TEST_F(SelectrixOverNetwork, AStoppedServerFailsTheLineAndAFreshOneServesAgain) {
    ASSERT_TRUE(com.GetVerbindingOke());
    server->Stop();
    try {
        com.GetVerbindingOke();
        ADD_FAILURE() << "the line kept working without its server";
    } catch (const serial::EComPort& e) {
        EXPECT_TRUE(e.PortErrorCode() == 2 || e.PortErrorCode() == 3) << e.what();
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:"), std::string::npos) << e.what();
    }
    com.ClosePort();
    EXPECT_FALSE(com.Connected());

    server = std::make_unique<testsupport::Ser2Net>(unit.DevicePath());
    com.SetPort(server->Url());
    com.OpenPort();
    EXPECT_TRUE(com.GetVerbindingOke());
}

} // namespace
