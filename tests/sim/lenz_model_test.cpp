// The simulated Lenz interface's rules, without a line.
#include "sim/LenzModel.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

using sim::LenzFrame;
using sim::LenzModel;

namespace {
using testsupport::Bytes;

std::string F(std::initializer_list<int> bytes) {
    return LenzFrame(Bytes(bytes));
}
using Msgs = std::vector<std::string>;
} // namespace

TEST(LenzModel, AnswersByCommand) {
    struct Row {
        uint8_t version;
        std::string request;
        Msgs answer;
    } rows[] = {
        {0x36, F({0x21, 0x21}), {F({0x63, 0x21, 0x36, 0x00})}},
        {0x23, F({0x21, 0x21}), {F({0x62, 0x21, 0x23})}},
        {0x36, F({0x21, 0x81}), {F({0x01, 0x04}), F({0x61, 0x01}), F({0x61, 0x01})}},
        {0x23, F({0x80}),
         Msgs{F({0x01, 0x04}), F({0x81, 0x00}), F({0x81, 0x00}), F({0x81, 0x00}), F({0x81, 0x00})}},
        {0x36, F({0x21, 0x80}), {F({0x01, 0x04}), F({0x61, 0x00}), F({0x61, 0x00})}},
        {0x36, F({0x42, 0x04, 0x80}), {F({0x42, 0x04, 0x40})}},
        {0x36, F({0x52, 0x04, 0x89}), {F({0x01, 0x04})}},
        {0x36, F({0xB3, 0x03, 0x76, 0x00}), {F({0x01, 0x04})}},
        {0x23, F({0xE4, 0x12, 0xC3, 0xE8, 0x96}), {F({0x01, 0x03})}}, // not before version 3
        {0x36, F({0x90}), {F({0x01, 0x03})}},
        {0x36, Bytes({0x21, 0x21, 0x01}), {F({0x01, 0x01})}}, // wrong XOR byte
    };
    for (const auto& r : rows) {
        LenzModel m(r.version);
        EXPECT_EQ(m.Feed(r.request), r.answer) << int(static_cast<uint8_t>(r.request[0]));
    }
}

TEST(LenzModel, LocomotivesKeepTheirStateInBothForms) {
    LenzModel m(0x36);
    m.Feed(F({0xB3, 0x03, 0x76, 0x01}));
    const sim::LenzLoco* l = m.Loco(3);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->speed, 10);
    EXPECT_TRUE(l->forward && l->light);
    EXPECT_EQ(l->functions, 1);

    m.Feed(F({0xE4, 0x12, 0xC3, 0xE8, 0x96}) + F({0xE4, 0x20, 0xC3, 0xE8, 0x13}));
    l = m.Loco(1000);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->steps, 28);
    EXPECT_EQ(l->speed, 10);
    EXPECT_TRUE(l->forward && l->light);
    EXPECT_EQ(l->functions, 3);
    EXPECT_EQ(m.Feed(F({0xE3, 0x00, 0xC3, 0xE8})), Msgs{F({0xE4, 0x02, 0x96, 0x13, 0x00})});
    EXPECT_EQ(m.TakeOver(1000), F({0xE3, 0x40, 0xC3, 0xE8}));
    EXPECT_EQ(m.Feed(F({0xE3, 0x00, 0xC3, 0xE8})), Msgs{F({0xE4, 0x0A, 0x96, 0x13, 0x00})});

    m.Feed(F({0xB4, 0x05, 0x4F, 0x00, 0x00})); // 14 steps, code 15
    EXPECT_EQ(m.Loco(5)->speed, 14);
    m.SetVersionByte(0x23);
    EXPECT_EQ(m.TakeOver(5), F({0xA4, 0x05, 0x4F, 0x00, 0x00}));
}

TEST(LenzModel, FeedbackAndFaults) {
    LenzModel m(0x36);
    EXPECT_EQ(m.SetInputs(4, 0x35), Msgs{F({0x44, 0x04, 0x45, 0x04, 0x53})});
    EXPECT_EQ(m.SetInputs(4, 0x34), Msgs{F({0x42, 0x04, 0x44})});
    EXPECT_EQ(m.Feed(F({0x42, 0x04, 0x81})), Msgs{F({0x42, 0x04, 0x53})});
    m.SetMissingBroadcasts(1);
    EXPECT_EQ(m.Feed(F({0x21, 0x81})).size(), 2u);
    m.ReportNext(sim::LenzReport::Busy);
    EXPECT_EQ(m.Feed(F({0x21, 0x21})), Msgs{F({0x61, 0x81})});
    m.CorruptNextAnswer();
    Msgs bad = m.Feed(F({0x21, 0x21}));
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_NE(bad[0], F({0x63, 0x21, 0x36, 0x00}));
    m.SetDropEvery(2);
    EXPECT_EQ(m.Feed(F({0x21, 0x21})).size(), 1u);
    EXPECT_EQ(m.Feed(F({0x21, 0x21})).size(), 0u);
    m.SetSilent(true);
    EXPECT_TRUE(m.Feed(F({0x21, 0x21})).empty());
    EXPECT_EQ(m.XorErrors(), 0u);
}
