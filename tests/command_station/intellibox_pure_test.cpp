// Intellibox protocol parts that need no port: speed values, command bytes,
// framing per mode, reply and rate texts.
#include "command_station/intellibox/IntelliboxMessages.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

using namespace command_station;
using namespace serial;
using namespace command_station::intellibox;

namespace {

using testsupport::Bytes;

} // namespace

TEST(IntelliboxSpeed, TableRowsAndEnds) {
    struct Case {
        uint8_t stappen, snelheid, waarde;
    };
    const Case cases[] = {
        {14, 0, 0},   {14, 1, 2},    {14, 6, 48},  {14, 14, 124}, {14, 15, 0},   {20, 18, 0},
        {0, 14, 124}, {27, 27, 121}, {27, 28, 0},  {27, 3, 13},   {28, 28, 124}, {28, 1, 2},
        {28, 15, 65}, {31, 3, 12},   {31, 4, 16},  {31, 30, 120}, {31, 31, 124}, {15, 15, 125},
        {15, 3, 17},  {15, 16, 0},   {255, 31, 0}, {255, 32, 0},  {100, 200, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(intellibox::SpeedValue(c.stappen, c.snelheid), c.waarde)
            << int(c.stappen) << "/" << int(c.snelheid);
}

TEST(IntelliboxLoc, TextBinaryAndP50Forms) {
    EXPECT_EQ(intellibox::TextLoco(3, 48, true, false, {}), "L3,48,1,0,0,0,0,0");
    EXPECT_EQ(intellibox::TextLoco(10239, 0, false, true, {true, false, true, true}), "L10239,0,0,1,1,0,1,1");

    EXPECT_EQ(intellibox::BinaryLoco(3, 48, true, false, {}), Bytes({0x80, 3, 0, 48, 0xD0}));
    EXPECT_EQ(intellibox::BinaryLoco(0x1234, 124, false, true, {true, true, true, true}),
              Bytes({0x80, 0x34, 0x12, 124, 0xEF}));
    EXPECT_EQ(intellibox::BinaryLoco(256, 0, false, false, {false, true, false, false}),
              Bytes({0x80, 0, 1, 0, 0xC2}));
    EXPECT_EQ(intellibox::LocoAddress(intellibox::BinaryLoco(0x1234, 1, false, false, {})), 0x1234);

    EXPECT_EQ(intellibox::P50Loco(3, 10, true), Bytes({26, 3}));
    EXPECT_EQ(intellibox::P50Loco(0x105, 14, false), Bytes({14, 5}));
    EXPECT_EQ(intellibox::P50Loco(80, 250, true), Bytes({10, 80})); // kept to eight bits
}

TEST(IntelliboxFraming, PerModeAndKind) {
    struct Case {
        std::string p50x, p50;
        bool geenAntwoord, xPrefix;
        std::string bytes;
        bool tekst, stil;
    };
    const Case cases[] = {
        {"RT10", "", false, true, "xRT10\r", true, false},
        {"RT10", "", false, false, "RT10\r", true, false},
        {Bytes({0xC4}), "", false, true, Bytes({'x', 0xC4}), false, false},
        {Bytes({0xC4}), "", false, false, Bytes({0xC4}), false, false},
        {Bytes({0xA7}), Bytes({0x60}), false, false, Bytes({0xA7}), false, false}, // P50X wins
        {"", Bytes({0x60}), false, true, Bytes({0x60}), false, true},
        {"", Bytes({0x60}), false, false, Bytes({0xC6, 0x60}), false, true},
        {"", Bytes({26, 3}), false, false, Bytes({0xC7, 26, 3}), false, true},
        {"", Bytes({26, 3}), false, true, Bytes({26, 3}), false, true},
        {Bytes({0x99}), "", true, false, Bytes({0x99}), false, true},
    };
    for (const Case& c : cases) {
        intellibox::Transmission z = intellibox::MakeTransmission(c.p50x, c.p50, c.geenAntwoord, c.xPrefix);
        EXPECT_EQ(z.bytes, c.bytes) << c.bytes;
        EXPECT_EQ(z.text, c.tekst) << c.bytes;
        EXPECT_EQ(z.noAnswer, c.stil) << c.bytes;
    }
}

TEST(IntelliboxTexts, EveryReplyCode) {
    const std::pair<int, const char*> known[] = {
        {2, "Illegale parameter waarde!"},
        {6, "De power is uit!"},
        {8, "Geen ruimte over in Lok cmd buffer, probeer opnieuw!"},
        {9, "De FIFO buffer voor wisselcommando's is vol, probeer opnieuw!"},
        {10, "Geen loc status beschikbaar (loc is niet in een slot)!"},
        {11, "Geen 'slot' beschikbaar!"},
        {12, "Locnr is ongeldig bij het protocol!"},
        {13, "Loc wordt bestuurd door ander apparaat!"},
        {14, "Ongeldig wisseladres in combinatie met het protocol!"},
        {16, "De IC2 FIFO buffer is vol!"},
        {64, "De FIFO buffer voor wisselcommando's is voor 75% gevuld!"},
        {65, "Commando geaccepteerd, doch IB is in 'Halt' mode!"},
        {66, "Commando geaccepteerd, doch van IB is 'Power Off'!"},
    };
    EXPECT_EQ(intellibox::IBFoutTekst(""), "");
    for (int code = 0; code < 256; ++code) {
        std::string expected = "Nog niet gedefinieerd! (nr:" + std::to_string(code) + ")";
        if (code == 0) expected = "";
        for (auto [k, t] : known)
            if (k == code) expected = t;
        // Only the first byte counts.
        EXPECT_EQ(intellibox::IBFoutTekst(Bytes({code, 2})), expected) << code;
    }
    EXPECT_EQ(intellibox::IBFoutTekst(Bytes({5})), "Nog niet gedefinieerd! (nr:5)");
}

TEST(IntelliboxTexts, RatesAndScanOrder) {
    const std::tuple<TBaudRate, const char*, const char*> rates[] = {
        {br2400, "24", "2400"},    {br4800, "48", "4800"},    {br9600, "96", "9600"},
        {br19200, "192", "19200"}, {br38400, "384", "38400"}, {br14400, "24", "??"},
        {br115200, "24", "??"},    {brCustom, "24", "??"},
    };
    for (auto [rate, kort, vol] : rates) {
        EXPECT_EQ(intellibox::RateText(rate), kort) << int(rate);
        EXPECT_EQ(intellibox::FullRateText(rate), vol) << int(rate);
    }
    EXPECT_EQ(intellibox::NextRate(br2400, true), br4800);
    EXPECT_EQ(intellibox::NextRate(br19200, true), br4800);
    EXPECT_EQ(intellibox::NextRate(br4800, false), br9600);
    EXPECT_EQ(intellibox::NextRate(br9600, false), br19200);
    EXPECT_EQ(intellibox::NextRate(br19200, false), br38400);
    EXPECT_EQ(intellibox::NextRate(br38400, false), brCustom);
    EXPECT_EQ(intellibox::NextRate(br57600, false), brCustom);
}
