#include "command_station/MivoComm.h"

#include "command_station/dinamo/DinamoLink.h"
#include "command_station/intellibox/IntelliboxLink.h"
#include "command_station/kaart/KaartLink.h"
#include "command_station/lenz/LenzLink.h"
#include "command_station/marklin/MarklinLink.h"
#include "command_station/selectrix/SelectrixLink.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>

namespace command_station {

using namespace serial;

namespace {

// The longest a wait that lets no window messages through goes on without
// asking the host whether to stop.
constexpr uint32_t kInterruptSliceMs = 25;

// Guard messages.
constexpr const char* kSetSysteemOnbekend = "TMivoCom.SetDigitaalSysteem nog aanvullen";
constexpr const char* kVerbindingOnbekend = "TMivoCom.GetVerbindingOke nog aanvullen!";
constexpr const char* kNoodstopOnbekend = "TMivoCom.GetSysteemNoodstop nog aanvullen!";
constexpr const char* kAlleenSelectrix =
    "TMivoCom.SelectrixFunctieDecoder alleen van toepassing bij Selectrix!";
constexpr const char* kAlleenMarklin = "TMivoCom.CheckCTS alleen van toepassing bij Märklin!";
constexpr const char* kAlleenLenz = "GetLenzVersie is alleen van toepassing bij Lenz!";
constexpr const char* kAlleenIntellibox =
    "ReadFeedbackModule is alleen van toepassing bij Intellibox!";
constexpr const char* kAlleenDinamo = "TMivoCom.DinamoOpdracht alleen van toepassing bij DINAMO!";

// A number the component does not know (0 before any choice): the common
// settings only, guard messages for the questions, nothing on the line.
class UnknownSystemLink final : public Link {
  public:
    using Link::Link;
    bool ConnectionOk() override {
        platform::Host().ShowMessage(kVerbindingOnbekend);
        return false;
    }
    bool EmergencyStop() override {
        platform::Host().ShowMessage(kNoodstopOnbekend);
        return false;
    }
};

// The one place that knows the system numbers.
std::unique_ptr<Link> MakeLink(TMivoCom& com, uint8_t systeem) {
    switch (systeem) {
    case dsSelectrix:
        return std::make_unique<selectrix::SelectrixLink>(com);
    case dsMarklin:
        return std::make_unique<marklin::MarklinLink>(com);
    case dsLenz:
        return std::make_unique<lenz::LenzLink>(com);
    case dsSerieleKaart:
        return std::make_unique<kaart::KaartLink>(com);
    case dsIntellibox:
        return std::make_unique<intellibox::IntelliboxLink>(com);
    case dsDinamo:
        return std::make_unique<dinamo::DinamoLink>(com);
    default:
        return nullptr;
    }
}

} // namespace

std::string LocoText(uint16_t adres, uint8_t snelheid, bool licht, bool vooruit,
                     const TFuncties& functies, bool namesDirection) {
    std::string t = "Adres: " + std::to_string(adres) + " snelheid: " + std::to_string(snelheid);
    t += licht ? " licht aan" : " licht uit";
    if (namesDirection) t += vooruit ? " vooruit" : " achteruit";
    t += functies[0] ? "(x" : "(-";
    t += functies[1] ? "x" : "-";
    t += functies[2] ? "x" : "-";
    t += functies[3] ? "x)" : "-)";
    return t;
}

// ---------------------------------------------------------------- life cycle

TMivoCom::TMivoCom(void* owner)
    : TComPort(owner), link_(std::make_unique<UnknownSystemLink>(*this)) {
    // The name the main window gives its one component; stored settings use
    // it as their section.
    SetName("MivoCom1");
    OnBeforeOpen = [this](TCustomComPort* sender) { VoorOpenen(sender); };
    OnBeforeClose = [this](TCustomComPort* sender) { VoorSluiten(sender); };
}

TMivoCom::~TMivoCom() {
    // Close while this object is whole: VoorSluiten may still switch the
    // system off. A destructor cannot pass an error on, so a failing close
    // goes to the application's error report instead.
    try {
        ClosePort();
    } catch (...) {
        platform::Host().ReportException(std::current_exception());
    }
    // The base class may try to close again; our handlers must not run then.
    OnBeforeOpen = nullptr;
    OnBeforeClose = nullptr;
    OnRxChar = nullptr;
    link_.reset();
}

void TMivoCom::VoorOpenen(TCustomComPort*) {
    KaartSnel = false; // the card's link sets it again from the port's rate
    link_->BeforeOpen();
}

void TMivoCom::VoorSluiten(TCustomComPort*) {
    if (!Connected()) return;
    link_->BeforeClose();
}

// ---------------------------------------------------------------- profiles

void TMivoCom::SetDigitaalSysteem(uint8_t systeem) {
    BeginSettingsUpdate();
    try {
        DigitaalSysteem = systeem;
        // The common settings drop the receive handler before a link that
        // installed one can go.
        ApplyCommonProfile();
        if (systeem != linkSystem_) {
            std::unique_ptr<Link> link = MakeLink(*this, systeem);
            if (!link) link = std::make_unique<UnknownSystemLink>(*this);
            link_ = std::move(link);
            linkSystem_ = systeem;
        }
        link_->ApplyProfile();
        if (dynamic_cast<UnknownSystemLink*>(link_.get()))
            platform::Host().ShowMessage(kSetSysteemOnbekend);
    } catch (...) {
        EndSettingsUpdate();
        throw;
    }
    EndSettingsUpdate();
}

void TMivoCom::ApplyCommonProfile() {
    SetDataBits(dbEight);
    SetStopBits(sbTwoStopBits);
    Parity().SetCheck(false);
    FlowControl().SetFlowControl(fcNone);
    FlowControl().SetControlDTR(dtrDisable);
    Buffer().SetInputSize(1024);
    Buffer().SetOutputSize(1024);
    Timeouts().SetReadInterval(20);
    Timeouts().SetReadTotalMultiplier(25);
    Timeouts().SetReadTotalConstant(15);
    Timeouts().SetWriteTotalMultiplier(1000);
    Timeouts().SetWriteTotalConstant(1500);
    SetEvents(TComEvents{});
    OnRxChar = nullptr;
    IBDoelBaud = brCustom;
}

// ---------------------------------------------------------------- events

void TMivoCom::SetOnLenzAddTekst(TLenzAddTekst handler) {
    onLenzAddTekst_ = std::move(handler);
    if (!onLenzAddTekst_) LenzLogMasker = 0;
}

void TMivoCom::DoAlgTekst(TAlgAct AAct, const std::string& ATekst) {
    if (OnAlgTekst) OnAlgTekst(AAct, ATekst);
}

void TMivoCom::DoLenzAddTekst(const std::string& ATekst) {
    if (onLenzAddTekst_) onLenzAddTekst_(ATekst);
}

void TMivoCom::DoIBAddTekst(const std::string& ATekst) {
    if (OnIBAddTekst) OnIBAddTekst(ATekst);
}

void TMivoCom::DoLenzDoeIets(TLenzAktie AAktie, uint16_t AData1, uint16_t AData2, uint8_t AData3,
                             double AData4) {
    if (OnLenzDoeIets) OnLenzDoeIets(AAktie, AData1, AData2, AData3, AData4);
}

void TMivoCom::DoDinDoeIets(TDinAktie AAktie, uint16_t AData1, uint16_t AData2, uint16_t AData3,
                            uint16_t AData4) {
    if (OnDinDoeIets) OnDinDoeIets(AAktie, AData1, AData2, AData3, AData4);
}

// ---------------------------------------------------------------- operations

bool TMivoCom::GetVerbindingOke() {
    if (!Connected()) return false;
    return link_->ConnectionOk();
}

bool TMivoCom::GetSysteemNoodstop() {
    if (!Connected()) return false;
    return link_->EmergencyStop();
}

bool TMivoCom::ZetSysteemAan() {
    if (!Connected()) {
        SysteemAan = true;
        return true;
    }
    return link_->PowerOn();
}

void TMivoCom::ZetSysteemUit() {
    if (!Connected()) {
        SysteemAan = false;
        return;
    }
    link_->PowerOff();
}

void TMivoCom::TrackPowerOff() {
    if (!Connected()) {
        SysteemAan = false;
        return;
    }
    link_->TrackPowerOff();
}

void TMivoCom::StuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                        const TFuncties& Functies, uint8_t LenzStappen, uint8_t IBStappen,
                        bool IBOudProtocol, std::string& Resultaat) {
    Resultaat.clear();
    if (OnAlgTekst)
        DoAlgTekst(aaLoc, LocoText(Adres, Snelheid, Licht, Vooruit, Functies,
                                   link_->LocoTextNamesDirection()));
    link_->Loco({Adres, Snelheid, Licht, Vooruit, Functies, LenzStappen, IBStappen, IBOudProtocol},
                Resultaat);
}

