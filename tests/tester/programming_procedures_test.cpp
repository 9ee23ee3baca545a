// The decoder programming box: "Verify" and "Programmeren" against the
// simulated programmer, their messages, the power around them, a failing
// line, and one procedure running inside the other's wait.

#include "tests/support/TesterFixture.h"

#include <algorithm>

namespace tester {
namespace {

using namespace testsupport;

// Every wait of these procedures runs across the counter's wrap.
class Programming : public PanelsTest {
  protected:
    Programming() : PanelsTest(0xFFFFFFFFu - 700) {}

    // The requests on the wire, two bytes each, a run of status reads folded
    // into one (the procedures poll 109 as often as it answers).
    std::vector<std::string> Requests(const std::string& wire) {
        std::vector<std::string> out;
        for (size_t i = 0; i + 1 < wire.size(); i += 2) {
            std::string r = wire.substr(i, 2);
            if (r == ReadReq(109) && !out.empty() && out.back() == r) continue;
            out.push_back(r);
        }
        return out;
    }
    std::vector<std::string> Requests() {
        Settle();
        return Requests(Wire());
    }

    // Microseconds at which the unit received the request `req`, 0 if never.
    uint64_t ReceivedAt(const std::string& req) {
        const auto rec = unit->ReceivedBytes();
        for (size_t i = 0; i + 1 < rec.size(); i += 2)
            if (static_cast<char>(rec[i].byte) == req[0] &&
                static_cast<char>(rec[i + 1].byte) == req[1])
                return rec[i].atUs;
        return 0;
    }
    bool Seen(const std::string& req) { return ReceivedAt(req) != 0; }

    void ExpectProcedureOver() {
        EXPECT_TRUE(form->ButtonVerify->isEnabled());
        EXPECT_TRUE(form->ButtonProgram->isEnabled());
        EXPECT_TRUE(form->Timer1->isActive());
        EXPECT_FALSE(form->CheckBoxCC2000Aan->isChecked()) << "the next tick sets it";
    }
};

const std::string kRead109 = ReadReq(109);

std::pair<uint8_t, uint8_t> Pair(int a, int b) {
    return {static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
}

TEST_F(Programming, VerifyShowsTheDecodersValuesInBothRows) {
    unit->SetProgrammingDecoder(5, 255);
    PowerOn();
    Click(form->ButtonVerify);

    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(form->Var104, 5);
    EXPECT_EQ(form->Var105, 255);
    EXPECT_EQ(form->LabelVal104->text(), "5");
    EXPECT_EQ(form->LabelVal105->text(), "255");
    EXPECT_EQ(Captions(form->Var104Buttons()),
              (std::vector<std::string>{"1", "0", "1", "0", "0", "0", "0", "0"}));
    EXPECT_EQ(Captions(form->Var105Buttons()), std::vector<std::string>(8, "1"));
    EXPECT_EQ(Requests(), (std::vector<std::string>{kPowerOff, kPowerOff, kRead109, kPowerOff,
                                                    WriteReq(106, 64), kRead109, WriteReq(106, 193),
                                                    WriteReq(106, 129), kRead109, ReadReq(104),
                                                    ReadReq(105), kPowerOn}));
    EXPECT_EQ(unit->Bus(106), 129) << "Verify does not release the programmer";
    ExpectProcedureOver();
}

TEST_F(Programming, ProgrammerenWritesBackWhatVerifyRead) {
    unit->SetProgrammingDecoder(5, 255);
    Click(form->ButtonVerify);
    ASSERT_EQ(form->Var104, 5);
    unit->SetProgrammingDecoder(1, 2);
    Clear();

    Click(form->ButtonProgram);
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(unit->ProgrammingDecoder(), Pair(5, 255));
    EXPECT_EQ(Requests(),
              (std::vector<std::string>{kPowerOff, WriteReq(104, 5), WriteReq(105, 255), kRead109,
                                        kPowerOff, WriteReq(106, 64), kRead109, WriteReq(106, 201),
                                        kRead109, WriteReq(106, 0), kRead109}));
    EXPECT_EQ(unit->Bus(109), 0x20) << "released";
    ExpectProcedureOver();

    // Bits toggled after the read change what goes back.
    Click(form->Buttonvar11);
    Click(form->Buttonvar28);
    EXPECT_EQ(form->LabelVal104->text(), "4");
    EXPECT_EQ(form->LabelVal105->text(), "127");
    Click(form->ButtonProgram);
    EXPECT_EQ(unit->ProgrammingDecoder(), Pair(4, 127));
}

TEST_F(Programming, ProgrammerInUseOrSilentStopsEarlyAndRestoresThePower) {
    struct Case {
        const char* what;
        bool program;
        bool powerOn;
        bool silent;
        std::vector<std::string> atMessage; // requests when the box shows
    };
    const std::string w104 = WriteReq(104, 2), w105 = WriteReq(105, 128);
    const std::vector<Case> cases = {
        {"Verify, power on", false, true, false, {kPowerOff, kPowerOff, kRead109}},
        {"Verify, power off", false, false, false, {kPowerOff, kRead109}},
        {"Verify, no answer", false, true, true, {kPowerOff, kPowerOff, kRead109}},
        {"Programmeren, power on", true, true, false, {kPowerOff, kPowerOff, w104, w105, kRead109}},
        {"Programmeren, power off", true, false, false, {kPowerOff, w104, w105, kRead109}},
    };
    Click(form->Buttonvar12);
    Click(form->Buttonvar28);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unit->SetSilent(false);
        unit->SetProgrammerBusy(!c.silent);
        if (c.powerOn) {
            PowerOn();
        } else {
            unit->SetTrackPower(false);
            Tick();
            Wire(2);
        }
        unit->SetSilent(c.silent);
        Clear();
        std::vector<std::string> atMessage;
        bool timerStopped = false;
        host.onShow = [&](const testsupport::RecordingHost::Shown&) {
            atMessage = Requests(Wire());
            timerStopped = !form->Timer1->isActive();
        };
        host.AnswerOkCancel({false}); // Cancel changes nothing
        Click((c.program ? form->ButtonProgram : form->ButtonVerify));
        host.onShow = nullptr;

        const auto shown = host.Messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].kind, platform::MessageKind::ErrorOkCancel);
        EXPECT_EQ(shown[0].text, "Programmer ingebruik");
        EXPECT_EQ(atMessage, c.atMessage);
        EXPECT_TRUE(timerStopped);
        std::vector<std::string> after = c.atMessage;
        if (c.powerOn) after.push_back(kPowerOn);
        EXPECT_EQ(Requests(Wire(after.size() * 2)), after);
        ExpectProcedureOver();
    }
}

