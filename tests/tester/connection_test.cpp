// The connection strip against the simulated unit: opening and closing,
// baud rate and port changes, the power box, the connection test, the end of
// the program, and errors of the serial layer.
#include "tests/support/TesterFixture.h"

#include "serial/CPort.h"

using namespace testsupport;
using platform::MessageKind;

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string OpenErrorText() {
    return serial::EComPort(1).what();
}

void ExpectConnectionControls(tester::TFormQuorrin& form, bool enabled) {
    for (QWidget* w : form.ConnectionControls())
        EXPECT_EQ(w->isEnabled(), enabled) << w->objectName().toStdString();
}

} // namespace

TEST_F(TesterTest, StartsClosedAtNineThousandSixHundredWithSelectrix) {
    EXPECT_EQ(form->ComboBoxBaud->currentText(), QStringLiteral("9600"));
    EXPECT_EQ(form->MivoCom1->BaudRate(), serial::br9600);
    EXPECT_EQ(form->MivoCom1->DigitaalSysteem, command_station::dsSelectrix);
    EXPECT_FALSE(form->MivoCom1->Connected());
    EXPECT_FALSE(form->CheckBoxPoortOpen->isChecked());
    EXPECT_FALSE(form->CheckBoxCC2000Aan->isChecked());
    ExpectConnectionControls(*form, false);
    for (QWidget* w : std::initializer_list<QWidget*>{
             form->ComComboBoxPort, form->ComboBoxBaud, form->CheckBoxPoortOpen,
             form->CheckBoxMeldTijd, form->ButtonPoortOpen, form->Button1, form->Button2,
             form->spn_locadres1, form->spn_locadres2, form->spn_funcadres, form->spn_bezetadres,
             form->ButtonClear, form->ButtonSet, form->ButtonFunc1, form->ButtonFunc8,
             form->Buttonvar11, form->Buttonvar28})
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(form->Timer1->interval() == 100);
}

TEST_F(TesterTest, PortSelectorShowsComOneOnlyWhenListed) {
    // A fresh window, as the program starts: the component names COM1
    // whether or not the list has it.
    tester::TFormQuorrin fresh;
    const bool listed = fresh.ComComboBoxPort->findText(QStringLiteral("COM1")) >= 0;
    EXPECT_EQ(fresh.ComComboBoxPort->Text(), listed ? "COM1" : "");
    EXPECT_EQ(fresh.MivoCom1->Port(), "COM1");
    if (!listed) {
        // Nothing selected: "Poort open" fails with the serial layer's open error.
        Click(fresh.CheckBoxPoortOpen);
        ASSERT_EQ(Shown().size(), 1u);
        EXPECT_EQ(Shown()[0].kind, MessageKind::Error);
        EXPECT_TRUE(StartsWith(Shown()[0].text, OpenErrorText())) << Shown()[0].text;
    }
}

TEST_F(TesterTest, PortThatCannotBeOpenedLeavesTheControlsDisabled) {
    PickPort(*form, "/dev/quorrin-test-no-such-port");
    Click(form->CheckBoxPoortOpen);
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0].kind, MessageKind::Error);
    EXPECT_TRUE(StartsWith(Shown()[0].text, OpenErrorText())) << Shown()[0].text;
    EXPECT_TRUE(form->CheckBoxPoortOpen->isChecked());
    EXPECT_FALSE(form->MivoCom1->Connected());
    ExpectConnectionControls(*form, false);

    Click(form->ButtonPoortOpen);
    ASSERT_EQ(Shown().size(), 2u);
    EXPECT_EQ(Shown()[1].kind, MessageKind::Error);
    EXPECT_EQ(Shown()[1].text, "Poort is dicht");

    // Clearing and setting the box again retries, now on a port that exists.
    Click(form->CheckBoxPoortOpen);
    PickPort(*form, unit->DevicePath());
    Click(form->CheckBoxPoortOpen);
    EXPECT_TRUE(form->MivoCom1->Connected());
    ExpectConnectionControls(*form, true);
    Click(form->ButtonPoortOpen);
    ASSERT_EQ(Shown().size(), 3u);
    EXPECT_EQ(Shown()[2].kind, MessageKind::Plain);
    EXPECT_EQ(Shown()[2].text, "Poort is open");
}

TEST_F(TesterTest, PoortOpenEnablesAndDisablesTheTwentyOneControls) {
    OpenPort();
    ExpectConnectionControls(*form, true);
    Click(form->CheckBoxPoortOpen);
    EXPECT_FALSE(form->MivoCom1->Connected());
    ExpectConnectionControls(*form, false);
    EXPECT_TRUE(NothingAfter(0));
    EXPECT_TRUE(Shown().empty());
}

