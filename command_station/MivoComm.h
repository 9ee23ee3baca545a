// The command-station component: a serial port that speaks the byte
// protocols of six model-railway command stations. The host picks a port and
// a system with SetDigitaalSysteem; the operations then speak that system's
// protocol, one synchronous transaction on the caller's thread each.
//
// This header is the front: the operations, events and host settings, the
// common port profile and the one place that picks the system's link
// (MivoComm.cpp; the file log in FileLog.cpp). Each system has a folder
// (selectrix/, lenz/, intellibox/, marklin/, dinamo/, kaart/) with its
// messages (pure functions in a namespace of its own) and its link (Link.h),
// which owns the system's working state under the field names a reader of
// the protocol looks for. Wrong use (an operation for another system, a
// system number the component does not know) is answered with a fixed modal
// message and a neutral result; errors of the serial layer (EComPort) and of
// the file log are never caught here.
//
// File log: LogNaarBestand appends to $QUORRIN_VASKEL_LOG when that is set,
// else to $XDG_STATE_HOME/quorrin/vaskel.log, else to
// ~/.local/state/quorrin/vaskel.log. The quorrin folder is created 0700 and
// must be the user's own and closed to others, so nobody else can plant a
// link where the log is written; the file itself is never followed through a
// link, never truncated, and created 0600 when missing. Only a regular file
// takes the log: a FIFO or a device is refused at once, without waiting.
#pragma once

#include "command_station/Link.h"
#include "serial/CPort.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace command_station {

using serial::TBaudRate;
using serial::TComPort;
using serial::TCustomComPort;

// The digital systems (0: none chosen yet).
enum : uint8_t {
    dsSelectrix = 1,
    dsMarklin = 2,
    dsLenz = 3,
    dsSerieleKaart = 4,
    dsIntellibox = 5,
    dsDinamo = 6,
};

enum TAlgAct : uint8_t { aaLoc, aaFunc, aaMarWissel, aaTest };
enum TLenzAktie : uint8_t {
    laBezetmelder,
    laVersie,
    laLoc,
    laLocV3,
    laWisselFeedback,
    laNoodstop, // AData1: 0x61 everything off (track power off), 0x81 emergency stop
    laAllesAan,
    // Beyond the prescribed set: service mode entered (61 02); a locomotive
    // taken over by another handset (A3/A4, E3), AData1 its address.
    laServiceMode,
    laHandControl
};
enum TIBAktie : uint8_t {
    iaBezetmelder,
    iaLoc,
    iaWissel,
    iaPowerOff,
    iaPowerOn,
    iaShortExB,
    iaShortLB,
    iaShortInB,
    iaOverheated
};
enum TDinAktie : uint8_t { daBezetmelder, daMagneet, daBlok };

using TAlgTekst = std::function<void(TAlgAct AAct, const std::string& ATekst)>;
using TLenzAddTekst = std::function<void(const std::string& ATekst)>;
using TLenzDoeIets = std::function<void(TLenzAktie AAktie, uint16_t AData1, uint16_t AData2,
                                        uint8_t AData3, double AData4)>;
using TIBAddTekst = std::function<void(const std::string& ATekst)>;
using TIBDoeIets = std::function<void(TIBAktie AAktie, uint16_t AData1, uint16_t AData2,
                                      uint16_t AData3, uint16_t AData4)>;
using TDINDoeIets = std::function<void(TDinAktie AAktie, uint16_t AData1, uint16_t AData2,
                                       uint16_t AData3, uint16_t AData4)>;

