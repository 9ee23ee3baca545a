// The DINAMO link's pure parts: frames, check bytes, splitting a receive
// buffer, reports, deadlines.
#include "command_station/dinamo/DinamoMessages.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace command_station;
using namespace command_station::dinamo;

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
        std::string frame = dinamo::Frame(row.data, row.toggle);
        EXPECT_EQ(frame, row.frame) << row.data.size() << "/" << int(row.toggle);
        EXPECT_TRUE(DinamoSomOke(frame));
        EXPECT_NE(static_cast<uint8_t>(frame.back()) & 0x80, 0);
        EXPECT_EQ(static_cast<uint8_t>(frame[0]) & 0x80, 0);
    }
    // Four bytes do not fit the two-bit count and are never cut to fit.
    EXPECT_THROW(dinamo::Frame(Bytes({1, 2, 3, 4}), 0), std::length_error);
}

TEST(DinamoFrame, CheckSumCatchesEverySingleBitErrorInSevenBits) {
    std::string frame = dinamo::Frame(Bytes({0x05, 0x11}), 1);
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
    using S = dinamo::Cut;
    struct Row {
        const char* name;
        std::string invoer;
        S snede;
        std::string frame; // when a frame came out
        std::string rest;
    } rows[] = {
        {"empty", "", S::Incomplete, "", ""},
        {"garbage only", Bytes({0x80, 0xFF, 0xC0}), S::Incomplete, "", ""},
        {"header alone", Bytes({0x31}), S::Incomplete, "", Bytes({0x31})},
        {"one short", Bytes({0x02, 0x01, 0x02}), S::Incomplete, "", Bytes({0x02, 0x01, 0x02})},
        {"empty frame", Bytes({0x40, 0xC0}), S::Frame, Bytes({0x40, 0xC0}), ""},
        {"garbage first", Bytes({0xFE, 0x80, 0x31, 0x05, 0xCA, 0x00}), S::Frame,
         Bytes({0x31, 0x05, 0xCA}), Bytes({0x00})},
        {"wrong check", Bytes({0x31, 0x05, 0xCB, 0x40, 0xC0}), S::Bad, "", Bytes({0x40, 0xC0})},
        {"three data bytes", Bytes({0x03, 0x04, 0x05, 0x06, 0xEE}), S::Frame,
         Bytes({0x03, 0x04, 0x05, 0x06, 0xEE}), ""},
        // Garbage without bit 7 looks like a header: it takes its length and
        // fails the check, so the bytes after it are looked at again.
        {"garbage without bit 7", Bytes({0x01, 0x00, 0x00, 0x40, 0xC0}), S::Bad, "",
         Bytes({0x40, 0xC0})},
    };
    for (const Row& row : rows) {
        std::string invoer = row.invoer, frame;
        EXPECT_EQ(dinamo::NextFrame(invoer, frame), row.snede) << row.name;
        if (row.snede == S::Frame) {
            EXPECT_EQ(frame, row.frame) << row.name;
        }
        EXPECT_EQ(invoer, row.rest) << row.name;
    }
}

TEST(DinamoFrame, ReportsByTheirFirstByte) {
    using M = dinamo::Report;
    struct Row {
        std::string data;
        M::Kind kind;
        TDinAktie action;
        uint16_t d1, d2;
        std::string tekst;
    } rows[] = {
        {"", M::None, daBezetmelder, 0, 0, ""},
        {Bytes({0x05}), M::Action, daBezetmelder, 1, 0, ""},
        {Bytes({0x04, 0x00}), M::Action, daBezetmelder, 1, 0, ""},
        {Bytes({0x06, 0x7F}), M::Action, daBezetmelder, 128, 1, ""},
        {Bytes({0x0E, 0xFF}), M::Action, daBezetmelder, 128, 1, ""}, // b2 keeps 7 bits
        {Bytes({0x84, 0x10}), M::Action, daBezetmelder, 17, 0, ""},  // bit 7 of b1 plays no part
        {Bytes({0x06, 0x01, 0x02}), M::None, daBezetmelder, 0, 0, ""},
        {Bytes({0x02, 0x09}), M::Action, daMagneet, 10, 0, ""},
        {Bytes({0x03, 0x09}), M::Action, daMagneet, 10, 1, ""},
        {Bytes({0x03, 0x09, 0x55}), M::Action, daMagneet, 10, 1, ""},
        {Bytes({0x03}), M::Action, daMagneet, 1, 1, ""},
        {Bytes({0x40, 0x00}), M::Action, daBlok, 1, 0, ""},
        {Bytes({0x5F, 0xFF}), M::Action, daBlok, 32, 127, ""},
        {Bytes({0x44, 0x03, 0x01}), M::Action, daBlok, 5, 3, ""}, // blocks may take three bytes
        {Bytes({0x00}), M::Text, daBezetmelder, 0, 0, "ontv: 0"},
        {Bytes({0x10, 0x01}), M::Text, daBezetmelder, 0, 0, "ontv: 16"},
        {Bytes({0x60}), M::Text, daBezetmelder, 0, 0, "ontv: 96"},
        {Bytes({0x94}), M::Text, daBezetmelder, 0, 0, "ontv: 148"},
    };
    for (const Row& row : rows) {
        dinamo::Report m = dinamo::ReportOf(row.data);
        SCOPED_TRACE(row.data.empty() ? -1 : static_cast<uint8_t>(row.data[0]));
        EXPECT_EQ(m.kind, row.kind);
        if (row.kind == M::Action) {
            EXPECT_EQ(m.action, row.action);
            EXPECT_EQ(m.data1, row.d1);
            EXPECT_EQ(m.data2, row.d2);
        }
        EXPECT_EQ(m.text, row.tekst);
    }
}
