// The DINAMO link's pure parts: frames, check bytes, splitting a receive
// buffer, reports, deadlines.
#include "command_station/Dinamo.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace command_station;

namespace {

using testsupport::Bytes;

} // namespace

TEST(DinamoFrame, FramesOnTheWire) {
    struct Row {
        std::string data;
        uint8_t toggle;
        std::string frame;
    } rows[] = {
        {"", 0, Bytes({0x00, 0x80})},
        {"", 1, Bytes({0x40, 0xC0})},
        {Bytes({0x94}), 0, Bytes({0x01, 0x94, 0xEB})},
        {Bytes({0x94}), 1, Bytes({0x41, 0x94, 0xAB})},
        {Bytes({0x01, 0x02}), 0, Bytes({0x02, 0x01, 0x02, 0xFB})},
        {Bytes({0xFF, 0xFF, 0xFF}), 1, Bytes({0x43, 0xFF, 0xFF, 0xFF, 0xC0})},
        {Bytes({0x7F}), 0, Bytes({0x01, 0x7F, 0x80})}, // sum exactly 128
    };
    for (const Row& row : rows) {
        std::string frame = DinamoFrame(row.data, row.toggle);
        EXPECT_EQ(frame, row.frame) << row.data.size() << "/" << int(row.toggle);
        EXPECT_TRUE(DinamoSomOke(frame));
        EXPECT_NE(static_cast<uint8_t>(frame.back()) & 0x80, 0);
        EXPECT_EQ(static_cast<uint8_t>(frame[0]) & 0x80, 0);
    }
    // Four bytes do not fit the two-bit count and are never cut to fit.
    EXPECT_THROW(DinamoFrame(Bytes({1, 2, 3, 4}), 0), std::length_error);
}

TEST(DinamoFrame, CheckSumCatchesEverySingleBitErrorInSevenBits) {
    std::string frame = DinamoFrame(Bytes({0x05, 0x11}), 1);
    for (size_t i = 0; i < frame.size(); ++i) {
        for (int bit = 0; bit < 7; ++bit) {
            std::string bad = frame;
            bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
            EXPECT_FALSE(DinamoSomOke(bad)) << i << ":" << bit;
        }
    }
    EXPECT_TRUE(DinamoSomOke(Bytes({0x31, 0x05, 0xCA})));
    EXPECT_FALSE(DinamoSomOke(Bytes({0x31, 0x05, 0xCB})));
}

TEST(DinamoFrame, SplittingTheReceiveBuffer) {
    using S = TDinamoSnede;
    struct Row {
        const char* name;
        std::string invoer;
        S snede;
        std::string frame; // when a frame came out
        std::string rest;
    } rows[] = {
        {"empty", "", S::Onvolledig, "", ""},
        {"garbage only", Bytes({0x80, 0xFF, 0xC0}), S::Onvolledig, "", ""},
        {"header alone", Bytes({0x31}), S::Onvolledig, "", Bytes({0x31})},
        {"one short", Bytes({0x02, 0x01, 0x02}), S::Onvolledig, "", Bytes({0x02, 0x01, 0x02})},
        {"empty frame", Bytes({0x40, 0xC0}), S::Frame, Bytes({0x40, 0xC0}), ""},
        {"garbage first", Bytes({0xFE, 0x80, 0x31, 0x05, 0xCA, 0x00}), S::Frame,
         Bytes({0x31, 0x05, 0xCA}), Bytes({0x00})},
        {"wrong check", Bytes({0x31, 0x05, 0xCB, 0x40, 0xC0}), S::Fout, "", Bytes({0x40, 0xC0})},
        {"three data bytes", Bytes({0x03, 0x04, 0x05, 0x06, 0xEE}), S::Frame,
         Bytes({0x03, 0x04, 0x05, 0x06, 0xEE}), ""},
        // Garbage without bit 7 looks like a header: it takes its length and
        // fails the check, so the bytes after it are looked at again.
        {"garbage without bit 7", Bytes({0x01, 0x00, 0x00, 0x40, 0xC0}), S::Fout, "",
         Bytes({0x40, 0xC0})},
    };
    for (const Row& row : rows) {
        std::string invoer = row.invoer, frame;
        EXPECT_EQ(DinamoVolgendFrame(invoer, frame), row.snede) << row.name;
        if (row.snede == S::Frame) {
            EXPECT_EQ(frame, row.frame) << row.name;
        }
        EXPECT_EQ(invoer, row.rest) << row.name;
    }
}

