// Selectrix end to end: the component over the real serial layer and a
// pseudo-terminal, against the simulated central unit. Every case checks the
// exact bytes the unit received and what the component made of the answer.
#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "sim/SelectrixSim.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <functional>

using namespace command_station;

namespace {

constexpr uint32_t kBeforeWrap = 0xFFFFFFFFu - 100;

std::string Bytes(const std::vector<sim::LineByte>& record) {
    std::string s;
    for (const sim::LineByte& r : record)
        s += static_cast<char>(r.byte);
    return s;
}

using testsupport::Bytes;

class SelectrixLine : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetTickCountStart(kBeforeWrap);
        com.SetDigitaalSysteem(dsSelectrix);
        com.SetPort(unit.DevicePath());
        com.OpenPort();
    }

    // Runs `op` with an empty record and returns what the unit received:
    // at least `expected` bytes, or after a short grace when none are due.
    std::string Exchange(size_t expected, const std::function<void()>& op) {
        unit.ClearRecords();
        op();
        // Nothing due: a byte that comes anyway ends the wait at once.
        unit.WaitForReceived(expected > 0 ? expected : 1, expected > 0 ? 2000 : 60);
        return Bytes(unit.ReceivedBytes());
    }

    // Blocks until at least `n` bytes wait in the port's receive queue (the
    // pseudo-terminal hands them over a moment after the unit sent them).
    // Blocks in poll() while none is there; a short pause while some are.
    bool WaitPending(int n, uint32_t ms = 2000) {
        const auto deadline = platform::Deadline::After(ms);
        for (;;) {
            const int pending = com.PendingInputCount();
            if (pending >= n) return true;
            if (deadline.Reached()) return false;
            if (pending > 0) {
                platform::Sleep(1);
            } else {
                bool ready = false;
                com.Device()->WaitReadable(static_cast<int>(deadline.Remaining()), ready);
            }
        }
    }

    testsupport::RecordingHost host;
    sim::SelectrixSim unit;
    TMivoCom com;
};

} // namespace

TEST_F(SelectrixLine, EveryOperationPutsItsRequestOnTheLine) {
    std::string r;
    EXPECT_EQ(Exchange(2, [&] { EXPECT_TRUE(com.ZetSysteemAan()); }), Bytes({0xFF, 0xFF}));
    EXPECT_TRUE(unit.TrackPower());
    EXPECT_TRUE(com.SysteemAan);

    EXPECT_EQ(Exchange(2, [&] { EXPECT_FALSE(com.GetSysteemNoodstop()); }), Bytes({0x7F, 0x20}));
    EXPECT_EQ(Exchange(2, [&] { EXPECT_TRUE(com.GetVerbindingOke()); }), Bytes({0x7F, 0x20}));

    EXPECT_EQ(Exchange(2, [&] { com.ZetSysteemUit(); }), Bytes({0xFF, 0x00}));
    EXPECT_FALSE(unit.TrackPower());
    EXPECT_FALSE(com.SysteemAan);
    EXPECT_TRUE(com.GetSysteemNoodstop());

    EXPECT_EQ(
        Exchange(2,
                 [&] {
                     com.StuurLoc(3, 10, true, false, {false, false, false, false}, 3, 0, false, r);
                 }),
        Bytes({0x83, 0x6A}));
    EXPECT_EQ(r, Bytes({0x6A}));
    EXPECT_EQ(unit.Bus(3), 0x6A);
    EXPECT_EQ(
        Exchange(2,
                 [&] {
                     com.StuurLoc(3, 10, true, false, {true, false, false, false}, 3, 0, false, r);
                 }),
        Bytes({0x83, 0xEA}));
    EXPECT_EQ(Exchange(2, [&] { com.StuurLoc(5, 0, false, true, {}, 3, 0, false, r); }),
              Bytes({0x85, 0x00}));
    EXPECT_EQ(r, Bytes({0x00}));

    EXPECT_EQ(Exchange(2, [&] { com.SelectrixFunctieDecoder(106, 64); }), Bytes({0xEA, 0x40}));

    unit.SetBus(12, 0xA5);
    EXPECT_EQ(Exchange(2, [&] { com.GetBezetmelder(12, 0, false, false, r); }),
              Bytes({0x0C, 0x20}));
    EXPECT_EQ(r, Bytes({0xA5}));
    uint8_t status = unit.Bus(109);
    EXPECT_EQ(Exchange(2, [&] { com.GetBezetmelder(109, 0, false, false, r); }),
              Bytes({0x6D, 0x20}));
    EXPECT_EQ(r, Bytes({status}));

    for (uint8_t adres : {112, 127, 255}) {
        r = "old";
        EXPECT_EQ(Exchange(0, [&] { com.GetBezetmelder(adres, 0, false, false, r); }), "");
        EXPECT_TRUE(r.empty());
    }
    EXPECT_TRUE(host.Texts().empty());
}

