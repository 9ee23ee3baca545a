// The tester window on the other systems, end to end through the real
// window against each system's simulator: power, two speeds and both
// directions of a locomotive, a feedback read and continuous reading, the
// panels a system does not have.
#include "tests/support/TesterFixture.h"

#include "frontend/Systems.h"
#include "sim/DinamoSim.h"
#include "sim/IntelliboxSim.h"
#include "sim/KaartSim.h"
#include "sim/LenzSim.h"
#include "sim/MarklinSim.h"

#include <QRadioButton>

using namespace testsupport;

namespace {

const QColor kLampOn(255, 255, 0);

// The window on `system` pointed at `sim`, its timer stopped (a test ticks).
template <class Sim> class SystemWindowTest : public ::testing::Test {
  protected:
    void Start(const char* system, std::unique_ptr<Sim> simulator) {
        EnsureApplication();
        sim = std::move(simulator);
        form = std::make_unique<tester::TFormQuorrin>(*frontend::FindSystem(system));
        form->Timer1->stop();
        form->show();
        PickPort(*form, sim->DevicePath());
    }
    void TearDown() override {
        form.reset();
        sim.reset();
    }
    void OpenPort() {
        SetBox(form->CheckBoxPoortOpen, true);
        ASSERT_TRUE(form->MivoCom1->Connected());
    }
    // Runs ticks and the port's deliveries until `done` holds.
    bool Until(const std::function<bool()>& done, int ms = 5000) {
        return RunEventsUntil(
            [&] {
                platform::MainQueue().Serve();
                form->Timer1Timer();
                return done();
            },
            ms);
    }
    // Locomotive 1 at `speed`, sent at once ("Verstuur").
    void Drive(int address, int speed) {
        form->spn_locadres1->SetValue(address);
        form->SpnLoc_TrackBar1->SetPosition(form->SpnLoc_TrackBar1->maximum() - speed);
        Click(form->ButtonLocSend);
    }
    void Backward() { Click(form->rgr_richting1->Item(1)); }
    // Circles lit, input 1 first (inputs 9..16 where the module has them).
    std::string Lamps() {
        std::string lit;
        for (tester::TShape* s : form->TerugShapes())
            lit += s->BrushColor() == kLampOn ? '1' : '0';
        for (tester::TShape* s : form->ShapesTerugHoog)
            if (s) lit += s->BrushColor() == kLampOn ? '1' : '0';
        return lit;
    }
    void Read(int module) {
        form->spn_bezetadres->SetValue(module);
        Click(form->ButtonLees);
    }
    void StartContinuous() {
        SetBox(form->CheckBoxLeesCont, true);
        Click(form->ButtonLees);
        ASSERT_EQ(form->ButtonLees->text(), QStringLiteral("Stop"));
    }
    void ExpectLacking(QWidget* w) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
        EXPECT_FALSE(w->toolTip().isEmpty()) << w->objectName().toStdString();
    }

    RecordingHost host;
    std::unique_ptr<Sim> sim;
    std::unique_ptr<tester::TFormQuorrin> form;
};

using LenzWindow = SystemWindowTest<sim::LenzSim>;
using MarklinWindow = SystemWindowTest<sim::MarklinSim>;
using KaartWindow = SystemWindowTest<sim::KaartSim>;
using IntelliboxWindow = SystemWindowTest<sim::IntelliboxSim>;
using DinamoWindow = SystemWindowTest<sim::DinamoSim>;

} // namespace

TEST_F(LenzWindow, DrivesPowerLocomotiveAndFeedback) {
    Start("lenz", std::make_unique<sim::LenzSim>());
    EXPECT_TRUE(form->windowTitle().contains(QStringLiteral("Lenz")));
    EXPECT_EQ(form->spn_locadres1->maximum(), 9999);
    EXPECT_EQ(form->SpnLoc_TrackBar1->maximum(), 28);
    ExpectLacking(form->GroupBoxFunctie);
    ExpectLacking(form->GroupBoxLocProgram);
    OpenPort();
    EXPECT_TRUE(form->ButtonLees->isEnabled());

    // Each power command waits in the queue for its broadcasts; the next
    // click comes once they are in, as a user's would.
    auto settled = [&](sim::LenzPower p) {
        return sim->Power() == p && !form->MivoCom1->Pending();
    };
    SetBox(form->CheckBoxCC2000Aan, true);
    EXPECT_TRUE(Until([&] { return settled(sim::LenzPower::On); }));
    // The power-off is the emergency stop of every locomotive (80 80).
    SetBox(form->CheckBoxCC2000Aan, false);
    EXPECT_TRUE(Until([&] { return settled(sim::LenzPower::EmergencyStop); }));
    SetBox(form->CheckBoxCC2000Aan, true);
    ASSERT_TRUE(Until([&] { return settled(sim::LenzPower::On); }));

    sim::LenzLoco loco;
    for (int speed : {10, 20}) {
        Drive(1234, speed);
        EXPECT_TRUE(Until([&] { return sim->Loco(1234, loco) && loco.speed == speed; })) << speed;
        EXPECT_TRUE(loco.forward);
    }
    Backward();
    EXPECT_TRUE(Until([&] { return sim->Loco(1234, loco) && !loco.forward; }));
    EXPECT_EQ(loco.speed, 20);

    // Module 5 is the interface's address byte 4.
    sim->SetInputs(4, 0xA5);
    Read(5);
    EXPECT_TRUE(Until([&] { return form->lbl_bezetnr->text() == QStringLiteral("165"); }));
    EXPECT_EQ(Lamps(), "10100101");
    StartContinuous();
    sim->SetInputs(4, 0x0F);
    EXPECT_TRUE(Until([&] { return Lamps() == "11110000"; }));

    // A power-off broadcast that nobody here asked for clears the box.
    sim->SwitchPower(false);
    EXPECT_TRUE(Until([&] { return !form->CheckBoxCC2000Aan->isChecked(); }));
    EXPECT_TRUE(host.Messages().empty());
}

