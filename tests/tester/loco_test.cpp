// The locomotive panel: what each control sends, the stop buttons, the
// function buttons, the address fields, the ramp and the timing message.
#include "tests/support/TesterFixture.h"

#include "platform/Tick.h"

#include <QRadioButton>
#include <QSignalSpy>
#include <QStyleOptionSlider>

using namespace testsupport;
using platform::MessageKind;

namespace {

constexpr uint8_t kBackward = 0x20;
constexpr uint8_t kLight = 0x40;
constexpr uint8_t kFunction = 0x80;

std::string Loc(int address, int data) {
    return WriteReq(address, data);
}

bool AllDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

QPoint HandleCentre(tester::TTrackBar* bar) {
    QStyleOptionSlider opt;
    opt.initFrom(bar);
    opt.orientation = bar->orientation();
    opt.minimum = bar->minimum();
    opt.maximum = bar->maximum();
    opt.sliderPosition = bar->sliderPosition();
    opt.sliderValue = bar->value();
    opt.upsideDown = !bar->invertedAppearance(); // as QSlider sets it for a vertical bar
    opt.tickPosition = bar->tickPosition();
    opt.tickInterval = bar->tickInterval();
    opt.pageStep = bar->pageStep();
    opt.singleStep = bar->singleStep();
    return bar->style()
        ->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, bar)
        .center();
}

class LocoTest : public TesterTest {
  protected:
    void SetUp() override {
        TesterTest::SetUp();
        form->spn_locadres1->SetValue(3);
        form->spn_locadres2->SetValue(5);
        OpenPort();
    }
};

} // namespace