TEST_F(TesterTest, PickingABaudRateWhileOpenClosesThePort) {
    struct Case {
        bool powerOn;
        std::string expected;
    };
    for (const Case& c : {Case{false, {}}, Case{true, kPowerOn + kPowerOff}}) {
        SCOPED_TRACE(c.powerOn ? "power on" : "power off");
        form->ComboBoxBaud->setCurrentIndex(1);
        OpenPort();
        unit->ClearRecords();
        if (c.powerOn) Click(form->CheckBoxCC2000Aan);

        form->ComboBoxBaud->setFocus();
        QTest::keyClick(form->ComboBoxBaud, Qt::Key_Up); // the user picks "19200"
        ASSERT_EQ(form->ComboBoxBaud->currentText(), QStringLiteral("19200"));
        EXPECT_FALSE(form->CheckBoxPoortOpen->isChecked());
        EXPECT_FALSE(form->MivoCom1->Connected());
        ExpectConnectionControls(*form, false);
        EXPECT_EQ(form->MivoCom1->BaudRate(), serial::br19200);
        EXPECT_EQ(Wire(c.expected.size()), c.expected);
        EXPECT_TRUE(NothingAfter(c.expected.size()));
        // The power box keeps its state, disabled, until the port is open again.
        EXPECT_EQ(form->CheckBoxCC2000Aan->isChecked(), c.powerOn);

        // The new rate stays for the next opening.
        Click(form->CheckBoxPoortOpen);
        ASSERT_TRUE(form->MivoCom1->Connected());
        EXPECT_EQ(form->MivoCom1->BaudRate(), serial::br19200);
        Click(form->CheckBoxPoortOpen);
        if (form->CheckBoxCC2000Aan->isChecked()) {
            form->Programmatic([&] { form->CheckBoxCC2000Aan->setChecked(false); });
        }
    }
    EXPECT_TRUE(Shown().empty());
}

TEST_F(TesterTest, ClearingPoortOpenSendsPowerOffOnlyAfterPowerOn) {
    OpenPort();
    Click(form->CheckBoxCC2000Aan);
    Click(form->CheckBoxPoortOpen);
    EXPECT_EQ(Wire(4), kPowerOn + kPowerOff);
    EXPECT_TRUE(form->CheckBoxCC2000Aan->isChecked());
    EXPECT_FALSE(form->CheckBoxCC2000Aan->isEnabled());

    // The component's record is clear now: the next close sends nothing.
    unit->ClearRecords();
    Click(form->CheckBoxPoortOpen);
    Click(form->CheckBoxPoortOpen);
    EXPECT_TRUE(NothingAfter(0));
}

TEST_F(TesterTest, PowerBoxSendsOneCommandPerChange) {
    OpenPort();
    Click(form->CheckBoxCC2000Aan);
    Click(form->CheckBoxCC2000Aan);
    EXPECT_EQ(Wire(4), kPowerOn + kPowerOff);
    EXPECT_TRUE(NothingAfter(4));
    // Setting the state it already has runs nothing.
    form->Programmatic([&] { form->CheckBoxCC2000Aan->setChecked(false); });
    EXPECT_TRUE(NothingAfter(4));
    EXPECT_TRUE(unit->TrackPower() == false);
}

TEST_F(TesterTest, ConnectionTest) {
    struct Case {
        const char* name;
        bool silent;
        bool powerBox;
        std::string beforeMessage; // on the line when the message comes up
        MessageKind kind;
        const char* text;
    };
    const Case cases[] = {
        {"answers", false, false, kStatusRead, MessageKind::Plain, "Verbinding oke"},
        {"answers, box set", false, true, kPowerOn + kStatusRead, MessageKind::Plain,
         "Verbinding oke"},
        {"silent", true, false, kStatusRead, MessageKind::Error, "Verbinding niet oke"},
        {"silent, box set", true, true, kPowerOn + kStatusRead + kPowerOff, MessageKind::Error,
         "Verbinding niet oke"},
    };
    OpenPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.Clear();
        unit->ClearRecords();
        unit->SetSilent(false);
        if (c.powerBox) {
            Click(form->CheckBoxCC2000Aan);
            // The test purges unsent output, so let power-on reach the unit first.
            Wire(2);
        }
        unit->SetSilent(c.silent);
        std::string atMessage;
        host.onShow = [&](const testsupport::RecordingHost::Shown&) {
            atMessage = Wire(c.beforeMessage.size());
        };
        Click(form->ButtonVerbindingOke);
        host.onShow = nullptr;
        ASSERT_EQ(Shown().size(), 1u);
        EXPECT_EQ(Shown()[0].kind, c.kind);
        EXPECT_EQ(Shown()[0].text, c.text);
        EXPECT_EQ(atMessage, c.beforeMessage);
        EXPECT_TRUE(NothingAfter(c.beforeMessage.size()));
        // A failed test clears the box; a good one leaves it; the port stays open.
        EXPECT_EQ(form->CheckBoxCC2000Aan->isChecked(), c.powerBox && !c.silent);
        EXPECT_TRUE(form->MivoCom1->Connected());
        if (form->CheckBoxCC2000Aan->isChecked()) {
            const size_t sent = Wire().size();
            Click(form->CheckBoxCC2000Aan);
            Wire(sent + 2);
        }
    }
}