TEST_F(Programming, ProgrammerNietReadyAfterFiveSecondsOfPolling) {
    unit->SetProgrammerNeverReady(true);
    PowerOn();
    uint64_t shownAt = 0;
    host.onShow = [&](const testsupport::RecordingHost::Shown&) { shownAt = platform::MicroNow(); };
    Click(form->ButtonVerify);

    ASSERT_EQ(host.Texts(), std::vector<std::string>{"Programmer niet ready"});
    const uint64_t claimedAt = ReceivedAt(WriteReq(106, 64));
    ASSERT_NE(claimedAt, 0u);
    const double pollingMs = static_cast<double>(shownAt - claimedAt) / 1000.0;
    EXPECT_GE(pollingMs, 4950.0);
    EXPECT_LT(pollingMs, 6500.0);
    const std::string wire = Wire();
    const size_t claim = wire.find(WriteReq(106, 64));
    EXPECT_GT(CountRequests(wire.substr(claim), kRead109), 100) << "polled without pause";
    EXPECT_FALSE(Seen(WriteReq(106, 193)));
    EXPECT_EQ(Requests().back(), kPowerOn);
    ExpectProcedureOver();
}

TEST_F(Programming, KanNietVerifierenWhenReadyDoesNotComeWithinTheReadyWait) {
    Click(form->Buttonvar13); // Var104 = 4, kept
    // The programmer stops answering once it was told to load the values.
    host.onProcessMessages = [&] {
        if (Seen(WriteReq(106, 129))) unit->SetSilent(true);
    };
    uint64_t shownAt = 0;
    host.onShow = [&](const testsupport::RecordingHost::Shown&) { shownAt = platform::MicroNow(); };
    Click(form->ButtonVerify);

    ASSERT_EQ(host.Texts(), std::vector<std::string>{"Kan niet verifieren"});
    EXPECT_EQ(host.Messages()[0].kind, platform::MessageKind::ErrorOkCancel);
    // 500 ms before the ready wait, then its 3000 ms.
    EXPECT_GE(static_cast<double>(shownAt - ReceivedAt(WriteReq(106, 129))) / 1000.0, 3450.0);
    EXPECT_EQ(form->Var104, 4);
    EXPECT_EQ(form->LabelVal104->text(), "4");
    EXPECT_FALSE(Seen(ReadReq(104)));
    EXPECT_FALSE(Seen(WriteReq(106, 0)));
    ExpectProcedureOver();
}

TEST_F(Programming, ALineFailingInsideAProcedureGivesTheButtonAndTheTimerBack) {
    struct Case {
        const char* what;
        QPushButton* button;
        std::string failAfter; // the first write after this request's wait fails
    };
    const std::vector<Case> cases = {
        {"Verify", form->ButtonVerify, WriteReq(106, 193)},
        {"Programmeren", form->ButtonProgram, WriteReq(106, 201)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PowerOn();
        form->SpnLoc_TrackBar1->SetSelStart(25); // braking toward 31
        bool armed = false;
        host.onProcessMessages = [&] {
            if (!armed && Seen(c.failAfter)) {
                armed = true;
                faults->writesToFail = 1;
            }
        };
        Click(c.button);
        host.onProcessMessages = nullptr;

        const auto shown = host.Messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].kind, platform::MessageKind::Error) << "the standard error report";
        EXPECT_TRUE(c.button->isEnabled());
        EXPECT_TRUE(form->Timer1->isActive());
        RunEventsFor(50);
        form->Timer1->stop();
        EXPECT_EQ(CountRequests(Wire(), kPowerOn), 0) << "no power-on over a failed line";

        // The ticks carry on: power box and ramp.
        Clear();
        unit->SetTrackPower(true);
        Tick();
        EXPECT_TRUE(form->CheckBoxCC2000Aan->isChecked());
        EXPECT_GT(form->SpnLoc_TrackBar1->SelStart(), 25);
        form->SpnLoc_TrackBar1->SetSelStart(31);
        // The procedure left the programmer claimed.
        form->ProgrammerVrijgeven();
        ASSERT_EQ(unit->Bus(109), 0x20);
        Clear();
    }
}

