// Every system end to end over the in-process line that --simulator uses: the
// component opens "sim:<system>", exchanges one command and its answer with
// the simulator, switches the power on where it can, and its close switches it
// off again over the same line.
#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "serial/ComSettings.h"
#include "sim/DinamoSim.h"
#include "sim/IntelliboxSim.h"
#include "sim/KaartSim.h"
#include "sim/LenzModel.h"
#include "sim/LenzSim.h"
#include "sim/MarklinSim.h"
#include "sim/SelectrixSim.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace command_station;
using testsupport::Bytes;

namespace {

std::string Received(sim::Transport& unit) {
    std::string s;
    for (const sim::LineByte& b : unit.ReceivedBytes())
        s += static_cast<char>(b.byte);
    return s;
}

// One system's exchange; `command` runs it and returns what the component
// made of the answer.
struct Case {
    const char* name;
    uint8_t system;
    std::function<std::shared_ptr<sim::Transport>()> start;
    std::function<std::string(TMivoCom&)> command;
    std::string request, answer;
    bool powers;          // ZetSysteemAan before the close
    std::string closeEnd; // the last bytes the close puts on the line
};

std::string LenzFrame(std::initializer_list<int> bytes) {
    return sim::LenzFrame(Bytes(bytes));
}

const Case kCases[] = {
    {"selectrix", dsSelectrix,
     [] {
         auto unit = std::make_shared<sim::SelectrixSim>(sim::kRecordLimit, sim::Wire::InProcess);
         unit->SetFeedback(12, 0x5A);
         return unit;
     },
     [](TMivoCom& com) {
         std::string r;
         com.GetBezetmelder(12, 0, false, false, r);
         return r;
     },
     Bytes({0x0C, 0x20}), Bytes({0x5A}), true, Bytes({0xFF, 0x00})},
    {"marklin", dsMarklin,
     [] {
         auto unit = std::make_shared<sim::MarklinSim>(sim::Wire::InProcess);
         unit->SetModule(3, 0x1234);
         return unit;
     },
     [](TMivoCom& com) {
         std::string r;
         com.GetBezetmelder(3, 0, false, false, r);
         return r;
     },
     Bytes({0xC3}), Bytes({0x12, 0x34}), true, Bytes({0x61})},
    {"lenz", dsLenz,
     [] { return std::make_shared<sim::LenzSim>(uint8_t{0x36}, sim::Wire::InProcess); },
     [](TMivoCom& com) { return std::to_string(com.GetLenzVersie()).substr(0, 3); },
     LenzFrame({0x21, 0x21}), "3.6", true, LenzFrame({0x80})},
    {"kaart", dsSerieleKaart,
     [] {
         auto unit = std::make_shared<sim::KaartSim>(sim::Wire::InProcess);
         unit->SetModule(70, 0xA5);
         return unit;
     },
     [](TMivoCom& com) {
         std::string r;
         EXPECT_TRUE(com.InitSysteem());
         com.GetBezetmelder(70, 1, false, false, r);
         return r;
     },
     "", Bytes({0xA5}), false, ""},
    {"intellibox", dsIntellibox,
     [] {
         auto unit =
             std::make_shared<sim::IntelliboxSim>(sim::IBMode::Mixed, 2400u, sim::Wire::InProcess);
         unit->SetFeedback(2, 0xBEEF);
         return unit;
     },
     [](TMivoCom& com) {
         com.IBVasteBaud = true;
         EXPECT_TRUE(com.GetVerbindingOke());
         uint16_t inputs = 0;
         EXPECT_EQ(com.ReadFeedbackModule(2, inputs), 0);
         char text[8];
         std::snprintf(text, sizeof text, "%04X", inputs);
         return std::string(text);
     },
     "", "BEEF", true, Bytes({'x', 0xA6})},
    {"dinamo", dsDinamo,
     [] { return std::make_shared<sim::DinamoSim>(sim::kRecordLimit, sim::Wire::InProcess); },
     [](TMivoCom& com) { return std::string(com.InitSysteem() ? "connected" : "no answer"); }, "",
     "connected", false, ""},
};

class InProcessLine : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override { platform::SetMainThread(); }
    testsupport::RecordingHost host;
};

} // namespace

TEST_P(InProcessLine, OpensExchangesAndClosesOverTheNamedLine) {
    const Case& c = GetParam();
    std::shared_ptr<sim::Transport> unit = c.start();
    EXPECT_EQ(unit->DevicePath(), std::string("sim:") + c.name);
    TMivoCom com;
    com.SetDigitaalSysteem(c.system);
    com.SetPort(unit->DevicePath());
    com.OpenPort();
    ASSERT_TRUE(com.Connected());
    // The rate the component set reaches the simulator as a pty shows it.
    EXPECT_EQ(unit->Line().baud, static_cast<unsigned>(serial::BaudRateValue(com.BaudRate())));

    unit->ClearRecords();
    EXPECT_EQ(c.command(com), c.answer);
    if (!c.request.empty()) {
        EXPECT_EQ(Received(*unit), c.request);
    }
    EXPECT_TRUE(host.Texts().empty());

    if (c.powers) {
        EXPECT_TRUE(com.ZetSysteemAan());
        ASSERT_TRUE(com.SysteemAan);
    }
    com.ClosePort();
    if (c.powers) {
        // The simulator may read the last bytes a moment after the close.
        auto closed = [&] {
            const std::string all = Received(*unit);
            return all.size() >= c.closeEnd.size() &&
                   all.compare(all.size() - c.closeEnd.size(), c.closeEnd.size(), c.closeEnd) == 0;
        };
        for (int i = 0; i < 300 && !closed(); ++i)
            platform::Sleep(10);
        EXPECT_TRUE(closed());
        EXPECT_FALSE(com.SysteemAan);
    }
    // The line is free for the next port.
    com.OpenPort();
    EXPECT_TRUE(com.Connected());
    com.ClosePort();
}

INSTANTIATE_TEST_SUITE_P(EverySystem, InProcessLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The Intellibox's rate detection over the in-process line: the simulator
// hears the port only at its own rate, which the port's settings carry.
TEST(InProcessIntellibox, DetectionFindsTheRateTheSimulatorListensAt) {
    testsupport::RecordingHost host;
    platform::SetMainThread();
    sim::IntelliboxSim ib(sim::IBMode::Mixed, 19200u, sim::Wire::InProcess);
    TMivoCom com;
    com.SetDigitaalSysteem(dsIntellibox);
    com.SetPort(ib.DevicePath());
    com.IBDoelBaud = serial::br19200;
    com.OpenPort();
    EXPECT_TRUE(com.GetVerbindingOke());
    EXPECT_EQ(com.BaudRate(), serial::br19200);
    EXPECT_EQ(ib.Line().baud, 19200u);
    // One probe at each rate, heard only at the simulator's own.
    std::vector<std::pair<unsigned, bool>> probes;
    for (const sim::LineByte& b : ib.ReceivedBytes())
        if (b.byte == 0xC4 && probes.size() < 4) probes.push_back({b.baud, b.heard});
    EXPECT_EQ(probes, (std::vector<std::pair<unsigned, bool>>{
                          {2400, false}, {4800, false}, {9600, false}, {19200, true}}));
    com.ClosePort();
}