TEST_F(LocoTest, EachControlSendsItsSideAndSideTwoSendsSideOneFirst) {
    struct Case {
        const char* name;
        QWidget* control;
        std::string expected;
    };
    const Case cases[] = {
        {"light 1", form->chk_licht1, Loc(3, kLight)},
        {"function 1", form->ckbFunctie1, Loc(3, kLight | kFunction)},
        {"backward 1", form->rgr_richting1->Item(1), Loc(3, kLight | kFunction | kBackward)},
        {"light 2", form->chk_licht2, Loc(3, kLight | kFunction | kBackward) + Loc(5, kLight)},
        {"backward 2", form->rgr_richting2->Item(1),
         Loc(3, kLight | kFunction | kBackward) + Loc(5, kLight | kBackward)},
        {"function 2", form->ckbFunctie2,
         Loc(3, kLight | kFunction | kBackward) + Loc(5, kLight | kBackward | kFunction)},
        {"forward 1", form->rgr_richting1->Item(0), Loc(3, kLight | kFunction)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unit->ClearRecords();
        Click(c.control);
        EXPECT_EQ(Wire(c.expected.size()), c.expected);
        EXPECT_TRUE(NothingAfter(c.expected.size()));
    }
    EXPECT_TRUE(Shown().empty());
}

TEST_F(LocoTest, BothSidesMayShareAnAddress) {
    form->spn_locadres2->SetValue(3);
    Click(form->chk_licht2);
    EXPECT_EQ(Wire(4), Loc(3, 0) + Loc(3, kLight));
}

TEST_F(LocoTest, VerstuurSkipsTheRamp) {
    form->SpnLoc_TrackBar1->SetPosition(10);
    form->SpnLoc_TrackBar2->SetPosition(0);
    Settle();
    unit->ClearRecords();
    Click(form->ButtonLocSend);
    EXPECT_EQ(form->SpnLoc_TrackBar1->SelStart(), 10);
    EXPECT_EQ(Wire(2), Loc(3, 21));
    Click(form->ButtonLocSend2);
    EXPECT_EQ(form->SpnLoc_TrackBar2->SelStart(), 0);
    EXPECT_EQ(Wire(6), Loc(3, 21) + Loc(3, 21) + Loc(5, 31));
    EXPECT_TRUE(NothingAfter(6));
}

TEST_F(LocoTest, StopBeideSendsSpeedOneForEachSideThatWasNotStopping) {
    struct Case {
        const char* name;
        bool moving1, moving2;
        std::string expected;
    };
    const Case cases[] = {
        {"both moving", true, true, Loc(3, 1) + Loc(3, 1) + Loc(5, 1)},
        {"only 2 moving", false, true, Loc(3, 0) + Loc(5, 1)},
        {"only 1 moving", true, false, Loc(3, 1)},
        {"neither", false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        form->SpnLoc_TrackBar1->SetPosition(c.moving1 ? 0 : 31);
        form->SpnLoc_TrackBar2->SetPosition(c.moving2 ? 0 : 31);
        Click(form->ButtonLocSend2);
        Settle();
        unit->ClearRecords();

        Click(form->Button3Stop);
        EXPECT_EQ(Wire(c.expected.size()), c.expected);
        EXPECT_TRUE(NothingAfter(c.expected.size()));
        EXPECT_EQ(form->SpnLoc_TrackBar1->Position(), 31);
        EXPECT_EQ(form->SpnLoc_TrackBar2->Position(), 31);
        EXPECT_EQ(form->SpnLoc_TrackBar1->SelStart(), c.moving1 ? 30 : 31);
        EXPECT_EQ(form->SpnLoc_TrackBar2->SelStart(), c.moving2 ? 30 : 31);
    }
}

TEST_F(LocoTest, StopWithTheTargetAtStopLeavesABrakingLocomotiveAlone) {
    form->SpnLoc_TrackBar1->SetPosition(20);
    Click(form->ButtonLocSend); // current speed 11
    form->SpnLoc_TrackBar1->SetPosition(31);
    Settle();
    unit->ClearRecords();
    Click(form->Button1);
    EXPECT_TRUE(NothingAfter(0));
    EXPECT_EQ(form->SpnLoc_TrackBar1->SelStart(), 20);
    // The ramp goes on braking one step per tick.
    form->RampStep1();
    EXPECT_EQ(Wire(2), Loc(3, 10));
}

TEST_F(LocoTest, StopWhileClosedMovesTheSliderAndTheFirstTickAfterOpeningSendsSpeedZero) {
    form->SpnLoc_TrackBar1->SetPosition(0);
    Click(form->ButtonLocSend);
    Click(form->CheckBoxPoortOpen); // closed
    ASSERT_FALSE(form->MivoCom1->Connected());
    Settle();
    unit->ClearRecords();

    Click(form->Button1); // always enabled
    EXPECT_EQ(form->SpnLoc_TrackBar1->Position(), 31);
    EXPECT_EQ(form->SpnLoc_TrackBar1->SelStart(), 30);
    EXPECT_TRUE(NothingAfter(0));

    OpenPort();
    form->Timer1Timer();
    EXPECT_EQ(form->SpnLoc_TrackBar1->SelStart(), 31);
    unit->WaitForReceived(4, 3000);
    const std::string got = Wire();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got.substr(got.size() - 2), Loc(3, 0));
}

TEST_F(LocoTest, DraggingSendsTheCurrentSpeedAndTheRampClimbsOneStepPerTick) {
    tester::TTrackBar* bar = form->SpnLoc_TrackBar1;
    QSignalSpy moved(bar, &QSlider::sliderMoved);
    QSignalSpy changes(bar, &tester::TTrackBar::Change);
    unit->ClearRecords();

    const QPoint start = HandleCentre(bar);
    QTest::mousePress(bar, Qt::LeftButton, {}, start);
    for (int y = start.y(); y >= 0; y -= 8)
        QTest::mouseMove(bar, QPoint(start.x(), y));
    QTest::mouseMove(bar, QPoint(start.x(), 0));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(start.x(), 0));

    ASSERT_EQ(bar->Position(), 0) << "the drag reached the top";
    ASSERT_GE(moved.count(), 2);
    // One command per movement notification plus the end of the drag, each
    // with the speed commanded so far (still 0).
    EXPECT_EQ(changes.count(), moved.count() + 1);
    const size_t commands = static_cast<size_t>(changes.count());
    std::string expected;
    for (size_t i = 0; i < commands; ++i)
        expected += Loc(3, 0);
    EXPECT_EQ(Wire(expected.size()), expected);
    EXPECT_TRUE(NothingAfter(expected.size()));

    unit->ClearRecords();
    expected.clear();
    for (uint8_t speed = 1; speed <= 31; ++speed) {
        form->RampStep1();
        expected += Loc(3, speed);
    }
    form->RampStep1(); // at the target: nothing more
    EXPECT_EQ(Wire(expected.size()), expected);
    EXPECT_TRUE(NothingAfter(expected.size()));
    EXPECT_EQ(bar->SelStart(), 0);
}

TEST_F(LocoTest, RampStepsSideTwoAloneAndBothDirections) {
    form->SpnLoc_TrackBar2->SetPosition(29); // speed 2 wanted
    Settle();
    unit->ClearRecords();
    form->RampStep2();
    form->RampStep2();
    form->RampStep2();
    EXPECT_EQ(Wire(4), Loc(5, 1) + Loc(5, 2));
    form->SpnLoc_TrackBar2->SetPosition(31);
    Settle();
    unit->ClearRecords();
    form->RampStep2();
    form->RampStep2();
    form->RampStep2();
    EXPECT_EQ(Wire(4), Loc(5, 1) + Loc(5, 0));
    EXPECT_TRUE(NothingAfter(4));
}

