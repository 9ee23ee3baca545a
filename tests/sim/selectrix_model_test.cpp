#include "sim/SelectrixModel.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using sim::SelectrixModel;

namespace {

using testsupport::Bytes;

std::string Read(SelectrixModel& m, uint8_t addr, uint32_t now) {
    return m.Feed(Bytes({addr, 0x20}), now);
}

void Write(SelectrixModel& m, uint8_t addr, uint8_t value, uint32_t now) {
    EXPECT_EQ(m.Feed(Bytes({addr | 0x80, value}), now), "");
}

// Counter values just before the 32-bit wrap, so every timed rule is also checked across it.
constexpr uint32_t kNearWrap = 0xFFFFFF00u;

} // namespace

TEST(SelectrixModel, BusRules) {
    struct Case {
        const char* what;
        std::string request;
        std::string answer;
    };
    SelectrixModel m;
    m.SetFeedback(12, 0xA5);
    const Case cases[] = {
        {"fresh address reads 0", Bytes({0x03, 0x20}), Bytes({0x00})},
        {"locomotive write answers nothing", Bytes({0x83, 0x6A}), ""},
        {"locomotive keeps its byte", Bytes({0x03, 0x20}), Bytes({0x6A})},
        {"power starts off", Bytes({0x7F, 0x20}), Bytes({0x00})},
        {"0xFF switches power on", Bytes({0xFF, 0xFF}), ""},
        {"power on reads 0x80", Bytes({0x7F, 0x20}), Bytes({0x80})},
        {"0 switches power off", Bytes({0xFF, 0x00}), ""},
        {"power off reads 0", Bytes({0x7F, 0x20}), Bytes({0x00})},
        {"any non-zero switches on", Bytes({0xFF, 0x01}), ""},
        {"still reads 0x80", Bytes({0x7F, 0x20}), Bytes({0x80})},
        {"feedback inputs", Bytes({0x0C, 0x20}), Bytes({0xA5})},
        {"PC write to a feedback unit", Bytes({0x8C, 0x00}), ""},
        {"feedback unit keeps its inputs", Bytes({0x0C, 0x20}), Bytes({0xA5})},
        {"status cannot be written", Bytes({0xED, 0xFF}), ""},
        {"status shows released", Bytes({0x6D, 0x20}), Bytes({0x20})},
        {"two reads in one chunk", Bytes({0x03, 0x20, 0x0C, 0x20}), Bytes({0x6A, 0xA5})},
        {"address 111", Bytes({0xEF, 0x11, 0x6F, 0x20}), Bytes({0x11})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(m.Feed(c.request, 1000), c.answer) << c.what;
    EXPECT_TRUE(m.TrackPower());
}

TEST(SelectrixModel, EveryAddressHoldsEveryValue) {
    SelectrixModel m;
    for (int addr = 0; addr < 127; ++addr) {
        if (addr == sim::kAddrProgStatus || addr == sim::kAddrProgCommand) continue;
        for (int v = 0; v < 256; ++v) {
            Write(m, static_cast<uint8_t>(addr), static_cast<uint8_t>(v), 5);
            ASSERT_EQ(Read(m, static_cast<uint8_t>(addr), 5), Bytes({v})) << addr << " " << v;
        }
    }
}

TEST(SelectrixModel, RequestSplitAcrossFeeds) {
    SelectrixModel m;
    m.SetBus(40, 0x55);
    EXPECT_EQ(m.Feed(Bytes({0x28}), 100), "");
    EXPECT_EQ(m.Feed(Bytes({0x20}), 101), Bytes({0x55}));
    EXPECT_EQ(m.Feed(Bytes({0xA8}), 102), "");
    EXPECT_EQ(m.Feed(Bytes({0x66, 0x28}), 103), "");
    EXPECT_EQ(m.Feed(Bytes({0x20}), 103), Bytes({0x66}));
    EXPECT_EQ(m.BytesDiscarded(), 0u);
}

// After garbage the unit must get back in step without the PC doing anything special.
TEST(SelectrixModel, Resynchronisation) {
    struct Step {
        std::string bytes;
        uint32_t atMs;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::string answers; // everything answered, in order
        int written3;        // what address 3 holds afterwards
    };
    const Case cases[] = {
        {"stray read byte before a read", {{Bytes({0x05, 0x0C, 0x20}), 0}}, Bytes({0xA5}), 0},
        {"wrong filler drops the first byte", {{Bytes({0x0C, 0x0D, 0x20}), 0}}, Bytes({0xB6}), 0},
        {"filler 0x20 as stray first byte", {{Bytes({0x20, 0x0C, 0x20}), 0}}, Bytes({0xA5}), 0},
        {"left-over half of a write, then a pause",
         {{Bytes({0x83}), 0}, {Bytes({0x0C, 0x20}), 51}},
         Bytes({0xA5}),
         0},
        {"slow second byte within the gap", {{Bytes({0x83}), 0}, {Bytes({0x6A}), 50}}, "", 0x6A},
        {"gap measured across the counter wrap",
         {{Bytes({0x83}), 0xFFFFFFF0u}, {Bytes({0x6A}), 0x00000020u}},
         "",
         0x6A},
        {"too long across the wrap",
         {{Bytes({0x83}), 0xFFFFFFF0u}, {Bytes({0x0C, 0x20}), 0x00000023u}},
         Bytes({0xA5}),
         0},
        {"stray write byte swallows a read; the next read after a pause is right",
         {{Bytes({0x85, 0x0C, 0x20}), 0}, {Bytes({0x0C, 0x20}), 100}},
         Bytes({0xA5}),
         0},
    };
    for (const Case& c : cases) {
        SelectrixModel m;
        m.SetBus(12, 0xA5);
        m.SetBus(13, 0xB6);
        std::string answers;
        for (const Step& s : c.steps)
            answers += m.Feed(s.bytes, s.atMs);
        EXPECT_EQ(answers, c.answers) << c.what;
        EXPECT_EQ(m.Bus(3), c.written3) << c.what;
    }
}

TEST(SelectrixModel, FaultSwitchesShapeAnswers) {
    SelectrixModel m;
    m.SetBus(7, 0x0F);

    m.SetSilent(true);
    EXPECT_EQ(Read(m, 7, 0), "");
    Write(m, 7, 0x3C, 0); // the PC's writes still reach the bus
    m.SetSilent(false);
    EXPECT_EQ(Read(m, 7, 0), Bytes({0x3C}));

    m.SetCorruptAnswers(true);
    EXPECT_EQ(Read(m, 7, 0), Bytes({0xC3}));
    m.SetCorruptAnswers(false);

    m.SetDropEvery(3);
    std::string got;
    for (int i = 0; i < 6; ++i)
        got += Read(m, 7, 0) + "|";
    EXPECT_EQ(got, "<|<||<|<||"); // 0x3C is '<'
    m.SetDropEvery(0);

    m.SetExtraAnswerBytes(Bytes({0xFF, 0x00}));
    EXPECT_EQ(Read(m, 7, 0), Bytes({0x3C, 0xFF, 0x00}));
}

class Programmer : public ::testing::Test {
  protected:
    // Polls 109 like the tester: an empty answer counts as 0.
    int Status(uint32_t at) {
        std::string a = Read(m, sim::kAddrProgStatus, at);
        return a.empty() ? 0 : static_cast<uint8_t>(a[0]);
    }
    void Command(uint8_t c, uint32_t at) { Write(m, sim::kAddrProgCommand, c, at); }

    SelectrixModel m;
    sim::ProgrammerTiming t = m.Timing();
    uint32_t now = kNearWrap;
};

TEST_F(Programmer, VerifyLoadsTheDecoderAndFreesTheProgrammer) {
    m.SetProgrammingDecoder(5, 255);
    EXPECT_EQ(Status(now), 0x20); // free: bit 6 clear

    Command(64, now);
    EXPECT_EQ(Status(now), 0x40) << "claimed, not ready yet";
    EXPECT_EQ(Status(now + t.claimMs - 1), 0x40);
    now += t.claimMs;
    EXPECT_EQ(Status(now), 0x60) << "bits 5 and 6";
    EXPECT_GE(t.claimMs, 10u) << "a real programmer is not instantaneous";

    Command(193, now);
    EXPECT_EQ(Status(now), 0x40) << "193 clears ready";
    now += 250;
    Command(129, now);
    EXPECT_EQ(Read(m, 104, now), Bytes({0})) << "not loaded before it is done";
    EXPECT_EQ(Status(now + t.loadMs - 1), 0x40);
    now += t.loadMs;
    EXPECT_EQ(Status(now), 0x20) << "ready, and free for the next procedure";
    EXPECT_EQ(Read(m, 104, now), Bytes({5}));
    EXPECT_EQ(Read(m, 105, now), Bytes({255}));
    EXPECT_EQ(Read(m, 106, now), Bytes({129})) << "106 keeps the last command";
    EXPECT_LT(t.loadMs, 500u) << "must be done within the tester's 500 ms wait";
}

TEST_F(Programmer, WriteStoresTheRegistersThenRelease) {
    Write(m, 104, 0x12, now);
    Write(m, 105, 0x34, now);
    Command(64, now);
    now += t.claimMs;
    ASSERT_EQ(Status(now), 0x60);

    Command(201, now);
    Write(m, 104, 0x99, now + 1); // too late: the programmer took the values at 201
    EXPECT_EQ(Status(now), 0x40);
    EXPECT_EQ(m.ProgrammingDecoder(), std::make_pair(uint8_t{0x03}, uint8_t{0x0A}));
    now += t.writeMs;
    EXPECT_EQ(Status(now), 0x60);
    EXPECT_EQ(m.ProgrammingDecoder(), std::make_pair(uint8_t{0x12}, uint8_t{0x34}));
    EXPECT_LT(t.writeMs, 250u) << "must be done within the tester's 250 ms wait";

    Command(0, now);
    EXPECT_EQ(Status(now), 0x40);
    now += t.releaseMs;
    EXPECT_EQ(Status(now), 0x20);
}

TEST_F(Programmer, ReleaseAbandonsAnUnfinishedWrite) {
    Command(64, now);
    now += t.claimMs;
    Write(m, 104, 0x77, now);
    Command(201, now);
    Command(0, now + 1);
    now += t.writeMs + t.releaseMs + 10;
    EXPECT_EQ(Status(now), 0x20);
    EXPECT_EQ(m.ProgrammingDecoder().first, 0x03);
}

TEST_F(Programmer, CommandsOutOfOrderAreIgnored) {
    struct Case {
        const char* what;
        std::vector<uint8_t> commands;
        int status;
        int reg104;
    };
    const Case cases[] = {
        {"201 unclaimed", {201}, 0x20, 0},
        {"193 then 129 unclaimed", {193, 129}, 0x20, 0},
        {"129 without 193", {64, 129}, 0x60, 0},
        {"unknown command", {64, 0x55}, 0x60, 0},
        {"release when free", {0}, 0x20, 0},
        {"claim again restarts the claim", {64, 64}, 0x60, 0},
    };
    for (const Case& c : cases) {
        SelectrixModel p;
        p.SetProgrammingDecoder(9, 9);
        uint32_t at = kNearWrap;
        for (uint8_t cmd : c.commands) {
            Write(p, sim::kAddrProgCommand, cmd, at);
            at += 1000;
        }
        EXPECT_EQ(Read(p, 109, at), Bytes({c.status})) << c.what;
        EXPECT_EQ(Read(p, 104, at), Bytes({c.reg104})) << c.what;
        EXPECT_EQ(p.ProgrammingDecoder().first, 9) << c.what;
    }
}

TEST_F(Programmer, InUseElsewhere) {
    m.SetProgrammerBusy(true);
    EXPECT_EQ(Status(now), 0x40);
    Command(64, now);
    Command(201, now + 1);
    EXPECT_EQ(Status(now + 10000), 0x40);
    m.SetProgrammerBusy(false);
    EXPECT_EQ(Status(now + 10000), 0x20) << "our claim was never taken";
}

TEST_F(Programmer, NeverReady) {
    m.SetProgrammerNeverReady(true);
    Command(64, now);
    EXPECT_EQ(Status(now + 6000), 0x40) << "the tester gives up after 5000 ms";
    Command(0, now + 6000);
    EXPECT_EQ(Status(now + 6000 + t.releaseMs), 0x20) << "release still works";
}

TEST_F(Programmer, ZeroDelaysCompleteAtOnce) {
    m.SetProgrammerTiming({0, 0, 0, 0});
    m.SetProgrammingDecoder(1, 2);
    Command(64, now);
    EXPECT_EQ(Status(now), 0x60);
    Command(193, now);
    Command(129, now);
    EXPECT_EQ(Status(now), 0x20);
    EXPECT_EQ(Read(m, 105, now), Bytes({2}));
}
