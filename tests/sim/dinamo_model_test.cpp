// The simulated DINAMO's rules, without a line: frames in, answers out.
#include "sim/DinamoModel.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

using sim::DinamoModel;

namespace {

using testsupport::Bytes;

// A PC frame built by hand (the model must not share the component's code).
std::string Frame(std::string data, int toggle) {
    std::string f(1, static_cast<char>(data.size() | (toggle ? 0x40 : 0)));
    f += data;
    f += static_cast<char>(sim::DinamoCheckByte(f));
    return f;
}

bool SumOk(const std::string& frame) {
    unsigned sum = 0;
    for (char c : frame)
        sum += static_cast<uint8_t>(c);
    return sum % 128 == 0;
}

} // namespace

TEST(DinamoModel, AnswersEachValidFrameWithStatusAndToggle) {
    DinamoModel m;
    EXPECT_EQ(m.Feed(Bytes({0x00, 0x80})), Bytes({0x00, 0x80}));
    EXPECT_EQ(m.Feed(Bytes({0x40, 0xC0})), Bytes({0x40, 0xC0}));
    m.SetHold(true);
    m.SetFault(true);
    EXPECT_EQ(m.Feed(Frame("", 0)), Bytes({0x30, 0xD0}));
    EXPECT_EQ(m.Feed(Frame("", 1)), Bytes({0x70, 0x90}));
    // Two frames in one read, split across reads, and garbage before them.
    m.SetHold(false);
    m.SetFault(false);
    std::string two = Bytes({0xFF, 0x80}) + Frame("", 0) + Frame(Bytes({0x11}), 1);
    EXPECT_EQ(m.Feed(two.substr(0, 4)), Bytes({0x00, 0x80}));
    EXPECT_EQ(m.Feed(two.substr(4)), Bytes({0x40, 0xC0}));
    EXPECT_EQ(m.BytesSkipped(), 2u);
    EXPECT_EQ(m.Commands(), std::vector<std::string>{Bytes({0x11})});
}

TEST(DinamoModel, WrongCheckByteIsDroppedUnanswered) {
    DinamoModel m;
    EXPECT_EQ(m.Feed(Bytes({0x01, 0x94, 0xEC})), "");
    EXPECT_EQ(m.FramesRejected(), 1u);
    EXPECT_TRUE(m.Commands().empty());
    EXPECT_EQ(m.Feed(Bytes({0x01, 0x94, 0xEB})), Bytes({0x00, 0x80}));
}

TEST(DinamoModel, ARepeatedToggleIsAnsweredAgainButNotCarriedOut) {
    DinamoModel m;
    m.QueueBlock(3, 9);
    m.QueueOccupancy(1, true);
    std::string a = m.Feed(Frame(Bytes({0x21}), 0));
    EXPECT_EQ(a, Bytes({0x02, 0x42, 0x09, 0xB3}));
    // The PC missed that answer and sends the frame again: same report again.
    EXPECT_EQ(m.Feed(Frame(Bytes({0x21}), 0)), a);
    EXPECT_EQ(m.Commands(), std::vector<std::string>{Bytes({0x21})});
    EXPECT_EQ(m.ReportsWaiting(), 1u);
    // A new toggle is a new frame and takes the next report.
    EXPECT_EQ(m.Feed(Frame(Bytes({0x22}), 1)), Bytes({0x42, 0x06, 0x00, 0xB8}));
    EXPECT_EQ(m.Commands().size(), 2u);
}

TEST(DinamoModel, FaultClearsOnlyAfterTheResetsItAskedFor) {
    struct Row {
        int needed;
        int resetsUntilClear;
    } rows[] = {{1, 1}, {3, 3}, {0, 1}};
    for (const Row& row : rows) {
        DinamoModel m;
        m.SetFault(true, row.needed);
        int toggle = 0;
        EXPECT_EQ(m.Feed(Frame("", toggle ^= 1)), Bytes({0x60, 0xA0})); // empty frames do not reset
        for (int i = 1; i <= row.resetsUntilClear; ++i) {
            std::string answer = m.Feed(Frame(Bytes({0x94}), toggle ^= 1));
            bool fault = (static_cast<uint8_t>(answer[0]) & 0x20) != 0;
            EXPECT_EQ(fault, i < row.resetsUntilClear) << row.needed << " reset " << i;
        }
        EXPECT_EQ(m.ResetsReceived(), static_cast<uint64_t>(row.resetsUntilClear));
    }
    // A repeated reset frame is one reset.
    DinamoModel m;
    m.SetFault(true, 2);
    m.Feed(Frame(Bytes({0x94}), 0));
    m.Feed(Frame(Bytes({0x94}), 0));
    EXPECT_TRUE(m.Fault());
    EXPECT_EQ(m.ResetsReceived(), 1u);
}

TEST(DinamoModel, ReportsAndSwitchesOnTheAnswers) {
    DinamoModel m;
    m.QueueOccupancy(128, false);
    m.QueueMagnet(5, true);
    m.QueueRaw(Bytes({0x06, 0x01, 0x02}));
    int t = 1;
    struct Want {
        std::string data;
    } wants[] = {{Bytes({0x04, 0x7F})}, {Bytes({0x03, 0x04})}, {Bytes({0x06, 0x01, 0x02})}, {""}};
    for (const Want& w : wants) {
        std::string a = m.Feed(Frame("", t ^= 1));
        ASSERT_TRUE(SumOk(a));
        EXPECT_EQ(static_cast<size_t>(static_cast<uint8_t>(a[0]) & 0x03), w.data.size());
        EXPECT_EQ(a.substr(1, a.size() - 2), w.data);
    }

    m.SetBadCheckNext();
    EXPECT_FALSE(SumOk(m.Feed(Frame("", t ^= 1))));
    EXPECT_TRUE(SumOk(m.Feed(Frame("", t ^= 1)))); // only the next one

    m.SetSilent(true);
    EXPECT_EQ(m.Feed(Frame(Bytes({0x01}), t ^= 1)), "");
    EXPECT_TRUE(m.Commands().empty());
}