TEST_F(SelectrixLine, EveryByteValueGoesOutAndComesBack) {
    std::string r;
    for (int v = 0; v < 256; ++v) {
        com.SelectrixFunctieDecoder(20, static_cast<uint8_t>(v));
        com.GetBezetmelder(20, 0, false, false, r);
        ASSERT_EQ(r, Bytes({v})) << v;
    }
    EXPECT_EQ(unit.Bus(20), 255);
}

TEST_F(SelectrixLine, PowerStateReadsAnyNonZeroByteAsOn) {
    struct Row {
        bool power, corrupt, noodstop;
    } rows[] = {
        {false, false, true}, // 0x00
        {true, false, false}, // the unit's "on" value
        {true, true, false},  // 0x7F
        {false, true, false}, // 0xFF
    };
    for (const Row& row : rows) {
        unit.SetTrackPower(row.power);
        unit.SetCorruptAnswers(row.corrupt);
        EXPECT_EQ(com.GetSysteemNoodstop(), row.noodstop) << row.power << row.corrupt;
    }
    unit.SetCorruptAnswers(false);
    unit.SetSilent(true);
    EXPECT_TRUE(com.GetSysteemNoodstop()); // nothing came: shown as off
}

TEST_F(SelectrixLine, ALateAnswerIsPurgedAndNeverTakenForTheNext) {
    std::string r;
    unit.SetBus(5, 0x11);
    unit.SetBus(6, 0x55);
    unit.SetAnswerDelayMs(120);
    com.GetBezetmelder(5, 0, false, false, r);
    EXPECT_TRUE(r.empty()); // the answer missed the 40 ms read
    unit.SetAnswerDelayMs(0);
    ASSERT_TRUE(WaitPending(1)) << "the late 0x11 waits in our receive buffer";
    com.GetBezetmelder(6, 0, false, false, r);
    EXPECT_EQ(r, Bytes({0x55}));

    // Stray bytes before a power-state read do not count either.
    unit.SetTrackPower(false);
    unit.ClearRecords();
    unit.SendUnsolicited(Bytes({0x80}));
    ASSERT_TRUE(WaitPending(1));
    EXPECT_TRUE(com.GetSysteemNoodstop());
}

TEST_F(SelectrixLine, SurplusAndCorruptAnswersStayWithinOneTransaction) {
    std::string r;
    unit.SetBus(12, 0xA5);
    unit.SetBus(13, 0x3C);
    unit.SetExtraAnswerBytes(Bytes({0x01, 0x02, 0x03}));
    com.GetBezetmelder(12, 0, false, false, r);
    EXPECT_EQ(r, Bytes({0xA5}));
    ASSERT_TRUE(WaitPending(3)) << "the surplus waits in our receive buffer";
    com.GetBezetmelder(13, 0, false, false, r);
    EXPECT_EQ(r, Bytes({0x3C}));
    unit.SetExtraAnswerBytes("");

    unit.SetCorruptAnswers(true);
    com.GetBezetmelder(12, 0, false, false, r);
    EXPECT_EQ(r, Bytes({0x5A})); // whatever comes is the answer
    unit.SetCorruptAnswers(false);

    unit.SetDropEvery(2);
    std::string results;
    for (int i = 0; i < 4; ++i) {
        com.GetBezetmelder(13, 0, false, false, r);
        results += r.empty() ? '-' : 'x';
    }
    EXPECT_EQ(std::count(results.begin(), results.end(), '-'), 2) << results;
}

