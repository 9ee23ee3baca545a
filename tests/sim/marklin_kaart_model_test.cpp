// The Märklin and serial-card models on their own: what they make of byte
// streams, and the card's rate and probe rules.
#include "sim/KaartModel.h"
#include "sim/MarklinModel.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

namespace {

using testsupport::Bytes;

} // namespace

TEST(MarklinModel, CommandStreamsAndTheirAnswers) {
    sim::MarklinModel m;
    m.SetModule(1, 0x0102);
    m.SetModule(2, 0x0304);
    EXPECT_FALSE(m.SetModule(0, 1));
    EXPECT_FALSE(m.SetModule(32, 1));
    struct Row {
        std::string in, out;
    } rows[] = {
        {Bytes({0x60}), ""},
        {Bytes({0x82}), Bytes({1, 2, 3, 4})},
        {Bytes({0xC2}), Bytes({3, 4})},
        {Bytes({0x17, 24, 0x40 + 5, 24}), ""},
        {Bytes({0x80, 0xC0, 0xE0, 0xFF}), ""}, // n = 0 and n > 31 are no reads
        {Bytes({0x61}), ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(m.Feed(row.in, 2400, 0), row.out);
    EXPECT_FALSE(m.Power());
    EXPECT_EQ(m.LocoByte(24), 0x17);
    EXPECT_EQ(m.FunctionByte(24), 0x45);
    EXPECT_EQ(m.BytesIgnored(), 4u);
    // A command split over two chunks is still one command.
    EXPECT_EQ(m.Feed(Bytes({0x05}), 2400, 0), "");
    EXPECT_EQ(m.Feed(Bytes({0x61}), 2400, 0), ""); // the address byte, not power off
    EXPECT_EQ(m.LocoByte(0x61), 0x05);
    m.SetSilent(true);
    EXPECT_EQ(m.Feed(Bytes({0x82}), 2400, 0), "");
}

TEST(KaartModel, EchoRateAndRequests) {
    sim::KaartModel k;
    k.SetModule(70, 0xA5);
    EXPECT_EQ(k.Feed(Bytes({0x0F}), 9600, 0), Bytes({0x0F}));
    EXPECT_EQ(k.Baud(), 19200u);
    // Still at 9600 on the PC's side: noise to the card.
    EXPECT_EQ(k.Feed(Bytes({0x86, 0x71}), 9600, 1000), "");
    EXPECT_EQ(k.BytesDropped(), 2u);
    EXPECT_EQ(k.Feed(Bytes({0x86, 0x71}), 19200, 2000), Bytes({0x86, 0xA5}));
    // Back to 9600 after running at 19200: the reset pulse.
    EXPECT_EQ(k.Feed(Bytes({0x07}), 9600, 3000), Bytes({0x07}));
    EXPECT_EQ(k.Baud(), 9600u);
    k.SetOneByteAnswers(true);
    EXPECT_EQ(k.Feed(Bytes({0x86, 0x71}), 9600, 4000), Bytes({0x86}));
    k.SetWrongEcho(0x33);
    EXPECT_EQ(k.Feed(Bytes({0x0F}), 9600, 5000), Bytes({0x33}));
    EXPECT_EQ(k.Baud(), 9600u);
}

TEST(KaartModel, LoneEightyIsTheProbeAfterItsGap) {
    sim::KaartModel k;
    const uint64_t gap = uint64_t{sim::kKaartProbeGapMs} * 1000;
    EXPECT_EQ(k.Feed(Bytes({0x80}), 9600, 1000), "");
    EXPECT_EQ(k.NextDueUs(), 1000 + gap);
    EXPECT_EQ(k.Advance(1000 + gap - 1), "");
    EXPECT_EQ(k.Advance(1000 + gap), Bytes({sim::kKaartProbeAnswer}));
    EXPECT_EQ(k.Probes(), 1u);
    // 0x80 followed in time by a second byte is module 0.
    k.SetModule(0, 0x11);
    EXPECT_EQ(k.Feed(Bytes({0x80}), 9600, 100000), "");
    EXPECT_EQ(k.Feed(Bytes({0x40}), 9600, 101000), Bytes({0x80, 0x11}));
    // Any other lone first byte is dropped; a first byte above 0xBF is no request.
    EXPECT_EQ(k.Feed(Bytes({0x85}), 9600, 200000), "");
    EXPECT_EQ(k.Advance(200000 + gap), "");
    EXPECT_EQ(k.Feed(Bytes({0xC5, 0x40}), 9600, 300000), "");
    EXPECT_EQ(k.Probes(), 1u);
    EXPECT_EQ(k.Requests(), 1u);
}

// What the record calls heard: the card's own rate, or the fall from 19200 that resets it.
TEST(KaartModel, HearsItsOwnRateAndTheResettingFall) {
    sim::KaartModel k;
    struct Step {
        unsigned lineBaud;
        std::string in;
        bool heardBefore; // asked before the bytes are fed
        unsigned cardBaud;
    } steps[] = {
        {19200, Bytes({0x07}), false, 9600}, // a card at 9600 takes 19200 for noise
        {9600, Bytes({0x0F}), true, 19200},  // the echo moves it to 19200
        {9600, Bytes({0x86, 0x71}), false, 19200}, {19200, Bytes({0x86, 0x71}), true, 19200},
        {9600, Bytes({0x07}), true, 9600}, // the fall resets it, so these bytes count
    };
    for (const Step& s : steps) {
        EXPECT_EQ(k.Hears(s.lineBaud), s.heardBefore) << s.lineBaud << " " << k.Baud();
        k.Feed(s.in, s.lineBaud, 0);
        EXPECT_EQ(k.Baud(), s.cardBaud);
    }
}
