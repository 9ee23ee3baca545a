// The pure parts of the Lenz link: framing, XOR, addresses, the speed
// encodings both ways, the version number and the log texts.
#include "command_station/lenz/LenzMessages.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

using namespace command_station;
using namespace command_station::lenz;

namespace {
using testsupport::Bytes;

} // namespace

TEST(LenzProtocol, FramingAndXor) {
    EXPECT_EQ(lenz::MessageLength(0x01), 3u);
    EXPECT_EQ(lenz::MessageLength(0x50), 2u);
    EXPECT_EQ(lenz::MessageLength(0x4E), 16u);
    EXPECT_EQ(lenz::MessageLength(0xFF), 17u);
    EXPECT_EQ(lenz::Xor(Bytes({0xB3, 0x03, 0x76, 0x00})), 0xC6);
    EXPECT_EQ(lenz::Xor(""), 0);
    struct Row {
        std::string bericht;
        bool oke;
    } rows[] = {
        {Bytes({0x01, 0x04, 0x05}), true},
        {Bytes({0x01, 0x04, 0x04}), false},
        {Bytes({0x00, 0x00}), true},
        {Bytes({0x21}), false},
        {"", false},
        {Bytes({0x62, 0x21, 0x36, 0x75}), true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(lenz::LenzXorOke(r.bericht), r.oke) << r.bericht.size();
}

TEST(LenzProtocol, HuntHeadersDependOnTheVersion) {
    int oud = 0, nieuw = 0;
    for (int h = 0; h < 256; ++h) {
        oud += lenz::IsMessageStart(static_cast<uint8_t>(h), false);
        nieuw += lenz::IsMessageStart(static_cast<uint8_t>(h), true);
    }
    EXPECT_EQ(oud, 16);
    EXPECT_EQ(nieuw, 20);
    for (int h : {0x50, 0xE3, 0xE4, 0xE5}) {
        EXPECT_FALSE(lenz::IsMessageStart(static_cast<uint8_t>(h), false)) << h;
        EXPECT_TRUE(lenz::IsMessageStart(static_cast<uint8_t>(h), true)) << h;
    }
}

TEST(LenzProtocol, AddressFormsRoundTrip) {
    struct Row {
        uint16_t adres;
        std::string bytes;
    } rows[] = {{0, Bytes({0, 0})},          {3, Bytes({0, 3})},
                {99, Bytes({0, 99})},        {100, Bytes({0xC0, 100})},
                {1000, Bytes({0xC3, 0xE8})}, {16383, Bytes({0xFF, 0xFF})}};
    for (const Row& r : rows) {
        EXPECT_EQ(lenz::LenzAdresBytes(r.adres), r.bytes) << r.adres;
        EXPECT_EQ(lenz::LenzAdresWaarde(r.bytes), r.adres) << r.adres;
    }
    EXPECT_EQ(lenz::LenzAdresWaarde(Bytes({3})), 0);
    EXPECT_EQ(lenz::LenzAdresWaarde(Bytes({0, 1, 2})), 0);
}

TEST(LenzProtocol, SpeedCodesPerStepMode) {
    struct Row {
        uint8_t modus, snelheid, code;
    } rows[] = {
        {1, 0, 0},   {1, 1, 2},   {1, 14, 15}, {1, 15, 15},   {1, 255, 15},  // top step at most
        {5, 7, 8},   {4, 0, 0},   {4, 1, 2},   {8, 126, 127}, {8, 200, 127}, //
        {2, 1, 2},   {2, 2, 18},  {2, 10, 22}, {2, 27, 15},   {2, 28, 0},    {6, 29, 0},
        {3, 10, 22}, {3, 28, 31}, {3, 29, 0},  {7, 27, 15},   {0, 5, 0},     {9, 5, 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(lenz::SpeedCode(r.modus, r.snelheid), r.code)
            << int(r.modus) << "/" << int(r.snelheid);
}

TEST(LenzProtocol, SpeedDecodingsBeforeVersion3) {
    struct Row {
        uint8_t code, stappen, stap;
    } rows[] = {
        {0, 0, 0},  {1, 0, 0},   {15, 0, 14},   {0, 4, 0},     {1, 4, 0}, // emergency stop
        {2, 4, 1},  {3, 4, 3},   {15, 4, 27},   {16, 4, 0},    {17, 4, 0},
        {18, 4, 2}, {31, 4, 28}, {0x36, 4, 10}, {0xF6, 2, 10}, // only the low five bits count
    };
    for (const Row& r : rows)
        EXPECT_EQ(lenz::OldStep(r.code, r.stappen), r.stap) << int(r.code) << "/" << int(r.stappen);
    // Every step the command encodes decodes back to itself.
    for (uint8_t s = 0; s <= 28; ++s)
        EXPECT_EQ(lenz::OldStep(lenz::SpeedCode(3, s), 4), s) << int(s);
}

TEST(LenzProtocol, SpeedDecodingsOfVersion3) {
    struct Row {
        uint8_t code, modus, stap;
    } rows[] = {
        {0, 0, 0},    {1, 0, 0},   {15, 0, 14}, {127, 4, 126}, {2, 4, 1},   {1, 2, 0},
        {16, 2, 0},   {17, 1, 0},  {2, 2, 1},   {18, 2, 2},    {31, 2, 28}, {0x25, 2, 8},
        {0x80, 2, 0}, {40, 3, 40}, {9, 5, 9},   {100, 7, 100}, // modes without a decoding report
                                                               // the code
    };
    for (const Row& r : rows)
        EXPECT_EQ(lenz::StepV3(r.code, r.modus), r.stap) << int(r.code) << "/" << int(r.modus);
    for (uint8_t s = 0; s <= 126; ++s)
        EXPECT_EQ(lenz::StepV3(lenz::SpeedCode(4, s), 4), s) << int(s);
    for (uint8_t s = 0; s <= 28; ++s)
        EXPECT_EQ(lenz::StepV3(lenz::SpeedCode(3, s), 2), s) << int(s);
}

TEST(LenzProtocol, VersionNumberAndItsText) {
    struct Row {
        uint8_t byte;
        double waarde;
        std::string punt, komma;
    } rows[] = {{0x36, 3.6, "3.6", "3,6"},
                {0x30, 3.0, "3", "3"},
                {0x3C, 3.12, "3.12", "3,12"},
                {0x23, 2.3, "2.3", "2,3"},
                {0x00, 0.0, "0", "0"}};
    for (const Row& r : rows) {
        EXPECT_DOUBLE_EQ(lenz::VersionValue(r.byte), r.waarde);
        EXPECT_EQ(lenz::VersionText(r.byte, '.'), r.punt);
        EXPECT_EQ(lenz::VersionText(r.byte, ','), r.komma);
    }
}

TEST(LenzProtocol, LogTexts) {
    EXPECT_EQ(lenz::ReceivedText(Bytes({1, 4, 5})), "- ontvangen:  1 4 5");
    EXPECT_EQ(lenz::FeedbackText(6, 2, 0x03), "- bezetmeldadres: 6 5x 6x 7- 8-");
    EXPECT_EQ(lenz::FeedbackText(1, 1, 0x08), "- bezetmeldadres: 1 1- 2- 3- 4x");
    EXPECT_EQ(lenz::TurnoutText(2, 9, 0x05), "- wisseladres: 2 9R 10R");
    EXPECT_EQ(lenz::TurnoutText(0, 3, 0x02), "- wisseladres: 0 3A 4A");
    EXPECT_EQ(lenz::FeedbackTypeText(7, 0x60),
              "!! - Feedbacktype: 11 op adres 7 niet gedefinieerd!");
    EXPECT_EQ(lenz::FeedbackTypeText(7, 0x00),
              "!! - Feedbacktype: 00 op adres 7 niet gedefinieerd!");
    EXPECT_EQ(lenz::LocoStateText("- loc: ", 3, true, false, 10),
              "- loc: 3 / vooruit / licht uit / snelheid: 10");
    EXPECT_EQ(lenz::UndefinedHeaderText(0x99), "- headertype 153 niet gedefinieerd!");
    EXPECT_EQ(lenz::UndefinedBytesText(Bytes({0x99, 0, 0x99})), "  ontvangen: 153 0 153");
    EXPECT_EQ(lenz::NumbersText(Bytes({0x42, 0, 0x80}), 0xC2), "66 0 128 194");
    EXPECT_EQ(lenz::SentLocoText(3, 10, false, true),
              "- uit (stuurloc): 3 / snelheid: 10 / achteruit / licht aan");
}
