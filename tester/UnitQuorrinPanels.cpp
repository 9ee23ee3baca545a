// The function-decoder and feedback panels, the window's timer cycle and the
// decoder programming box of TFormQuorrin.

#include "tester/UnitQuorrin.h"

#include "command_station/MivoComm.h"
#include "frontend/Systems.h"
#include "platform/Host.h"
#include "platform/Tick.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <string>

namespace tester {
namespace {

// The programmer's SX addresses.
constexpr uint8_t kReg104 = 104;
constexpr uint8_t kReg105 = 105;
constexpr uint8_t kCommand = 106;
constexpr uint8_t kStatus = 109;

// Its commands and status bits.
constexpr uint8_t kClaim = 64;
constexpr uint8_t kPrepareRead = 193;
constexpr uint8_t kRead = 129;
constexpr uint8_t kWrite = 201;
constexpr uint8_t kRelease = 0;
constexpr uint8_t kInUse = 0x40;
constexpr uint8_t kReady = 0x20;

constexpr uint32_t kClaimMs = 5000;
constexpr uint32_t kReadyWaitMs = 3000;

// Longest stretch Wacht blocks before it looks at the window's messages again.
constexpr uint32_t kWachtSliceMs = 5;

const QString kZero = QStringLiteral("0");
const QString kOne = QStringLiteral("1");
const QString kStart = QStringLiteral("Start");
const QString kStop = QStringLiteral("Stop");

const QColor kLampOn(255, 255, 0);

// The first byte of a reply; an empty reply (nothing came) counts as 0.
int ReplyValue(const std::string& reply) {
    return reply.empty() ? 0 : static_cast<unsigned char>(reply[0]);
}

int Weight(const std::array<QPushButton*, 8>& row, const QPushButton* button) {
    const auto it = std::find(row.begin(), row.end(), button);
    return it == row.end() ? 0 : 1 << (it - row.begin());
}

// A bit button was clicked: its caption and the row's value change together.
void ToggleBit(const std::array<QPushButton*, 8>& row, QPushButton* button, int& value,
               QLabel* shown) {
    const int weight = Weight(row, button);
    if (weight == 0) return;
    if (button->text() == kZero) {
        value += weight;
        button->setText(kOne);
    } else {
        value -= weight;
        button->setText(kZero);
    }
    shown->setText(QString::number(value));
}

// Value and captions of a row set at once, bit 0 on the first button.
void ShowBits(const std::array<QPushButton*, 8>& row, int value, int& variable, QLabel* shown) {
    variable = value;
    shown->setText(QString::number(value));
    for (int k = 0; k < 8; ++k)
        row[static_cast<size_t>(k)]->setText((value >> k) & 1 ? kOne : kZero);
}

void ShowFeedback(TFormQuorrin& form, const std::string& reply) {
    const int value = ReplyValue(reply);
    form.lbl_bezetnr->setText(QString::number(value));
    const auto shapes = form.TerugShapes();
    for (int k = 0; k < 8; ++k)
        shapes[static_cast<size_t>(k)]->SetBrushColor((value >> k) & 1 ? kLampOn
                                                                       : ButtonFaceColor());
}

void ToggleStartStop(QPushButton* button) {
    button->setText(button->text() == kStart ? kStop : kStart);
}

uint8_t Address(const TSpinEdit* field) {
    return static_cast<uint8_t>(field->Value());
}

// One SX address read, an empty reply as 0.
int Lees(command_station::TMivoCom& com, uint8_t address) {
    std::string reply;
    com.GetBezetmelder(address, 0, false, false, reply);
    return ReplyValue(reply);
}

} // namespace

// ------------------------------------------------------- function decoder

void TFormQuorrin::ButtonVarAdrClick(QPushButton* Sender) {
    ToggleBit(FuncButtons(), Sender, VarAdr, Label24);
}

void TFormQuorrin::ButtonClearClick() {
    ShowBits(FuncButtons(), 0, VarAdr, Label24);
}

void TFormQuorrin::ButtonSetClick() {
    ShowBits(FuncButtons(), 255, VarAdr, Label24);
}

void TFormQuorrin::CheckBoxSchrijfContClick() {
    ButtonVerstuur->setText(CheckBoxSchrijfCont->isChecked() ? kStart : QStringLiteral("Verstuur"));
}

void TFormQuorrin::ButtonVerstuurClick() {
    if (CheckBoxSchrijfCont->isChecked()) {
        ToggleStartStop(ButtonVerstuur);
        return;
    }
    const uint32_t start = platform::GetTickCount();
    MivoCom1->SelectrixFunctieDecoder(Address(spn_funcadres), static_cast<uint8_t>(VarAdr));
    ShowElapsed(start);
}

// ------------------------------------------------------------ feedback unit

void TFormQuorrin::CheckBoxLeesContClick() {
    ButtonLees->setText(CheckBoxLeesCont->isChecked() ? kStart : QStringLiteral("Lees"));
}

void TFormQuorrin::ButtonLeesClick() {
    if (CheckBoxLeesCont->isChecked()) {
        ToggleStartStop(ButtonLees);
        return;
    }
    if (!IsSelectrix()) {
        ReadFeedback(true);
        return;
    }
    const uint32_t start = platform::GetTickCount();
    std::string reply;
    MivoCom1->GetBezetmelder(Address(spn_bezetadres), 0, false, false, reply);
    ShowElapsed(start);
    ShowFeedback(*this, reply);
}

// -------------------------------------------------------------------- timer

void TFormQuorrin::Timer1Timer() {
    try {
        if (MivoCom1 && MivoCom1->Connected()) {
            // What is queued or held back goes out when due; the DINAMO
            // link runs one cycle.
            if (!IsSelectrix()) MivoCom1->IdleStep();
            // Systems that cannot be asked show their power as reported.
            if (System().readsPower) {
                const bool aan = !MivoCom1->GetSysteemNoodstop();
                Programmatic([&] { CheckBoxCC2000Aan->setChecked(aan); });
            }
            RampStep2();
            RampStep1();
            if (CheckBoxSchrijfCont->isChecked() && ButtonVerstuur->text() == kStop)
                MivoCom1->SelectrixFunctieDecoder(Address(spn_funcadres),
                                                  static_cast<uint8_t>(VarAdr));
            if (CheckBoxLeesCont->isChecked() && ButtonLees->text() == kStop && !IsSelectrix()) {
                ReadFeedback(false);
            } else if (CheckBoxLeesCont->isChecked() && ButtonLees->text() == kStop) {
                std::string reply;
                MivoCom1->GetBezetmelder(Address(spn_bezetadres), 0, false, false, reply);
                ShowFeedback(*this, reply);
            }
        }
        tickErrorReported_ = false;
    } catch (...) {
        // The timer goes on ticking. A line that stays broken would otherwise
        // raise a new report every 100 ms, also inside the one still open.
        if (tickErrorReported_) return;
        tickErrorReported_ = true;
        platform::Host().ReportException(std::current_exception());
    }
}

// ---------------------------------------------------------- programming box

void TFormQuorrin::Buttonvar104Click(QPushButton* Sender) {
    ToggleBit(Var104Buttons(), Sender, Var104, LabelVal104);
}

void TFormQuorrin::ButtonVar105Click(QPushButton* Sender) {
    ToggleBit(Var105Buttons(), Sender, Var105, LabelVal105);
}

void TFormQuorrin::Wacht(uint32_t milliseconds) {
    const platform::Deadline until = platform::Deadline::After(milliseconds);
    while (!until.Reached()) {
        // The host serves its own queue; the window's Qt events are processed
        // here too, whichever host is installed.
        platform::Host().ProcessMessages();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        const uint32_t left = until.Remaining();
        if (left == 0) break;
        platform::MainQueue().WaitForWork(std::min(left, kWachtSliceMs));
    }
}

bool TFormQuorrin::ProgrammerVrij() {
    std::string reply;
    MivoCom1->GetBezetmelder(kStatus, 0, false, false, reply);
    return !reply.empty() && (static_cast<unsigned char>(reply[0]) & kInUse) == 0;
}

bool TFormQuorrin::ProgrammerClaimen() {
    MivoCom1->SelectrixFunctieDecoder(kCommand, kClaim);
    const platform::Deadline until = platform::Deadline::After(kClaimMs);
    int status = 0;
    do {
        // A closed port answers at once with nothing: no reason to go on.
        if (!MivoCom1->Connected()) return false;
        status = Lees(*MivoCom1, kStatus);
        if ((status & (kInUse | kReady)) == (kInUse | kReady)) return true;
    } while (!until.Reached());
    return false;
}

void TFormQuorrin::ProgrammerVrijgeven() {
    MivoCom1->SelectrixFunctieDecoder(kCommand, kRelease);
    const platform::Deadline until = platform::Deadline::After(kClaimMs);
    do {
        if (!MivoCom1->Connected()) return;
        if ((Lees(*MivoCom1, kStatus) & (kInUse | kReady)) == kReady) return;
    } while (!until.Reached());
}

namespace {

// Polls the programmer's ready bit for up to 3 s; even a ready bit seen in
// time is followed by one more 250 ms pause. True when the bit came.
bool WachtOpReady(TFormQuorrin& form) {
    const platform::Deadline until = platform::Deadline::After(kReadyWaitMs);
    for (;;) {
        const bool ready = (Lees(*form.MivoCom1, kStatus) & kReady) != 0;
        if (!(ready && until.Reached())) form.Wacht(250);
        if (ready || until.Reached()) return ready;
    }
}

} // namespace

// Both procedures run their last step also when a serial-layer error ends
// them, so the button and the timer (power box, ramps, continuous modes) come
// back; the power is not switched on again over a line that has just failed,
// and the error goes on to the standard error report.

void TFormQuorrin::ButtonVerifyClick() {
    const bool wasOn = CheckBoxCC2000Aan->isChecked();
    Programmatic([this] { CheckBoxCC2000Aan->setChecked(false); });
    MivoCom1->ZetSysteemUit();
    ButtonVerify->setEnabled(false);
    Timer1->stop();

    const auto finish = [this] {
        // A port closed meanwhile has disabled the connection controls; the
        // button follows them instead of coming back alone.
        ButtonVerify->setEnabled(ButtonVerbindingOke->isEnabled());
        Timer1->start();
    };
    try {
        if (!ProgrammerVrij()) {
            platform::Host().ShowErrorOkCancel("Programmer ingebruik");
        } else {
            Programmatic([this] { CheckBoxCC2000Aan->setChecked(false); });
            MivoCom1->ZetSysteemUit();
            if (!ProgrammerClaimen()) {
                platform::Host().ShowErrorOkCancel("Programmer niet ready");
            } else {
                MivoCom1->SelectrixFunctieDecoder(kCommand, kPrepareRead);
                Wacht(250);
                MivoCom1->SelectrixFunctieDecoder(kCommand, kRead);
                Wacht(500);
                if (!WachtOpReady(*this)) {
                    platform::Host().ShowErrorOkCancel("Kan niet verifieren");
                } else {
                    Wacht(500);
                    ShowBits(Var104Buttons(), Lees(*MivoCom1, kReg104), Var104, LabelVal104);
                    ShowBits(Var105Buttons(), Lees(*MivoCom1, kReg105), Var105, LabelVal105);
                }
            }
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    if (wasOn) MivoCom1->ZetSysteemAan();
}

void TFormQuorrin::ButtonProgramClick() {
    const bool wasOn = CheckBoxCC2000Aan->isChecked();
    Programmatic([this] { CheckBoxCC2000Aan->setChecked(false); });
    MivoCom1->ZetSysteemUit();
    ButtonProgram->setEnabled(false);
    Timer1->stop();

    const auto finish = [this] {
        Timer1->start();
        ButtonProgram->setEnabled(ButtonVerbindingOke->isEnabled());
    };
    try {
        MivoCom1->SelectrixFunctieDecoder(kReg104, static_cast<uint8_t>(Var104 & 0xFF));
        MivoCom1->SelectrixFunctieDecoder(kReg105, static_cast<uint8_t>(Var105 & 0xFF));
        if (!ProgrammerVrij()) {
            platform::Host().ShowErrorOkCancel("Programmer ingebruik");
        } else {
            MivoCom1->ZetSysteemUit();
            Programmatic([this] { CheckBoxCC2000Aan->setChecked(false); });
            if (!ProgrammerClaimen()) {
                platform::Host().ShowErrorOkCancel("Programmer niet ready");
            } else {
                MivoCom1->SelectrixFunctieDecoder(kCommand, kWrite);
                Wacht(250);
                // No message reports how the write went; the programmer is
                // released whatever the ready bit said.
                WachtOpReady(*this);
                ProgrammerVrijgeven();
            }
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    if (wasOn) MivoCom1->ZetSysteemAan();
}

} // namespace tester