TEST_F(LocoTest, MeldTijdenShowsOneNumberPerMovementAcrossTheTickWrap) {
    Click(form->CheckBoxMeldTijd);
    platform::SetTickCountStart(0xFFFFFFFFu - 3);
    form->SpnLoc_TrackBar1->setFocus();
    QTest::keyClick(form->SpnLoc_TrackBar1, Qt::Key_PageUp);
    QTest::keyClick(form->SpnLoc_TrackBar1, Qt::Key_Up);
    Click(form->chk_licht2); // one message for the pair of commands
    Click(form->ButtonLocSend);
    const auto shown = Shown();
    ASSERT_EQ(shown.size(), 4u);
    for (const auto& s : shown) {
        EXPECT_EQ(s.kind, MessageKind::Plain);
        ASSERT_TRUE(AllDigits(s.text)) << s.text;
        EXPECT_LT(std::stoul(s.text), 5000u) << "measured as a difference across the wrap";
    }
    EXPECT_EQ(form->SpnLoc_TrackBar1->Position(), 31 - 8 - 1);
    // The ramp's own commands are never timed.
    host.Clear();
    form->RampStep1();
    EXPECT_TRUE(Shown().empty());
}

TEST_F(LocoTest, FunctionButtonIsOnWhileHeldWithAnyMouseButton) {
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
        SCOPED_TRACE(button == Qt::LeftButton ? "left" : "right");
        unit->ClearRecords();
        const QPoint mid = form->Button1Functie->rect().center();
        QTest::mousePress(form->Button1Functie, button, {}, mid);
        EXPECT_TRUE(form->ckbFunctie1->isChecked());
        EXPECT_EQ(Wire(4), Loc(3, kFunction) + Loc(3, kFunction));
        QTest::mouseRelease(form->Button1Functie, button, {}, mid);
        EXPECT_FALSE(form->ckbFunctie1->isChecked());
        EXPECT_EQ(Wire(8), Loc(3, kFunction) + Loc(3, kFunction) + Loc(3, 0) + Loc(3, 0));
        EXPECT_TRUE(NothingAfter(8));
    }

    unit->ClearRecords();
    const QPoint mid = form->Button2Functie->rect().center();
    QTest::mousePress(form->Button2Functie, Qt::LeftButton, {}, mid);
    QTest::mouseRelease(form->Button2Functie, Qt::LeftButton, {}, mid);
    const std::string on = Loc(3, 0) + Loc(5, kFunction);
    const std::string off = Loc(3, 0) + Loc(5, 0);
    EXPECT_EQ(Wire(16), on + on + off + off);

    // Disabled while the port is closed: a press does nothing.
    Click(form->CheckBoxPoortOpen);
    QTest::mousePress(form->Button1Functie, Qt::LeftButton, {}, mid);
    EXPECT_FALSE(form->ckbFunctie1->isChecked());
    QTest::mouseRelease(form->Button1Functie, Qt::LeftButton, {}, mid);
}

TEST_F(LocoTest, AddressFieldsReadAnyTextAndClampWhenLeft) {
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    struct Case {
        tester::TSpinEdit* field;
        const char* typed;
        int valueWhileTyping;
        const char* textAfterLeaving;
    };
    const Case cases[] = {
        {form->spn_locadres1, "42", 42, "42"},     {form->spn_locadres1, "abc", 0, "0"},
        {form->spn_locadres1, "-7", 0, "0"},       {form->spn_locadres1, "500", 111, "111"},
        {form->spn_locadres2, "111", 111, "111"},  {form->spn_bezetadres, "127", 127, "127"},
        {form->spn_bezetadres, "128", 127, "127"}, {form->spn_funcadres, "112", 111, "111"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        c.field->setFocus();
        c.field->selectAll();
        QTest::keyClicks(c.field, QString::fromLatin1(c.typed));
        EXPECT_EQ(c.field->Text(), QString::fromLatin1(c.typed));
        EXPECT_EQ(c.field->Value(), c.valueWhileTyping);
        form->ButtonPoortOpen->setFocus();
        EXPECT_EQ(c.field->Text(), QString::fromLatin1(c.textAfterLeaving));
        EXPECT_EQ(c.field->Value(), c.valueWhileTyping);
    }
    // The next command uses the address, changing it sent nothing.
    EXPECT_TRUE(NothingAfter(0));
    Click(form->ButtonLocSend);
    EXPECT_EQ(Wire(2), Loc(111, 0));

    // The up/down buttons step by one within the range.
    form->spn_locadres2->SetValue(0);
    form->spn_locadres2->setFocus();
    QTest::keyClick(form->spn_locadres2, Qt::Key_Down);
    EXPECT_EQ(form->spn_locadres2->Value(), 0);
    QTest::keyClick(form->spn_locadres2, Qt::Key_Up);
    EXPECT_EQ(form->spn_locadres2->Value(), 1);
}
