// The timer cycle: the power box that follows the central unit, the order of
// one tick's transactions, and a serial-layer failure inside a tick.

#include "tests/support/TesterFixture.h"

namespace tester {
namespace {

using namespace testsupport;

using PanelsTimer = PanelsTest;

TEST_F(PanelsTimer, PowerBoxFollowsTheUnitAndSendsTheMatchingCommand) {
    struct Step {
        const char* what;
        std::function<void()> atUnit;
        bool box;
        std::string wire;
    };
    const std::vector<Step> steps = {
        {"switched on at the unit", [&] { unit->SetTrackPower(true); }, true,
         kStatusRead + kPowerOn},
        {"still on", [] {}, true, kStatusRead},
        {"switched off at the unit", [&] { unit->SetTrackPower(false); }, false,
         kStatusRead + kPowerOff},
        {"still off", [] {}, false, kStatusRead},
        {"on again", [&] { unit->SetTrackPower(true); }, true, kStatusRead + kPowerOn},
        {"interface falls silent", [&] { unit->SetSilent(true); }, false, kStatusRead + kPowerOff},
        {"silent, box already clear", [] {}, false, kStatusRead},
        {"the power-off reached the unit", [&] { unit->SetSilent(false); }, false, kStatusRead},
        {"answers again, switched on", [&] { unit->SetTrackPower(true); }, true,
         kStatusRead + kPowerOn},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.atUnit();
        Clear();
        Tick();
        EXPECT_EQ(form->CheckBoxCC2000Aan->isChecked(), s.box);
        EXPECT_EQ(Wire(s.wire.size()), s.wire);
    }
    EXPECT_TRUE(host.Messages().empty());
}

TEST_F(PanelsTimer, OneTickRunsItsStepsInOrder) {
    unit->SetTrackPower(true);
    form->spn_locadres1->SetValue(1);
    form->spn_locadres2->SetValue(2);
    // Locomotive 1 accelerates (SelStart 31 -> 30), locomotive 2 brakes.
    form->SpnLoc_TrackBar1->SetSelStart(31);
    form->SpnLoc_TrackBar2->SetSelStart(10);
    form->SpnLoc_TrackBar1->SetPosition(0);
    form->SpnLoc_TrackBar2->SetPosition(31);
    form->spn_funcadres->SetValue(50);
    Click(form->ButtonFunc4);
    SetBox(form->CheckBoxSchrijfCont, true);
    Click(form->ButtonVerstuur);
    form->spn_bezetadres->SetValue(60);
    unit->SetFeedback(60, 9);
    SetBox(form->CheckBoxLeesCont, true);
    Click(form->ButtonLees);
    Clear();

    Tick();
    const std::string expected = kStatusRead + kPowerOn + WriteReq(2, 31 - 11) +
                                 WriteReq(1, 31 - 30) + WriteReq(50, 8) + ReadReq(60);
    EXPECT_EQ(Wire(expected.size()), expected);
    EXPECT_EQ(form->SpnLoc_TrackBar1->SelStart(), 30);
    EXPECT_EQ(form->SpnLoc_TrackBar2->SelStart(), 11);
    EXPECT_EQ(form->lbl_bezetnr->text(), "9");
}

TEST_F(PanelsTimer, NothingHappensWhileThePortIsClosed) {
    form->SpnLoc_TrackBar1->SetSelStart(20);
    SetBox(form->CheckBoxLeesCont, true);
    Click(form->ButtonLees);
    SetBox(form->CheckBoxPoortOpen, false);
    unit->SetTrackPower(true);
    Clear();
    Tick();
    EXPECT_EQ(Wire(), "");
    EXPECT_FALSE(form->CheckBoxCC2000Aan->isChecked());
    EXPECT_EQ(form->SpnLoc_TrackBar1->SelStart(), 20) << "the ramp waits for the port";
}

TEST_F(PanelsTimer, AFailingLineIsReportedOnceAndTheTicksGoOn) {
    form->SpnLoc_TrackBar1->SetSelStart(25); // target 31: braking along the ramp
    faults->writesToFail = -1;
    for (int i = 0; i < 4; ++i)
        Tick();
    auto shown = host.Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, platform::MessageKind::Error);
    EXPECT_FALSE(shown[0].text.empty());

    // The line comes back: the ticks work again, and the ramp carries on.
    faults->writesToFail = 0;
    Clear();
    unit->SetTrackPower(true);
    Tick();
    EXPECT_TRUE(form->CheckBoxCC2000Aan->isChecked());
    EXPECT_EQ(form->SpnLoc_TrackBar1->SelStart(), 26);
    EXPECT_EQ(Wire(6), kStatusRead + kPowerOn + WriteReq(0, 31 - 26));

    // A new failure after a good tick is a new report.
    faults->writesToFail = 1;
    Tick();
    Tick();
    EXPECT_EQ(host.Messages().size(), 1u) << "(the first report was cleared above)";
}

TEST_F(PanelsTimer, TheRunningTimerSurvivesAFailureReportedInsideItsOwnBox) {
    faults->purgeFails = true;
    int reports = 0;
    host.onShow = [&](const testsupport::RecordingHost::Shown& m) {
        if (m.kind != platform::MessageKind::Error) return;
        ++reports;
        // The box stays open a while, its event loop running as a real box's
        // would.
        RunEventsFor(350);
    };
    form->Timer1->start();
    // Waits for the ticks themselves, not for a time: a slow machine only
    // makes it take longer.
    ASSERT_TRUE(RunEventsUntil([&] { return reports > 0; })) << "the first tick fails";
    EXPECT_EQ(reports, 1);
    host.onShow = nullptr;
    faults->purgeFails = false;
    Clear();
    EXPECT_TRUE(RunEventsUntil([&] { return CountRequests(Wire(), kStatusRead) >= 2; }));
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(reports, 1);
}

} // namespace
} // namespace tester