TEST_F(TesterTest, ClosingTheWindowSendsPowerOffOnlyAfterPowerOn) {
    struct Case {
        const char* name;
        int powerClicks; // 0: never switched, 1: on, 2: on then off
        std::string atClose;
    };
    for (const Case& c : {Case{"never switched", 0, {}}, Case{"switched on", 1, kPowerOff},
                          Case{"on, then off", 2, {}}}) {
        SCOPED_TRACE(c.name);
        form = std::make_unique<tester::TFormQuorrin>();
        form->Timer1->stop();
        PickPort(*form, unit->DevicePath());
        OpenPort();
        unit->ClearRecords();
        for (int i = 0; i < c.powerClicks; ++i)
            Click(form->CheckBoxCC2000Aan);
        Wire(2 * static_cast<size_t>(c.powerClicks));
        unit->ClearRecords();
        form.reset();
        EXPECT_EQ(Wire(c.atClose.size()), c.atClose);
        EXPECT_TRUE(NothingAfter(c.atClose.size()));
    }
}

TEST_F(TesterTest, PickingAnotherPortWhileOpenReopensThere) {
    sim::SelectrixSim other;
    OpenPort();
    Click(form->CheckBoxCC2000Aan);
    Wire(2);
    unit->ClearRecords();

    PickPort(*form, other.DevicePath());
    EXPECT_TRUE(form->MivoCom1->Connected());
    EXPECT_TRUE(form->CheckBoxPoortOpen->isChecked());
    ExpectConnectionControls(*form, true);
    // The old port was closed after its power-off; commands now go to the new one.
    EXPECT_EQ(Wire(2), kPowerOff);
    Click(form->ButtonLocSend);
    ASSERT_TRUE(other.WaitForReceived(2, 3000));
    EXPECT_EQ(ReceivedText(other), WriteReq(0, 0x00));
    EXPECT_TRUE(NothingAfter(2));
    EXPECT_TRUE(Shown().empty());
}

TEST_F(TesterTest, PickingAMissingPortWhileOpenLeavesTheWindowOpenButThePortClosed) {
    OpenPort();
    PickPort(*form, "/dev/quorrin-test-no-such-port");
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0].kind, MessageKind::Error);
    EXPECT_TRUE(StartsWith(Shown()[0].text, OpenErrorText())) << Shown()[0].text;
    EXPECT_FALSE(form->MivoCom1->Connected());
    EXPECT_TRUE(form->CheckBoxPoortOpen->isChecked());
    ExpectConnectionControls(*form, true);

    // Commands send nothing now, and the window says so when asked.
    Click(form->ButtonLocSend);
    Click(form->ButtonPoortOpen);
    ASSERT_EQ(Shown().size(), 2u);
    EXPECT_EQ(Shown()[1].text, "Poort is dicht");
    EXPECT_TRUE(NothingAfter(0));

    Click(form->CheckBoxPoortOpen);
    ExpectConnectionControls(*form, false);
    EXPECT_EQ(Shown().size(), 2u);
}

TEST_F(TesterTest, ASerialErrorEndsTheWholeHandlerAndIsReportedOnce) {
    form->spn_locadres1->SetValue(1);
    form->spn_locadres2->SetValue(2);
    OpenPort();
    form->SpnLoc_TrackBar1->SetPosition(0);
    form->SpnLoc_TrackBar2->SetPosition(0);
    ASSERT_TRUE(Shown().empty());

    // The line goes dead under the open port: every write fails from now on.
    unit.reset();
    Click(form->Button3Stop);
    ASSERT_EQ(Shown().size(), 1u) << "one report for the one failed handler";
    EXPECT_EQ(Shown()[0].kind, MessageKind::Error);
    EXPECT_TRUE(StartsWith(Shown()[0].text, serial::EComPort(2).what())) << Shown()[0].text;
    // The stop of locomotive 1 failed in its command, so locomotive 2 was not reached.
    EXPECT_EQ(form->SpnLoc_TrackBar1->Position(), 31);
    EXPECT_EQ(form->SpnLoc_TrackBar2->Position(), 0);

    // The program goes on: the next click is handled (and fails) on its own.
    host.Clear();
    Click(form->Button2);
    EXPECT_EQ(Shown().size(), 1u);
    EXPECT_EQ(form->SpnLoc_TrackBar2->Position(), 31);
}