TEST_F(Programming, ProgrammerenRunsToItsEndInsideAWaitOfVerify) {
    unit->SetProgrammingDecoder(9, 10);
    PowerOn();
    bool clicked = false;
    bool verifyDisabledMeanwhile = false;
    bool timerAfterNested = true;
    uint64_t nestedEndedAt = 0;
    host.onProcessMessages = [&] {
        if (!clicked && Seen(WriteReq(106, 193))) {
            clicked = true;
            ASSERT_TRUE(form->ButtonProgram->isEnabled());
            Click(form->ButtonProgram);
            nestedEndedAt = platform::MicroNow();
        } else if (clicked) {
            timerAfterNested = timerAfterNested && form->Timer1->isActive();
        }
    };
    host.onShow = [&](const testsupport::RecordingHost::Shown&) {
        verifyDisabledMeanwhile = !form->ButtonVerify->isEnabled();
    };
    Click(form->ButtonVerify);
    host.onProcessMessages = nullptr;

    // The programmer was claimed by Verify: Programmeren finds it in use.
    EXPECT_EQ(host.Texts(), std::vector<std::string>{"Programmer ingebruik"});
    EXPECT_TRUE(verifyDisabledMeanwhile);
    EXPECT_TRUE(timerAfterNested) << "the nested procedure restarted the timer";
    const uint64_t prepare = ReceivedAt(WriteReq(106, 193));
    const uint64_t nestedWrite = ReceivedAt(WriteReq(104, 0));
    const uint64_t load = ReceivedAt(WriteReq(106, 129));
    EXPECT_LT(prepare, nestedWrite);
    EXPECT_LT(nestedWrite, load);
    // The timer ticked during the rest of Verify.
    int ticksAfter = 0;
    const auto rec = unit->ReceivedBytes();
    for (size_t i = 0; i + 1 < rec.size(); i += 2)
        if (rec[i].atUs > nestedEndedAt && rec[i].byte == 0x7F && rec[i + 1].byte == 0x20)
            ++ticksAfter;
    EXPECT_GE(ticksAfter, 3);
    EXPECT_EQ(form->Var104, 9);
    EXPECT_EQ(form->Var105, 10);
    EXPECT_EQ(Requests().back(), kPowerOn);
    EXPECT_TRUE(form->ButtonVerify->isEnabled());
    EXPECT_TRUE(form->ButtonProgram->isEnabled());
    EXPECT_TRUE(form->Timer1->isActive());
}

TEST_F(Programming, ClosingThePortDuringAWaitLeavesTheButtonsWithTheOtherConnectionControls) {
    host.onProcessMessages = [&] {
        if (form->CheckBoxPoortOpen->isChecked() && Seen(WriteReq(106, 193)))
            SetBox(form->CheckBoxPoortOpen, false);
    };
    Click(form->ButtonVerify);
    host.onProcessMessages = nullptr;
    EXPECT_EQ(host.Texts(), std::vector<std::string>{"Kan niet verifieren"});
    EXPECT_FALSE(form->MivoCom1->Connected());
    EXPECT_FALSE(form->ButtonVerify->isEnabled());
    EXPECT_FALSE(form->ButtonProgram->isEnabled());
    EXPECT_TRUE(form->Timer1->isActive());
    SetBox(form->CheckBoxPoortOpen, true);
    EXPECT_TRUE(form->ButtonVerify->isEnabled());
}

TEST_F(Programming, WachtLetsMessagesThroughForItsTimeAcrossTheWrap) {
    platform::SetTickCountStart(0xFFFFFFFFu - 100);
    bool fired = false;
    QTimer::singleShot(50, [&] { fired = true; });
    const int callsBefore = host.ProcessMessagesCalls();
    const uint64_t start = platform::MicroNow();
    form->Wacht(300);
    const double tookMs = static_cast<double>(platform::MicroNow() - start) / 1000.0;
    EXPECT_TRUE(fired);
    EXPECT_GE(tookMs, 299.0);
    EXPECT_LT(tookMs, 2000.0);
    EXPECT_GT(host.ProcessMessagesCalls() - callsBefore, 1) << "over and over, not once";
}

} // namespace
} // namespace tester