// ---------------------------------------------------------------- the component
//
// Where each system's working state lives now (under its own names), beside
// its messages in <system>/<System>Messages.h (LenzXorOke, LenzAdresWaarde,
// LenzAdresBytes, IBFoutTekst, DinamoSomOke):
// - lenz::LenzLink: LenzInvoer, LenzSynchroniseren, LenzVerlorenBytes,
//   LenzVersie, LenzStilteTot, LenzAntwoordTot, LenzRij, VerwachtBezetAdres,
//   VerwachtNibble, VerwachtLocAdres, VerwachtLocV3, WachtAllesAan,
//   WachtNoodstop; LenzZend, LenzOpdrachtKlaar, LenzOntvang, LenzVerwerk, LenzLogAan.
// - marklin::MarklinLink: MarklinVolgendeZending, MarklinLocVrijNa,
//   MarklinStopVrijNa, MarklinAchtergehouden; MarklinZendLoc, MarklinVerstuurAchtergehouden.
// - intellibox::IntelliboxLink: IBGevonden, IBXPrefix, IBP50XMogelijk,
//   IBGevondenBaud, IBAchtergehouden; IBOpdracht, IBZoek, IBStuurAchtergehouden.
// - kaart::KaartLink: KaartGeinitialiseerd; KaartInit.
// - dinamo::DinamoLink: DinamoInvoer, DinamoRij, DinamoHold, DinamoFault,
//   DinamoToggle, DinamoAntwoordTot, DinamoLeegVerstuurd, DinamoResetNietVoor;
//   DinamoZend, DinamoOntvang, DinamoResetFout, DinamoVerbind.
// The host's settings stay here. A link is replaced when another system is
// chosen (its queues go with it); choosing the same system again keeps it.

class TMivoCom : public TComPort {
  public:
    explicit TMivoCom(void* owner = nullptr);
    // Closes the port first (so the component switches off what it switched
    // on), then releases the link with its queues.
    ~TMivoCom() override;

    // Stores the number and applies its port profile in one settings batch.
    void SetDigitaalSysteem(uint8_t systeem);