void TMivoCom::GetBezetmelder(uint8_t Adres, uint8_t Verzoek, bool Vlag1, bool Vlag2,
                              std::string& Resultaat) {
    Resultaat.clear();
    if (!Connected()) return;
    link_->Feedback({Adres, Verzoek, Vlag1, Vlag2}, Resultaat);
}

bool TMivoCom::InitSysteem() {
    LaatsteFout.clear();
    return link_->Initialise();
}

void TMivoCom::SelectrixFunctieDecoder(uint8_t Adres, uint8_t Waarde) {
    if (!Connected()) return;
    auto* selectrix = LinkAs<selectrix::SelectrixLink>();
    if (!selectrix) {
        platform::Host().ShowMessage(kAlleenSelectrix);
        return;
    }
    selectrix->FunctieDecoder(Adres, Waarde);
}

bool TMivoCom::CheckCTS() {
    if (!Connected()) return true;
    auto* marklin = LinkAs<marklin::MarklinLink>();
    if (!marklin) {
        platform::Host().ShowMessage(kAlleenMarklin);
        return true;
    }
    return marklin->CheckCTS();
}

double TMivoCom::GetLenzVersie() {
    auto* lenz = LinkAs<lenz::LenzLink>();
    if (!lenz) {
        platform::Host().ShowMessage(kAlleenLenz);
        return 0.0;
    }
    return lenz->GetLenzVersie();
}