TEST_F(MarklinWindow, DrivesPowerLocomotiveAndSixteenInputs) {
    Start("marklin", std::make_unique<sim::MarklinSim>());
    EXPECT_EQ(form->SpnLoc_TrackBar1->maximum(), 14);
    EXPECT_EQ(form->spn_bezetadres->minimum(), 1);
    EXPECT_EQ(form->ComboBoxBaud->currentText(), QStringLiteral("2400"));
    OpenPort();
    ExpectLacking(form->ckbFunctie1);
    ExpectLacking(form->Button2Functie);
    ExpectLacking(form->GroupBoxLocProgram);

    SetBox(form->CheckBoxCC2000Aan, true);
    EXPECT_TRUE(Until([&] { return sim->Power(); }));
    SetBox(form->CheckBoxCC2000Aan, false);
    EXPECT_TRUE(Until([&] { return !sim->Power(); }));
    SetBox(form->CheckBoxCC2000Aan, true);
    ASSERT_TRUE(Until([&] { return sim->Power(); }));

    for (int speed : {7, 12}) {
        Drive(24, speed);
        EXPECT_TRUE(Until([&] { return (sim->LocoByte(24) & 0x0F) == speed; })) << speed;
    }
    // Its direction changes by the command of its own (speed code 15),
    // then the speed goes again; back to forward changes it once more.
    auto changes = [&] {
        int n = 0;
        for (const sim::MarklinCommand& c : sim->Commands())
            n += c.kind == sim::MarklinCommand::Loco && c.address == 24 && (c.first & 0x0F) == 15;
        return n;
    };
    Backward();
    EXPECT_TRUE(Until([&] { return changes() == 1 && (sim->LocoByte(24) & 0x0F) == 12; }));
    Click(form->rgr_richting1->Item(0));
    EXPECT_TRUE(Until([&] { return changes() == 2 && (sim->LocoByte(24) & 0x0F) == 12; }));

    sim->SetModule(2, 0x8001); // input 1 and input 16
    Read(2);
    EXPECT_EQ(form->lbl_bezetnr->text(), QStringLiteral("32769"));
    EXPECT_EQ(Lamps(), "1000000000000001");
    StartContinuous();
    sim->SetModule(2, 0x0180); // inputs 8 and 9
    EXPECT_TRUE(Until([&] { return Lamps() == "0000000110000000"; }));
}

TEST_F(KaartWindow, ReadsItsModulesAndHasNoLocomotives) {
    Start("kaart", std::make_unique<sim::KaartSim>());
    ExpectLacking(form->GroupBoxLocomotief);
    ExpectLacking(form->GroupBoxFunctie);
    OpenPort();
    EXPECT_FALSE(form->ButtonLocSend->isEnabled());

    sim->SetModule(3, 0x5A);
    Read(3);
    EXPECT_EQ(form->lbl_bezetnr->text(), QStringLiteral("90"));
    EXPECT_EQ(Lamps(), "01011010");
    StartContinuous();
    sim->SetModule(3, 0x81);
    EXPECT_TRUE(Until([&] { return Lamps() == "10000001"; }));
    EXPECT_TRUE(host.Messages().empty());

    // Another rate picked while reading continuously ends the reading first.
    form->ComboBoxBaud->setCurrentIndex(0);
    emit form->ComboBoxBaud->activated(0);
    EXPECT_FALSE(form->MivoCom1->Connected());
    EXPECT_FALSE(form->CheckBoxLeesCont->isChecked());
    EXPECT_EQ(form->ButtonLees->text(), QStringLiteral("Lees"));
}