TEST(DinamoFrame, ReportsByTheirFirstByte) {
    using M = TDinamoMelding;
    struct Row {
        std::string data;
        M::Soort soort;
        TDinAktie aktie;
        uint16_t d1, d2;
        std::string tekst;
    } rows[] = {
        {"", M::Geen, daBezetmelder, 0, 0, ""},
        {Bytes({0x05}), M::Actie, daBezetmelder, 1, 0, ""},
        {Bytes({0x04, 0x00}), M::Actie, daBezetmelder, 1, 0, ""},
        {Bytes({0x06, 0x7F}), M::Actie, daBezetmelder, 128, 1, ""},
        {Bytes({0x0E, 0xFF}), M::Actie, daBezetmelder, 128, 1, ""}, // b2 keeps 7 bits
        {Bytes({0x84, 0x10}), M::Actie, daBezetmelder, 17, 0, ""},  // bit 7 of b1 plays no part
        {Bytes({0x06, 0x01, 0x02}), M::Geen, daBezetmelder, 0, 0, ""},
        {Bytes({0x02, 0x09}), M::Actie, daMagneet, 10, 0, ""},
        {Bytes({0x03, 0x09}), M::Actie, daMagneet, 10, 1, ""},
        {Bytes({0x03, 0x09, 0x55}), M::Actie, daMagneet, 10, 1, ""},
        {Bytes({0x03}), M::Actie, daMagneet, 1, 1, ""},
        {Bytes({0x40, 0x00}), M::Actie, daBlok, 1, 0, ""},
        {Bytes({0x5F, 0xFF}), M::Actie, daBlok, 32, 127, ""},
        {Bytes({0x44, 0x03, 0x01}), M::Actie, daBlok, 5, 3, ""}, // blocks may take three bytes
        {Bytes({0x00}), M::Tekst, daBezetmelder, 0, 0, "ontv: 0"},
        {Bytes({0x10, 0x01}), M::Tekst, daBezetmelder, 0, 0, "ontv: 16"},
        {Bytes({0x60}), M::Tekst, daBezetmelder, 0, 0, "ontv: 96"},
        {Bytes({0x94}), M::Tekst, daBezetmelder, 0, 0, "ontv: 148"},
    };
    for (const Row& row : rows) {
        TDinamoMelding m = DinamoMeldingVan(row.data);
        SCOPED_TRACE(row.data.empty() ? -1 : static_cast<uint8_t>(row.data[0]));
        EXPECT_EQ(m.soort, row.soort);
        if (row.soort == M::Actie) {
            EXPECT_EQ(m.aktie, row.aktie);
            EXPECT_EQ(m.data1, row.d1);
            EXPECT_EQ(m.data2, row.d2);
        }
        EXPECT_EQ(m.tekst, row.tekst);
    }
}

TEST(DinamoFrame, DeadlinesNeverWaitLongerThanTheirSetting) {
    struct Row {
        const char* name;
        uint32_t nu;
        int32_t deadline;
        uint32_t duur;
        uint32_t rest;
    } rows[] = {
        {"set just now", 1000, 1200, 200, 200},
        {"half way", 1100, 1200, 200, 100},
        {"reached", 1200, 1200, 200, 0},
        {"passed", 1300, 1200, 200, 0},
        {"across the wrap", 0xFFFFFFF0u, 0x000000B8, 200, 200},
        {"passed across the wrap", 0x00000010u, static_cast<int32_t>(0xFFFFFFF0u), 200, 0},
        // Never set (0) while the counter is in the half that sees 0 ahead.
        {"never set, upper half", 0x80000010u, 0, 1000, 0},
        // Within one setting of 0 the field cannot tell "never set" from a
        // real deadline; the link keeps a flag for that.
        {"0 shortly before the wrap is a real deadline", 0xFFFFFF00u, 0, 1000, 256},
        {"never set, lower half", 5, 0, 1000, 0},
        {"five seconds ahead of a one-second setting", 0xFFFFEC78u, 0, 1000, 0},
        {"zero setting", 50, 50, 0, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DinamoResterend(row.nu, row.deadline, row.duur), row.rest) << row.name;
        EXPECT_EQ(DinamoVerstreken(row.nu, row.deadline, row.duur), row.rest == 0) << row.name;
    }
}