int TMivoCom::ReadFeedbackModule(uint8_t module, uint16_t& inputs) {
    inputs = 0;
    auto* intellibox = LinkAs<intellibox::IntelliboxLink>();
    if (!intellibox) {
        platform::Host().ShowMessage(kAlleenIntellibox);
        return -1;
    }
    return intellibox->ReadModule(module, inputs);
}

bool TMivoCom::DinamoOpdracht(const std::string& data) {
    auto* dinamo = LinkAs<dinamo::DinamoLink>();
    if (!dinamo) {
        platform::Host().ShowMessage(kAlleenDinamo);
        return false;
    }
    return dinamo->DinamoOpdracht(data);
}

void TMivoCom::DinamoCyclus() {
    if (auto* dinamo = LinkAs<dinamo::DinamoLink>()) dinamo->DinamoCyclus();
}

bool TMivoCom::DinamoWacht(uint32_t maxMs) {
    if (!Connected()) return false;
    auto* dinamo = LinkAs<dinamo::DinamoLink>();
    return !dinamo || dinamo->DinamoWacht(maxMs);
}

// ---------------------------------------------------------------- helpers

bool TMivoCom::CtsVrij() {
    if (!Connected()) return true;
    return (LineHoldFlags() & 0x01) == 0; // bit 0: waiting for CTS
}

void TMivoCom::VerstuurBytes(const std::string& bytes) {
    link_->Transmit(bytes);
}

bool TMivoCom::WachtOpInvoer(uint16_t count, uint16_t timeoutMs) {
    if (!Connected()) return false;
    platform::Deadline deadline = platform::Deadline::After(timeoutMs);
    bool readableSeen = false;
    for (;;) {
        int waiting = PendingInputCount();
        if (waiting >= count) return true;
        uint32_t remaining = deadline.Remaining();
        if (remaining == 0) return false;
        platform::Host().CheckInterrupt();
        // In slices, so a host that wants to stop is asked often enough.
        remaining = std::min(remaining, kInterruptSliceMs);
        // Block until the line is readable. Once it has been (bytes wait but
        // too few, or a hang-up that reads as readable) that is no news any
        // more, so then pause briefly instead.
        ComDevice* device = Device();
        bool ready = false;
        if (waiting > 0 || readableSeen || !device ||
            device->WaitReadable(static_cast<int>(remaining), ready) != 0) {
            platform::Sleep(std::min<uint32_t>(remaining, 2));
        } else {
            readableSeen = ready;
        }
    }
}

// ---------------------------------------------------------------- the links' defaults

bool Link::PowerOn() {
    com_.SysteemAan = true;
    return true;
}

void Link::PowerOff() {
    com_.SysteemAan = false;
}

void Link::BeforeClose() {
    if (com_.SysteemAan) com_.ZetSysteemUit();
}

void Link::Transmit(const std::string& bytes) {
    if (com_.Connected()) com_.WriteText(bytes);
    if (com_.LogNaarBestandAan) com_.LogNaarBestand(bytes);
}

void Link::Pause(uint32_t ms) {
    platform::Deadline deadline = platform::Deadline::After(ms);
    for (;;) {
        platform::Host().CheckInterrupt();
        const uint32_t remaining = deadline.Remaining();
        if (remaining == 0) return;
        platform::Sleep(std::min(remaining, kInterruptSliceMs));
    }
}

void Link::ProcessMessagesBriefly(uint32_t remainingMs) {
    platform::Host().ProcessMessages();
    if (remainingMs > 0) platform::MainQueue().WaitForWork(std::min<uint32_t>(remainingMs, 5));
}

bool Link::ReadOneByteWithin(uint32_t ms) {
    platform::Deadline deadline = platform::Deadline::After(ms);
    for (;;) {
        uint32_t before = platform::GetTickCount();
        std::string answer;
        com_.ReadText(answer, 1);
        if (!answer.empty()) return true;
        if (deadline.Reached()) return false;
        if (platform::GetTickCount() == before) platform::Sleep(1);
    }
}

} // namespace command_station