TEST_F(IntelliboxWindow, DrivesPowerLocomotiveAndSixteenInputs) {
    Start("intellibox", std::make_unique<sim::IntelliboxSim>(sim::IBMode::Mixed, 2400u));
    ExpectLacking(form->GroupBoxFunctie);
    EXPECT_EQ(form->spn_locadres1->maximum(), 10239);
    EXPECT_EQ(form->spn_bezetadres->maximum(), 31);
    OpenPort();

    sim->SetFeedback(4, 0x4002); // inputs 2 and 15
    Read(4);
    EXPECT_EQ(form->lbl_bezetnr->text(), QStringLiteral("16386"));
    EXPECT_EQ(Lamps(), "0100000000000010");
    StartContinuous();
    sim->SetFeedback(4, 0x0001);
    EXPECT_TRUE(Until([&] { return Lamps() == "0000000000000001"; }));
    SetBox(form->CheckBoxLeesCont, false);

    SetBox(form->CheckBoxCC2000Aan, true);
    EXPECT_TRUE(Until([&] { return sim->Power(); }));
    SetBox(form->CheckBoxCC2000Aan, false);
    EXPECT_TRUE(Until([&] { return !sim->Power(); }));

    auto speed = [&] { return sim->Locos().count(3) ? sim->Locos()[3].speed : -1; };
    Drive(3, 10);
    ASSERT_TRUE(Until([&] { return speed() > 0; }));
    const int slower = speed();
    Drive(3, 20);
    EXPECT_TRUE(Until([&] { return speed() > slower; }));
    EXPECT_TRUE(sim->Locos()[3].forward);
    Backward();
    EXPECT_TRUE(Until([&] { return !sim->Locos()[3].forward; }));
}

TEST_F(DinamoWindow, ShowsHoldFaultAndReportedInputs) {
    Start("dinamo", std::make_unique<sim::DinamoSim>());
    ExpectLacking(form->GroupBoxLocomotief);
    ExpectLacking(form->ButtonLees);
    EXPECT_FALSE(form->CheckBoxCC2000Aan->isVisible());
    ASSERT_NE(form->LabelHoldFault, nullptr);
    EXPECT_EQ(form->LabelHoldFault->text(), QStringLiteral("No hold, no fault"));
    OpenPort();
    EXPECT_FALSE(form->ButtonLees->isEnabled());

    sim->SetHold(true);
    EXPECT_TRUE(Until([&] { return form->LabelHoldFault->text() == QStringLiteral("Hold"); }));
    sim->SetHold(false);
    EXPECT_TRUE(
        Until([&] { return form->LabelHoldFault->text() == QStringLiteral("No hold, no fault"); }));

    // Module 1 shows inputs 9..16; a report for another module shows later.
    form->spn_bezetadres->SetValue(1);
    sim->QueueOccupancy(10, true);
    sim->QueueOccupancy(3, true);
    EXPECT_TRUE(Until([&] { return Lamps() == "01000000"; }));
    form->spn_bezetadres->SetValue(0);
    EXPECT_TRUE(Until([&] { return Lamps() == "00100000"; }));
}

TEST(SystemWindow, SelectrixKeepsItsOwnWindow) {
    EnsureApplication();
    tester::TFormQuorrin plain;
    tester::TFormQuorrin chosen(*frontend::FindSystem("selectrix"));
    EXPECT_EQ(chosen.windowTitle(), plain.windowTitle());
    EXPECT_EQ(chosen.LabelHoldFault, nullptr);
    EXPECT_EQ(chosen.ShapesTerugHoog[0], nullptr);
    EXPECT_TRUE(chosen.GroupBoxFunctie->isEnabled());
    EXPECT_TRUE(chosen.GroupBoxFunctie->toolTip().isEmpty());
}

namespace {

// A silent interface: the port opens, the window stays usable, and the
// connection test says "Verbinding niet oke" as it does for Selectrix.
template <class Sim> void ExpectSilentAnswersNotOke(const char* system, std::unique_ptr<Sim> sim) {
    SCOPED_TRACE(system);
    EnsureApplication();
    RecordingHost host;
    sim->SetSilent(true);
    tester::TFormQuorrin form(*frontend::FindSystem(system));
    form.Timer1->stop();
    PickPort(form, sim->DevicePath());
    SetBox(form.CheckBoxPoortOpen, true);
    ASSERT_TRUE(form.MivoCom1->Connected());
    EXPECT_TRUE(form.ButtonVerbindingOke->isEnabled());
    Click(form.ButtonVerbindingOke);
    const auto shown = host.Messages();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().kind, platform::MessageKind::Error);
    EXPECT_EQ(shown.back().text, "Verbinding niet oke");
    form.Timer1Timer(); // a tick on the silent line raises nothing
    EXPECT_EQ(host.Messages().size(), shown.size());
    SetBox(form.CheckBoxPoortOpen, false);
    EXPECT_FALSE(form.MivoCom1->Connected());
}

} // namespace

TEST(SystemWindow, ASilentInterfaceIsNotOkeAndTheWindowStaysUsable) {
    ExpectSilentAnswersNotOke("lenz", std::make_unique<sim::LenzSim>());
    ExpectSilentAnswersNotOke("kaart", std::make_unique<sim::KaartSim>());
    ExpectSilentAnswersNotOke("dinamo", std::make_unique<sim::DinamoSim>());
}
