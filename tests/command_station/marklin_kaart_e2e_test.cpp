// Märklin and the serial card end to end: the component over the real serial
// layer and a pseudo-terminal, against the simulators. The bytes on the wire,
// the gaps between them as the interface saw them, and the card's rate.
#include "command_station/MivoComm.h"
#include "Links.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "sim/KaartSim.h"
#include "sim/MarklinSim.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

using namespace command_station;
using namespace serial;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 300;

using testsupport::Bytes;

std::string Bytes(const std::vector<sim::LineByte>& record) {
    std::string s;
    for (const sim::LineByte& b : record)
        s += static_cast<char>(b.byte);
    return s;
}

// Arrival times of the chunks in `record` (a chunk's bytes share theirs).
std::vector<uint64_t> Arrivals(const std::vector<sim::LineByte>& record) {
    std::vector<uint64_t> at;
    for (const sim::LineByte& b : record)
        if (at.empty() || at.back() != b.atUs) at.push_back(b.atUs);
    return at;
}

class MarklinLine : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetTickCountStart(kBeforeWrap);
        com.SetDigitaalSysteem(dsMarklin);
        com.SetPort(unit.DevicePath());
        com.OpenPort();
    }
    testsupport::RecordingHost host;
    sim::MarklinSim unit;
    TMivoCom com;
};

} // namespace

TEST_F(MarklinLine, ProfileReachesTheLine) {
    sim::LineSettings line = unit.Line();
    EXPECT_EQ(line.baud, 2400u);
    EXPECT_TRUE(line.twoStopBits);
    EXPECT_TRUE(line.rtsCts);
    com.ClosePort();
    com.MarklinSnel = true;
    com.SetDigitaalSysteem(dsMarklin);
    com.OpenPort();
    EXPECT_EQ(unit.Line().baud, 19200u);
}

TEST_F(MarklinLine, PowerLocomotiveAndPowerOffInOrderWithTheirGaps) {
    ASSERT_TRUE(com.ZetSysteemAan());
    std::string r;
    com.StuurLoc(24, 7, true, true, {}, 3, 0, false, r); // held: within the start gap
    EXPECT_TRUE(links::Marklin(com).MarklinVerstuurAchtergehouden(true));
    com.StuurLoc(25, 3, false, true, {}, 3, 0, false, r); // held: within the loc gap
    EXPECT_TRUE(links::Marklin(com).MarklinVerstuurAchtergehouden(true));
    com.ZetSysteemUit();
    ASSERT_TRUE(unit.WaitForReceived(6, 2000));
    std::vector<sim::LineByte> rx = unit.ReceivedBytes();
    EXPECT_EQ(Bytes(rx), Bytes({0x60, 0x17, 24, 0x03, 25, 0x61}));
    EXPECT_FALSE(unit.Power());
    EXPECT_EQ(unit.LocoByte(24), 0x17);
    EXPECT_EQ(unit.LocoByte(25), 0x03);

    std::vector<uint64_t> at = Arrivals(rx);
    ASSERT_EQ(at.size(), 4u);
    // Measured from the power-on, so a late wake of the simulator's thread
    // shortens no more than its own delay; the margin still tells 500 from
    // 450 and a loc gap from a byte gap.
    EXPECT_GE(at[1] - at[0], 480000u); // 500 ms after power on
    EXPECT_GE(at[2] - at[0], 540000u); // then MarklinLocPauze
    EXPECT_GE(at[3] - at[0], 600000u); // power off waits for the loc gap too
}

TEST_F(MarklinLine, FeedbackReadsOneOrAllModules) {
    unit.SetModule(1, 0x8001);
    unit.SetModule(2, 0x0000);
    unit.SetModule(3, 0x1234);
    unit.SetModule(31, 0xFFFE);
    struct Row {
        uint8_t adres;
        bool alle;
        std::string request, result;
    } rows[] = {
        {3, false, Bytes({0xC3}), Bytes({0x12, 0x34})},
        {3, true, Bytes({0x83}), Bytes({0x80, 0x01, 0x00, 0x00, 0x12, 0x34})},
        {31, false, Bytes({0xDF}), Bytes({0xFF, 0xFE})},
        {0, true, "", ""},
        {32, false, "", ""},
        {255, true, "", ""},
    };
    for (const Row& row : rows) {
        unit.ClearRecords();
        std::string r = "x";
        com.GetBezetmelder(row.adres, 0, row.alle, false, r);
        EXPECT_EQ(r, row.result) << int(row.adres);
        if (!row.request.empty()) unit.WaitForReceived(1, 1000);
        EXPECT_EQ(Bytes(unit.ReceivedBytes()), row.request) << int(row.adres);
    }
    unit.ClearRecords();
    std::string r;
    com.GetBezetmelder(31, 0, true, false, r);
    EXPECT_EQ(r.size(), 62u);
    unit.SetSilent(true);
    com.GetBezetmelder(3, 0, false, false, r);
    EXPECT_EQ(r, "");
}

