// The tester window on the other systems of the table: the same panels,
// driven through the component's public operations and events, with what a
// system does not have disabled and a tooltip that says why. The Selectrix
// window never comes here.

#include "tester/UnitQuorrin.h"

#include "command_station/MivoComm.h"
#include "frontend/HostSettings.h"
#include "frontend/Systems.h"
#include "platform/Tick.h"
#include "platform/Translate.h"
#include "serial/ComSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

#include <string>

namespace tester {
namespace {

using frontend::FeedbackAnswer;

QString Tr(const char* text) {
    return QString::fromStdString(platform::Translate(text));
}

// A control the system has no use for: disabled, with the reason.
void Lacks(QWidget* w, const char* why) {
    w->setEnabled(false);
    w->setToolTip(Tr(why));
}

constexpr const char* kNoFunctionDecoder = "Only Selectrix has a function decoder on its bus";
constexpr const char* kNoProgrammer = "Only the Selectrix central unit has this decoder programmer";
constexpr const char* kNoLocos = "This system carries no locomotive commands";
constexpr const char* kNoFunction = "This system carries no function with its locomotive command";
constexpr const char* kReportsItself = "The DINAMO reports its inputs by itself";

// A DINAMO module shows the reported inputs 8m+1 .. 8m+8.
constexpr int kDinamoModules = 32;
constexpr int kInputsPerModule = 8;
// Märklin's speed code that changes the direction instead of the speed.
constexpr uint8_t kChangeDirection = 15;

const QColor kLampOn(255, 255, 0);

} // namespace

void TFormQuorrin::AdaptToSystem() {
    const frontend::SystemInfo& s = System();
    setWindowTitle(QStringLiteral("Quorrin - ") + Tr(s.panel.title));

    if (s.locoMax < 0) {
        Lacks(GroupBoxLocomotief, kNoLocos);
    } else {
        for (TSpinEdit* adres : {spn_locadres1, spn_locadres2})
            adres->setRange(0, s.locoMax);
        for (TTrackBar* bar : {SpnLoc_TrackBar1, SpnLoc_TrackBar2}) {
            bar->setRange(0, s.panel.speedMax);
            bar->setValue(s.panel.speedMax);
            bar->SetSelStart(s.panel.speedMax);
            bar->SetSelEnd(s.panel.speedMax);
        }
        if (!frontend::Carries(s, "--f1"))
            for (QWidget* w :
                 {static_cast<QWidget*>(ckbFunctie1), static_cast<QWidget*>(ckbFunctie2),
                  static_cast<QWidget*>(Button1Functie), static_cast<QWidget*>(Button2Functie)})
                Lacks(w, kNoFunction);
    }
    if (!s.panel.selectrixPanels) {
        Lacks(GroupBoxFunctie, kNoFunctionDecoder);
        if (s.locoMax >= 0) Lacks(GroupBoxLocProgram, kNoProgrammer);
    }

    if (s.feedback == FeedbackAnswer::None) {
        spn_bezetadres->setRange(0, kDinamoModules - 1);
        Lacks(ButtonLees, kReportsItself);
        Lacks(CheckBoxLeesCont, kReportsItself);
        connect(spn_bezetadres, &QSpinBox::valueChanged, this, [this] { ShowDinamoInputs(); });
    } else {
        spn_bezetadres->setRange(s.feedbackMin, s.feedbackMax);
    }
    if (s.panel.feedbackInputs > kInputsPerModule) {
        // Two rows of eight smaller circles: inputs 1..8 above 9..16.
        const auto shapes = TerugShapes();
        for (size_t k = 0; k < 8; ++k) {
            shapes[k]->setGeometry(shapes[k]->x(), 37, 15, 15);
            auto* shape = new TShape(GroupBoxTerugmeld);
            shape->setObjectName(QStringLiteral("ShapeTerugHoog%1").arg(k + 1));
            shape->setGeometry(shapes[k]->x(), 55, 15, 15);
            ShapesTerugHoog[k] = shape;
        }
        LabelTerugHoog = new QLabel(QStringLiteral("9-16"), GroupBoxTerugmeld);
        LabelTerugHoog->setObjectName(QStringLiteral("LabelTerugHoog"));
        LabelTerugHoog->setGeometry(76, 56, 30, 13);
    }

    if (s.cycled) {
        // The DINAMO takes no power commands; its hold and fault show instead.
        CheckBoxCC2000Aan->hide();
        LabelHoldFault = new QLabel(this);
        LabelHoldFault->setObjectName(QStringLiteral("LabelHoldFault"));
        LabelHoldFault->setGeometry(CheckBoxCC2000Aan->geometry());
        ShowHoldFault();
    }
}

void TFormQuorrin::InstallSystemEvents() {
    frontend::ApplyHostSettings(*MivoCom1, frontend::HostSettings{});
    // The baud list shows the rate the system's profile chose, where it has it.
    const int rate =
        ComboBoxBaud->findText(QString::number(serial::BaudRateValue(MivoCom1->BaudRate())));
    ComboBoxBaud->setCurrentIndex(rate);

    using namespace command_station;
    MivoCom1->OnLenzDoeIets = [this](TLenzAktie a, uint16_t d1, uint16_t d2, uint8_t d3, double) {
        switch (a) {
        case laBezetmelder: {
            if (d1 != spn_bezetadres->Value()) return;
            // Another module's halves must not mix with this one's.
            if (d1 != lenzModule_) lenzInputs_ = 0;
            lenzModule_ = d1;
            // Lower nibble: inputs 1..4, upper nibble: inputs 5..8.
            const int shift = d2 == 2 ? 4 : 0;
            lenzInputs_ =
                static_cast<uint8_t>((lenzInputs_ & ~(0x0F << shift)) | ((d3 & 0x0F) << shift));
            ShowInputs(lenzInputs_, lenzInputs_);
            break;
        }
        case laNoodstop: // track power off (61 00) or an emergency stop (81 00)
            ShowPowerState(false);
            break;
        case laAllesAan:
            ShowPowerState(true);
            break;
        default:
            break;
        }
    };
    MivoCom1->OnAlgTekst = [this](TAlgAct a, const std::string& text) {
        if (a != aaTest) return;
        if (text == "hold actief" || text == "hold opgeheven") hold_ = text == "hold actief";
        if (text == "fault actief" || text == "fault opgeheven") fault_ = text == "fault actief";
        ShowHoldFault();
    };
    MivoCom1->OnDinDoeIets = [this](TDinAktie a, uint16_t input, uint16_t occupied, uint16_t,
                                    uint16_t) {
        if (a != daBezetmelder || input >= dinamoInputs_.size()) return;
        dinamoInputs_[input] = occupied != 0;
        ShowDinamoInputs();
    };
}

void TFormQuorrin::InitialiseInterface() {
    // A failure shows at "Verbinding oke?", as a silent Selectrix unit does.
    MivoCom1->InitSysteem();
    if (System().versioned) MivoCom1->GetLenzVersie();
}

void TFormQuorrin::DisableWhatTheSystemLacks() {
    const frontend::SystemInfo& s = System();
    if (s.locoMax >= 0 && !frontend::Carries(s, "--f1"))
        for (QWidget* w :
             {static_cast<QWidget*>(ckbFunctie1), static_cast<QWidget*>(ckbFunctie2),
              static_cast<QWidget*>(Button1Functie), static_cast<QWidget*>(Button2Functie)})
            w->setEnabled(false);
    if (s.feedback == FeedbackAnswer::None) {
        ButtonLees->setEnabled(false);
        CheckBoxLeesCont->setEnabled(false);
    }
}

void TFormQuorrin::StopContinuous() {
    Programmatic([this] {
        CheckBoxLeesCont->setChecked(false);
        CheckBoxSchrijfCont->setChecked(false);
    });
}

void TFormQuorrin::ShowPowerState(bool on) {
    const QSignalBlocker quiet(CheckBoxCC2000Aan);
    CheckBoxCC2000Aan->setChecked(on);
}

void TFormQuorrin::ChangeDirectionIfAsked(int side, bool forward) {
    bool& sent = sentForward_[static_cast<size_t>(side - 1)];
    if (forward == sent || frontend::Carries(System(), "--backward") ||
        !frontend::Carries(System(), "--change-direction"))
        return;
    sent = forward;
    TSpinEdit* adres = side == 1 ? spn_locadres1 : spn_locadres2;
    QCheckBox* licht = side == 1 ? chk_licht1 : chk_licht2;
    std::string resultaat;
    MivoCom1->StuurLoc(static_cast<uint16_t>(adres->Value()), kChangeDirection, licht->isChecked(),
                       forward, {false, false, false, false}, System().panel.lenzSteps,
                       System().panel.ibSteps, false, resultaat);
    // A command held back for the same address is replaced by the next one:
    // the change must be out before the speed follows.
    MivoCom1->Drain();
}

void TFormQuorrin::ReadFeedback(bool timed) {
    const frontend::SystemInfo& s = System();
    const uint8_t adres = static_cast<uint8_t>(spn_bezetadres->Value());
    // The Lenz answers come as broadcasts; a read already on its way is not
    // asked again by the timer.
    if (!timed && s.feedback == FeedbackAnswer::Events && MivoCom1->Pending()) return;
    const uint32_t start = platform::GetTickCount();
    if (s.feedback == FeedbackAnswer::Module) {
        // The Intellibox's module read: sixteen inputs, input 1 in bit 15; a
        // read without an answer or refused counts as inputs clear.
        uint16_t word = 0;
        if (MivoCom1->ReadFeedbackModule(adres, word) != 0) word = 0;
        if (timed) ShowElapsed(start);
        ShowWord(word);
        return;
    }
    std::string reply;
    MivoCom1->GetBezetmelder(adres, 0, false, false, reply);
    if (timed) ShowElapsed(start);
    if (s.feedback != FeedbackAnswer::Bytes) return;
    if (s.panel.feedbackInputs > kInputsPerModule) {
        // Two bytes, input 1 in bit 7 of the first; an answer cut short
        // counts as inputs clear.
        const uint32_t hi = reply.size() > 0 ? static_cast<unsigned char>(reply[0]) : 0;
        const uint32_t lo = reply.size() > 1 ? static_cast<unsigned char>(reply[1]) : 0;
        ShowWord(static_cast<uint16_t>((hi << 8) | lo));
        return;
    }
    const uint32_t value = reply.empty() ? 0 : static_cast<unsigned char>(reply[0]);
    ShowInputs(value, value);
}

void TFormQuorrin::ShowWord(uint16_t word) {
    uint32_t inputs = 0;
    for (int k = 0; k < 16; ++k)
        if (word & (0x8000u >> k)) inputs |= 1u << k;
    ShowInputs(inputs, word);
}

void TFormQuorrin::ShowInputs(uint32_t inputs, uint32_t value) {
    lbl_bezetnr->setText(QString::number(value));
    const auto shapes = TerugShapes();
    for (size_t k = 0; k < 8; ++k) {
        shapes[k]->SetBrushColor((inputs >> k) & 1 ? kLampOn : ButtonFaceColor());
        if (ShapesTerugHoog[k])
            ShapesTerugHoog[k]->SetBrushColor((inputs >> (k + 8)) & 1 ? kLampOn
                                                                      : ButtonFaceColor());
    }
}

void TFormQuorrin::ShowDinamoInputs() {
    const int first = spn_bezetadres->Value() * kInputsPerModule + 1;
    uint32_t inputs = 0;
    for (int k = 0; k < kInputsPerModule; ++k)
        if (dinamoInputs_[static_cast<size_t>(first + k)]) inputs |= 1u << k;
    ShowInputs(inputs, inputs);
}

void TFormQuorrin::ShowHoldFault() {
    if (!LabelHoldFault) return;
    const char* text = hold_ && fault_ ? "Hold and fault"
                       : hold_         ? "Hold"
                       : fault_        ? "Fault"
                                       : "No hold, no fault";
    LabelHoldFault->setText(Tr(text));
}

} // namespace tester