TEST_F(SelectrixLine, ProbeWaitsUpTo250MsForAnyByte) {
    // Power off: the unit answers 0x00, which still proves the connection.
    unit.SetTrackPower(false);
    EXPECT_TRUE(com.GetVerbindingOke());

    // An answer slower than one read, within the probe's window.
    unit.SetAnswerDelayMs(150);
    EXPECT_TRUE(com.GetVerbindingOke());
    unit.SetAnswerDelayMs(0);
    EXPECT_EQ(com.PendingInputCount(), 0) << "the probe took its answer";

    unit.SetSilent(true);
    unit.ClearRecords();
    uint32_t start = platform::GetTickCount();
    EXPECT_FALSE(com.GetVerbindingOke());
    uint32_t took = platform::ElapsedSince(start);
    EXPECT_GE(took, 250u);
    EXPECT_LT(took, 1500u);
    EXPECT_EQ(Bytes(unit.ReceivedBytes()), Bytes({0x7F, 0x20})); // one request, no resend
}

TEST_F(SelectrixLine, ClosingSwitchesOffOnlyWhatTheComponentSwitchedOn) {
    EXPECT_EQ(Exchange(0, [&] { com.ClosePort(); }), "");
    // Repeated: the power-off is the last thing written before the port
    // goes, and must never be lost in the close.
    for (int i = 0; i < 30; ++i) {
        com.OpenPort();
        ASSERT_EQ(Exchange(2, [&] { com.ZetSysteemAan(); }), Bytes({0xFF, 0xFF}));
        ASSERT_TRUE(unit.TrackPower());
        ASSERT_EQ(Exchange(2, [&] { com.ClosePort(); }), Bytes({0xFF, 0x00})) << "close " << i;
        EXPECT_FALSE(unit.TrackPower());
        EXPECT_FALSE(com.SysteemAan);
    }

    // Switched on at the unit's own panel: not ours to switch off.
    com.OpenPort();
    unit.SetTrackPower(true);
    EXPECT_FALSE(com.GetSysteemNoodstop());
    EXPECT_EQ(Exchange(0, [&] { com.ClosePort(); }), "");
    EXPECT_TRUE(unit.TrackPower());
}

TEST_F(SelectrixLine, ClosedPortSendsNothing) {
    com.ClosePort();
    std::string r = "old";
    std::string sent = Exchange(0, [&] {
        EXPECT_FALSE(com.GetVerbindingOke());
        EXPECT_FALSE(com.GetSysteemNoodstop());
        EXPECT_TRUE(com.ZetSysteemAan());
        EXPECT_TRUE(com.SysteemAan);
        com.StuurLoc(3, 10, true, false, {}, 3, 0, false, r);
        com.SelectrixFunctieDecoder(106, 64);
        com.GetBezetmelder(12, 0, false, false, r);
        com.ZetSysteemUit();
    });
    EXPECT_FALSE(com.SysteemAan);
    EXPECT_EQ(sent, "");
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(host.Texts().empty());
}

TEST_F(SelectrixLine, FunctionDecoderWriteRefusedForAnotherSystem) {
    com.SetDigitaalSysteem(dsLenz);
    EXPECT_EQ(Exchange(0, [&] { com.SelectrixFunctieDecoder(106, 64); }), "");
    EXPECT_EQ(host.Texts(),
              std::vector<std::string>{"TMivoCom.SelectrixFunctieDecoder alleen van toepassing bij "
                                       "Selectrix!"});
}