TEST_F(MarklinLine, TransmissionsAreAtLeastOneBytePauseApart) {
    std::string r;
    for (int i = 0; i < 8; ++i)
        com.GetBezetmelder(static_cast<uint8_t>(1 + i % 3), 0, false, false, r);
    ASSERT_TRUE(unit.WaitForReceived(8, 2000));
    std::vector<uint64_t> at = Arrivals(unit.ReceivedBytes());
    ASSERT_EQ(at.size(), 8u); // never two in one chunk
    // Seven gaps of 10 ms; a late wake of the simulator's thread moves one
    // arrival, not the span.
    EXPECT_GE(at.back() - at.front(), 65000u);
}

// ---------------------------------------------------------------- serial card

namespace {

class KaartLine : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetTickCountStart(kBeforeWrap);
        com.SetDigitaalSysteem(dsSerieleKaart);
        com.SetPort(card.DevicePath());
    }
    testsupport::RecordingHost host;
    sim::KaartSim card;
    TMivoCom com;
};

} // namespace

TEST_F(KaartLine, FastCardIsConfiguredAtNineSixHundredThenAnswersAt19200) {
    card.SetModule(70, 0xA5);
    card.SetModule(5, 0x3C);
    com.SetBaudRate(br19200);
    com.OpenPort();
    EXPECT_EQ(card.Line().baud, 9600u);
    EXPECT_TRUE(com.GetVerbindingOke());
    EXPECT_EQ(card.LastConfig(), 0x0F);
    EXPECT_EQ(card.Baud(), 19200u);
    EXPECT_EQ(card.Line().baud, 19200u);
    EXPECT_EQ(card.Probes(), 1u);

    card.ClearRecords();
    std::string r;
    com.GetBezetmelder(70, 1, false, false, r);
    EXPECT_EQ(r, Bytes({0xA5}));
    com.GetBezetmelder(5, 0, false, true, r);
    EXPECT_EQ(r, Bytes({0x3C}));
    EXPECT_EQ(Bytes(card.ReceivedBytes()), Bytes({0x86, 0x71, 0x85, 0x40}));

    // Closing resets the card; the next open starts at 9600 again.
    com.ClosePort();
    com.OpenPort();
    EXPECT_EQ(card.Line().baud, 9600u);
    EXPECT_TRUE(com.InitSysteem());
    EXPECT_EQ(card.Baud(), 19200u);
    com.GetBezetmelder(70, 1, false, false, r);
    EXPECT_EQ(r, Bytes({0xA5}));
}

TEST_F(KaartLine, SlowCardStaysAtNineSixHundred) {
    card.SetModule(127, 0x42);
    com.OpenPort();
    EXPECT_TRUE(com.InitSysteem());
    EXPECT_EQ(card.LastConfig(), 0x07);
    EXPECT_EQ(card.Baud(), 9600u);
    std::string r;
    com.GetBezetmelder(127, 0, false, false, r);
    EXPECT_EQ(r, Bytes({0x42}));
}

TEST_F(KaartLine, FaultsGiveTheNegativeResults) {
    com.OpenPort();
    card.SetWrongEcho(0x06);
    EXPECT_FALSE(com.GetVerbindingOke());
    EXPECT_FALSE(links::Kaart(com).KaartGeinitialiseerd);
    EXPECT_FALSE(com.LaatsteFout.empty());
    card.SetWrongEcho(-1);
    card.SetSilent(true);
    EXPECT_FALSE(com.InitSysteem());
    card.SetSilent(false);
    EXPECT_TRUE(com.InitSysteem());
    card.SetOneByteAnswers(true);
    std::string r;
    com.GetBezetmelder(3, 0, false, false, r);
    EXPECT_EQ(r, Bytes({0xFF}));
    card.SetSilent(true);
    com.GetBezetmelder(3, 0, false, false, r);
    EXPECT_EQ(r, Bytes({0xFF}));
    EXPECT_FALSE(com.GetVerbindingOke());
}

TEST_F(KaartLine, WishForNineteenTwoHundredSurvivesAFailedStart) {
    com.SetBaudRate(br19200);
    com.OpenPort();
    card.SetSilent(true); // the rack is still off
    EXPECT_FALSE(com.InitSysteem());
    com.ClosePort();
    card.SetSilent(false);
    card.Reset(); // what the close's DTR pulse does on a real line
    com.OpenPort();
    EXPECT_TRUE(com.InitSysteem());
    EXPECT_EQ(card.LastConfig(), 0x0F);
    EXPECT_EQ(card.Baud(), 19200u);
    EXPECT_EQ(card.Line().baud, 19200u);
}
