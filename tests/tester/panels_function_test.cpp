// Function-decoder and feedback panels: composing a value, single and
// continuous transactions, showing a reply, "Meld tijden".

#include "tests/support/TesterFixture.h"

namespace tester {
namespace {

using namespace testsupport;

using PanelsFunction = PanelsTest;

// The first transactions run just across the counter's wrap.
class PanelsTimedAcrossWrap : public PanelsTest {
  protected:
    PanelsTimedAcrossWrap() : PanelsTest(0xFFFFFFFFu - 40) {}
};

TEST_F(PanelsFunction, BitButtonsClearAndSetComposeTheValueThatVerstuurWrites) {
    form->spn_funcadres->SetValue(12);
    struct Case {
        const char* what;
        std::function<void()> compose;
        int value;
    };
    const std::vector<Case> cases = {
        {"Set", [&] { Click(form->ButtonSet); }, 255},
        {"Clear", [&] { Click(form->ButtonClear); }, 0},
        {"ButtonFunc3 alone", [&] { Click(form->ButtonFunc3); }, 4},
        {"ButtonFunc8 added", [&] { Click(form->ButtonFunc8); }, 132},
        {"ButtonFunc3 again", [&] { Click(form->ButtonFunc3); }, 128},
        {"ButtonFunc1, then Set",
         [&] {
             Click(form->ButtonFunc1);
             Click(form->ButtonSet);
         },
         255},
        {"ButtonFunc8 off from Set", [&] { Click(form->ButtonFunc8); }, 127},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clear();
        c.compose();
        EXPECT_EQ(form->VarAdr, c.value);
        EXPECT_EQ(form->Label24->text().toStdString(), std::to_string(c.value));
        const auto captions = Captions(form->FuncButtons());
        for (int k = 0; k < 8; ++k)
            EXPECT_EQ(captions[k], (c.value >> k) & 1 ? "1" : "0") << "bit " << k;
        EXPECT_EQ(Wire(), "") << "composing sends nothing";
        Click(form->ButtonVerstuur);
        EXPECT_EQ(Wire(2), WriteReq(12, c.value));
    }
    EXPECT_TRUE(host.Messages().empty());
}

TEST_F(PanelsFunction, EveryReplyByteIsShownAsValueAndLamps) {
    form->spn_bezetadres->SetValue(12);
    for (int value : {0x01, 0x80, 0xA5, 0x5A, 0xFF, 0x00, 0x7F}) {
        SCOPED_TRACE(value);
        unit->SetFeedback(12, static_cast<uint8_t>(value));
        Clear();
        Click(form->ButtonLees);
        EXPECT_EQ(Wire(), ReadReq(12));
        EXPECT_EQ(form->lbl_bezetnr->text().toStdString(), std::to_string(value));
        const auto shapes = form->TerugShapes();
        for (int k = 0; k < 8; ++k)
            EXPECT_EQ(shapes[k]->BrushColor(),
                      (value >> k) & 1 ? QColor(255, 255, 0) : ButtonFaceColor())
                << "lamp " << k + 1;
    }
}

TEST_F(PanelsFunction, NoReplyAndAddressesAbove111ShowZeroWithAllLampsClear) {
    auto showAllOnes = [&] {
        unit->SetFeedback(12, 0xFF);
        form->spn_bezetadres->SetValue(12);
        Click(form->ButtonLees);
        ASSERT_EQ(form->lbl_bezetnr->text(), "255");
    };
    auto expectZero = [&] {
        EXPECT_EQ(form->lbl_bezetnr->text(), "0");
        for (TShape* s : form->TerugShapes())
            EXPECT_EQ(s->BrushColor(), ButtonFaceColor());
    };
    for (int address : {112, 119, 126, 127}) {
        SCOPED_TRACE(address);
        showAllOnes();
        Clear();
        form->spn_bezetadres->SetValue(address);
        ASSERT_EQ(form->spn_bezetadres->Value(), address) << "the field takes 0..127";
        Click(form->ButtonLees);
        EXPECT_EQ(Wire(), "") << "nothing is read above 111";
        expectZero();
    }
    showAllOnes();
    unit->SetSilent(true);
    Clear();
    Click(form->ButtonLees);
    EXPECT_EQ(Wire(), ReadReq(12));
    expectZero();
}

TEST_F(PanelsFunction, ContinuousWriteStartsWithTheNextTickAndRepeatsWhatIsComposed) {
    form->spn_funcadres->SetValue(20);
    Click(form->ButtonFunc2);
    SetBox(form->CheckBoxSchrijfCont, true);
    EXPECT_EQ(form->ButtonVerstuur->text(), "Start");

    Tick();
    EXPECT_EQ(Wire(), kStatusRead) << "idle: the tick only reads the power state";
    Clear();
    Click(form->ButtonVerstuur);
    EXPECT_EQ(form->ButtonVerstuur->text(), "Stop");
    EXPECT_EQ(Wire(), "") << "the click itself sends nothing";

    Tick();
    EXPECT_EQ(Wire(4), kStatusRead + WriteReq(20, 2));
    Clear();
    Tick();
    EXPECT_EQ(Wire(4), kStatusRead + WriteReq(20, 2)) << "the same value every tick";

    Clear();
    Click(form->ButtonFunc8);
    form->spn_funcadres->SetValue(21);
    Tick();
    EXPECT_EQ(Wire(4), kStatusRead + WriteReq(21, 130));

    // Clearing and setting "Continue" while running leaves it idle.
    SetBox(form->CheckBoxSchrijfCont, false);
    EXPECT_EQ(form->ButtonVerstuur->text(), "Verstuur");
    SetBox(form->CheckBoxSchrijfCont, true);
    EXPECT_EQ(form->ButtonVerstuur->text(), "Start");
    Clear();
    Tick();
    EXPECT_EQ(Wire(), kStatusRead);

    // "Stop" again ends the running mode.
    Click(form->ButtonVerstuur);
    Click(form->ButtonVerstuur);
    EXPECT_EQ(form->ButtonVerstuur->text(), "Start");
    Clear();
    Tick();
    EXPECT_EQ(Wire(), kStatusRead);
}

TEST_F(PanelsFunction, ContinuousReadShowsEachTicksReply) {
    form->spn_bezetadres->SetValue(33);
    unit->SetFeedback(33, 0x81);
    SetBox(form->CheckBoxLeesCont, true);
    EXPECT_EQ(form->ButtonLees->text(), "Start");
    Click(form->ButtonLees);
    EXPECT_EQ(form->ButtonLees->text(), "Stop");
    EXPECT_EQ(Wire(), "");
    EXPECT_EQ(form->lbl_bezetnr->text(), "0");

    Tick();
    EXPECT_EQ(Wire(), kStatusRead + ReadReq(33));
    EXPECT_EQ(form->lbl_bezetnr->text(), "129");
    unit->SetFeedback(33, 0x40);
    Tick();
    EXPECT_EQ(form->lbl_bezetnr->text(), "64");
    EXPECT_EQ(form->ShapeTerug7->BrushColor(), QColor(255, 255, 0));
    EXPECT_EQ(form->ShapeTerug8->BrushColor(), ButtonFaceColor());

    SetBox(form->CheckBoxLeesCont, false);
    EXPECT_EQ(form->ButtonLees->text(), "Lees");
    EXPECT_TRUE(host.Messages().empty()) << "the timer's reads are never timed";
}

TEST_F(PanelsFunction, RunningModesPauseWhileThePortIsClosedAndResumeAfter) {
    SetBox(form->CheckBoxSchrijfCont, true);
    Click(form->ButtonVerstuur);
    SetBox(form->CheckBoxPoortOpen, false);
    ASSERT_FALSE(form->MivoCom1->Connected());
    Clear();
    Tick();
    Tick();
    EXPECT_EQ(Wire(), "") << "a tick does nothing while the port is closed";
    EXPECT_EQ(form->ButtonVerstuur->text(), "Stop");
    SetBox(form->CheckBoxPoortOpen, true);
    Clear();
    Tick();
    EXPECT_EQ(Wire(4), kStatusRead + WriteReq(0, 0));
}

TEST_F(PanelsTimedAcrossWrap, MeldTijdenTimesTheUsersOwnTransactionsOnly) {
    SetBox(form->CheckBoxMeldTijd, true);
    unit->SetFeedback(12, 0xFF);
    form->spn_bezetadres->SetValue(12);
    QString shownWhenTimed;
    host.onShow = [&](const testsupport::RecordingHost::Shown&) {
        if (shownWhenTimed.isEmpty()) shownWhenTimed = form->lbl_bezetnr->text();
    };

    Click(form->ButtonLees);
    Click(form->ButtonVerstuur);
    const auto shown = host.Messages();
    ASSERT_EQ(shown.size(), 2u);
    for (const auto& m : shown) {
        EXPECT_EQ(m.kind, platform::MessageKind::Plain);
        ASSERT_FALSE(m.text.empty());
        EXPECT_EQ(m.text.find_first_not_of("0123456789"), std::string::npos) << m.text;
        EXPECT_LT(std::stoul(m.text), 1000u) << "a counter difference, right across the wrap";
    }
    EXPECT_EQ(shownWhenTimed, "0") << "the time comes before the reply is shown";
    EXPECT_EQ(form->lbl_bezetnr->text(), "255");

    // Continuous modes, the power box and the timer's own transactions.
    host.onShow = nullptr;
    Clear();
    SetBox(form->CheckBoxLeesCont, true);
    Click(form->ButtonLees);
    SetBox(form->CheckBoxSchrijfCont, true);
    Click(form->ButtonVerstuur);
    unit->SetTrackPower(true);
    form->SpnLoc_TrackBar1->SetSelStart(20);
    Tick();
    Tick();
    EXPECT_EQ(CountRequests(Wire(), ReadReq(12)), 2);
    EXPECT_TRUE(host.Messages().empty());
}

TEST_F(PanelsFunction, TicksGoOnWhileAMessageBoxIsOpen) {
    SetBox(form->CheckBoxMeldTijd, true);
    form->Timer1->start();
    // While the box is "open" the event loop runs, as a real box's would.
    // It stays open until two ticks have read the unit's status.
    host.onShow = [&](const testsupport::RecordingHost::Shown&) {
        RunEventsUntil([&] { return CountRequests(Wire(), kStatusRead) >= 2; });
    };
    Click(form->ButtonVerstuur);
    form->Timer1->stop();
    const std::string wire = Wire();
    ASSERT_EQ(wire.substr(0, 2), WriteReq(0, 0));
    EXPECT_GE(CountRequests(wire, kStatusRead), 2) << "ticks ran while the timing box was open";
}

} // namespace
} // namespace tester