    // --- operations every system answers in its own way
    bool GetVerbindingOke();
    bool GetSysteemNoodstop();
    bool ZetSysteemAan();
    void ZetSysteemUit();
    void StuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                  const TFuncties& Functies, uint8_t LenzStappen, uint8_t IBStappen,
                  bool IBOudProtocol, std::string& Resultaat);
    // `Verzoek` and `Vlag2` are the serial card's request value and second
    // flag, `Vlag1` Märklin's "read all modules" (and the card's first flag).
    void GetBezetmelder(uint8_t Adres, uint8_t Verzoek, bool Vlag1, bool Vlag2,
                        std::string& Resultaat);

    // --- system-specific operations (other systems are refused)
    void SelectrixFunctieDecoder(uint8_t Adres, uint8_t Waarde);
    // Märklin: the interface lets us send (CTS) within one second. Lets window
    // messages through while it waits.
    bool CheckCTS();
    // Lenz: the interface's version, 0 when none came within a second.
    double GetLenzVersie();
    // DINAMO, run by the host: queue commands with DinamoOpdracht and call
    // DinamoCyclus over and over (a timer, or a loop of DinamoCyclus and
    // DinamoWacht). DinamoOpdracht queues one command of 0 to 3 data bytes;
    // more do not fit a frame and are refused with a message, as is another
    // system. DinamoCyclus receives, then sends at most one frame; nothing
    // for another system or a closed port. DinamoWacht blocks (no spinning,
    // no window messages) until DinamoCyclus has work or `maxMs` passed.
    bool DinamoOpdracht(const std::string& data);
    void DinamoCyclus();
    bool DinamoWacht(uint32_t maxMs);
    // Beyond the prescribed set. Switches the track off where power off does
    // less (Lenz: 21 80 through the queue, where ZetSysteemUit is the
    // emergency stop 80); elsewhere ZetSysteemUit itself.
    void TrackPowerOff();
    // Intellibox: IntelliboxLink::ReadModule (the 16 inputs of one module);
    // another system is refused with a message and -1.
    int ReadFeedbackModule(uint8_t module, uint16_t& inputs);

    // --- what a host asks of any system
    // One idle step: send what is queued or held back and now due (the Lenz
    // queue's resend, held-back Märklin/Intellibox commands, the DINAMO cycle).
    void IdleStep() { link_->IdleStep(); }
    // Is anything still queued or held back?
    bool Pending() const { return link_->Pending(); }
    // Lets out what is queued or held back, within each system's bounds (a
    // close after it then loses nothing): Märklin's held-back commands while
    // power is on, the Intellibox's while it takes them, the Lenz queue
    // (serving the port's deliveries) until it is empty.
    void Drain(const std::function<bool()>& stop = {}) { link_->Drain(stop); }
    // The link of the selected system, for hosts and tests that need one
    // system's own operations; null when another system is selected.
    template <class L> L* LinkAs() { return dynamic_cast<L*>(link_.get()); }

    // --- common helpers
    void VerstuurBytes(const std::string& bytes);
    // Appends one line to the file log (see the top of this header). Errors
    // are raised as std::system_error.
    void LogNaarBestand(const std::string& bytes);
    // The file the log goes to (see the top of this header).
    static std::string LogPath();
    // Waits (without handling window messages) until `count` bytes are
    // waiting or `timeoutMs` has passed; false at once when the port is closed.
    bool WachtOpInvoer(uint16_t count, uint16_t timeoutMs);
    bool InitSysteem();
    // True when the port is closed or the driver is not holding transmission
    // back for CTS. Does not wait.
    bool CtsVrij();

    void DoAlgTekst(TAlgAct AAct, const std::string& ATekst);
    void DoLenzAddTekst(const std::string& ATekst);
    void DoIBAddTekst(const std::string& ATekst);
    void DoLenzDoeIets(TLenzAktie AAktie, uint16_t AData1, uint16_t AData2, uint8_t AData3,
                       double AData4);
    void DoDinDoeIets(TDinAktie AAktie, uint16_t AData1, uint16_t AData2, uint16_t AData3,
                      uint16_t AData4);

    // --- events (raised only while a handler is assigned)
    TAlgTekst OnAlgTekst;
    const TLenzAddTekst& OnLenzAddTekst() const { return onLenzAddTekst_; }
    // Removing the handler also resets LenzLogMasker to 0.
    void SetOnLenzAddTekst(TLenzAddTekst handler);
    TLenzDoeIets OnLenzDoeIets;
    TIBAddTekst OnIBAddTekst;
    TIBDoeIets OnIBDoeIets;
    TDINDoeIets OnDinDoeIets;

    // --- common fields
    uint8_t DigitaalSysteem = 0;
    bool LogNaarBestandAan = false;
    bool SysteemAan = false;
    std::string LaatsteFout;
    uint16_t LenzLogMasker = 0; // classes of Lenz log text (LenzLog.h)

    // --- the host's settings (the component changes only IBDoelBaud, KaartSnel)
    // Märklin: gaps after a locomotive command, after power off, between any
    // two transmissions; the fast profile (19200 baud).
    uint16_t MarklinLocPauze = 60;
    uint16_t MarklinStopPauze = 90;
    uint16_t MarklinBytePauze = 10;
    bool MarklinSnel = false;
    // Lenz. With a real interface use LenzAntwoordTijd 500..1000 and
    // LenzSlaOver 1: an interface that sends fewer power broadcasts than
    // awaited, or never answers, then holds the queue only until the next
    // command after the reply time.
    uint16_t LenzAntwoordTijd = 0; // reply time-out in ms; 0: resend a ms after sending
    uint8_t LenzSlaOver = 0;       // 1: drop an unanswered head instead of resending it
    uint8_t LenzStilteTijd = 0;    // ms of quiet line before each transmission
    bool LenzVervang78 = false;    // header 78 is a mislabelled 76
    // Serial card: the configuration byte's options. KaartSnel (bit 3, the
    // move to 19200 baud) is set at every open: by the card's link from the
    // port's rate, false for every other system.
    bool KaartSnel = false;
    bool KaartOptie0 = true;
    bool KaartOptie1 = true;
    bool KaartOptie2 = true;
    bool KaartOptie4 = false;
    // Intellibox: scan no rates, only IBDoelBaud; send the binary locomotive
    // command; the rate to run at (brCustom: the port's rate when the
    // detection starts, which then stores it here; reset by every
    // SetDigitaalSysteem).
    bool IBVasteBaud = false;
    bool IBBinaireLoc = false;
    TBaudRate IBDoelBaud = serial::brCustom;
    // DINAMO: answer time-out in ms.
    uint16_t DinamoAntwoordTijd = 200;

    // The port's own handlers, installed as OnBeforeOpen / OnBeforeClose.
    void VoorOpenen(TCustomComPort* Sender);
    void VoorSluiten(TCustomComPort* Sender);

  private:
    void ApplyCommonProfile();

    TLenzAddTekst onLenzAddTekst_;
    std::unique_ptr<Link> link_; // never null: an unknown system has one too
    uint8_t linkSystem_ = 0;     // the number link_ was made for
};

} // namespace command_station
