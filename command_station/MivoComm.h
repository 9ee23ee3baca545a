// The command-station component: a serial port that speaks the byte
// protocols of six model-railway command stations. The host picks a port and
// a system with SetDigitaalSysteem; the operations then speak that system's
// protocol, one synchronous transaction on the caller's thread each.
//
// The shared model (fields, port profiles, events, dispatch, the helpers and
// the file log) lives in MivoComm.cpp; every protocol has its own source:
// Selectrix.cpp, LenzParser.cpp + LenzQueue.cpp (pure parts LenzProtocol.h),
// Intellibox.cpp (Intellibox.h), Marklin.cpp, SerieleKaart.cpp and Dinamo.cpp
// (Dinamo.h). All six are built; each has a simulated peer in sim/. Wrong use (an operation for another system, a system
// number the component does not know) is answered with a fixed modal message
// and a neutral result; errors of the serial layer (EComPort) and of the file
// log are never caught here.
//
// File log: LogNaarBestand appends to $QUORRIN_VASKEL_LOG when that is set,
// else to $XDG_STATE_HOME/quorrin/vaskel.log, else to
// ~/.local/state/quorrin/vaskel.log. The quorrin folder is created 0700 and
// must be the user's own and closed to others, so nobody else can plant a
// link where the log is written; the file itself is never followed through a
// link, never truncated, and created 0600 when missing. Only a regular file
// takes the log: a FIFO or a device is refused at once, without waiting.
#pragma once

#include "serial/CPort.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

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
    laNoodstop,
    laAllesAan
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

// Functions 1 to 4 of a locomotive command.
using TFuncties = std::array<bool, 4>;

// A send queue or hold-back list: byte strings in order, the head first.
// Held through a unique_ptr so "not created yet" stays visible.
using TBytesLijst = std::deque<std::string>;

// ---------------------------------------------------------------- pure Selectrix helpers

// The two request bytes that read SX address `adres` (0x20 is a filler).
std::string SelectrixLeesVerzoek(uint8_t adres);
// The two request bytes that write `waarde` to `adres`: address + 0x80, kept to
// eight bits, then the value.
std::string SelectrixSchrijfVerzoek(uint16_t adres, uint8_t waarde);
// A locomotive's data byte: speed (not masked), 0x20 backward, 0x40 light,
// 0x80 function 1, added and kept to eight bits.
uint8_t SelectrixLocByte(uint8_t snelheid, bool licht, bool vooruit, bool functie1);

// The text StuurLoc hands to OnAlgTekst, e.g.
// "Adres: 3 snelheid: 10 licht aan achteruit(----)"; Märklin drops the
// direction.
std::string StuurLocTekst(uint8_t systeem, uint16_t adres, uint8_t snelheid, bool licht,
                          bool vooruit, const TFuncties& functies);

// The log line for `bytes` without its line end: the tick counter, ": ", then
// at most the first 100 bytes in decimal separated by "/".
std::string LogRegel(uint32_t tick, const std::string& bytes);

// ---------------------------------------------------------------- pure Märklin helpers

// The speed byte of a locomotive command: speed, plus 16 for the light.
uint8_t MarklinLocByte(uint8_t snelheid, bool licht);
// The text MarklinZendLoc hands to OnAlgTekst when it really sends, e.g.
// "Adres: 24 stuur echt: 23", with " (functies)" for a first byte of 64 up.
std::string MarklinZendTekst(uint8_t eerste, uint8_t tweede);
// The feedback request for module `adres` (1..31): 128 + n reads modules
// 1..n (`alle`), 192 + n module n alone. Empty for any other address;
// `antwoordBytes` is the number of answer bytes the interface sends.
std::string MarklinBezetVerzoek(uint8_t adres, bool alle, int& antwoordBytes);
// Files a locomotive command in the hold-back list: it replaces a command for
// the same address (its second byte) still waiting, in that one's place, or
// joins the end. The list thus never holds more than one command per address.
void MarklinHoudAchter(TBytesLijst& lijst, uint8_t eerste, uint8_t tweede);

// ---------------------------------------------------------------- pure serial-card helpers

// The configuration byte: bits 0, 1, 2 and 4 from the options, bit 3 for
// 19200 baud.
uint8_t KaartConfigByte(bool optie0, bool optie1, bool optie2, bool snel, bool optie4);
// The two request bytes that read module `adres` (0..127); empty above 127.
std::string KaartBezetVerzoek(uint8_t adres, uint8_t verzoek, bool vlag2);

// ---------------------------------------------------------------- the component

class TMivoCom : public TComPort {
  public:
    explicit TMivoCom(void* owner = nullptr);
    // Closes the port first (so the component switches off what it switched
    // on), then releases the queues.
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

    // --- system-specific operations
    void SelectrixFunctieDecoder(uint8_t Adres, uint8_t Waarde);
    // Märklin: the interface lets us send (CTS) within one second. Lets window
    // messages through while it waits.
    bool CheckCTS();

    // --- common helpers
    void VerstuurBytes(const std::string& bytes);
    // Appends one line to the file log (see the top of this header). Errors
    // are raised as std::system_error.
    void LogNaarBestand(const std::string& bytes);
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
    uint16_t LenzLogMasker = 0;

    // --- Märklin (Marklin.cpp). The pauses and MarklinSnel are the host's
    // settings; the deadlines are the component's own and tell the host when
    // the next transmission, locomotive command or power-off may go.
    uint16_t MarklinLocPauze = 60;
    uint16_t MarklinStopPauze = 90;
    uint16_t MarklinBytePauze = 10;
    bool MarklinSnel = false;
    int32_t MarklinVolgendeZending = 0; // tick
    int32_t MarklinLocVrijNa = 0;       // tick
    int32_t MarklinStopVrijNa = 0;      // tick
    std::unique_ptr<TBytesLijst> MarklinAchtergehouden;
    // Sends or holds back one locomotive command (speed byte, address).
    void MarklinZendLoc(uint8_t eerste, uint8_t tweede);
    // Sends the oldest held-back locomotive command when it is due (power
    // on, CTS free, the gap after the last one passed); at most one per call.
    // True when one went out. For hosts with a timer, so the list drains
    // without a new command; MarklinZendLoc calls it too. With `wachten` it
    // sleeps out a running gap first (never longer than the pause) instead
    // of leaving the command for the next call.
    bool MarklinVerstuurAchtergehouden(bool wachten = false);

    // --- Lenz (LenzParser.cpp, LenzQueue.cpp; pure parts in LenzProtocol.h)
    std::string LenzInvoer;          // received, not yet parsed (under 17 bytes after parsing)
    bool LenzSynchroniseren = false; // hunting for a message start
    int32_t LenzVerlorenBytes = 0;   // dropped since the hunt began
    bool LenzVervang78 = false;      // header 78 is a mislabelled 76
    int32_t LenzStilteTot = 0;       // tick; one further ahead than LenzStilteTijd has passed
    double LenzVersie = 0.0;
    // Reply deadline of the command in flight: 0 = none, 1 = resend at once,
    // anything else a tick. A deadline has passed once the counter is past
    // it (not on it), or when it lies further ahead than LenzAntwoordTijd.
    int32_t LenzAntwoordTot = 0;
    std::unique_ptr<TBytesLijst> LenzRij; // commands without XOR; the head is in flight
    // What the command in flight waits for.
    int16_t VerwachtBezetAdres = 0; // feedback address + 1; -1 = none
    uint8_t VerwachtNibble = 0;     // 255 = none, 0 = any, 16 = upper nibble
    int16_t VerwachtLocAdres = 0;   // -1 = none
    std::string VerwachtLocV3;      // address bytes of a version-3 status request
    uint8_t WachtAllesAan = 0;      // all-on broadcasts still awaited
    uint8_t WachtNoodstop = 0;      // emergency-stop broadcasts still awaited

    // Host settings; nothing in the component changes them. With a real
    // interface use LenzAntwoordTijd 500..1000 and LenzSlaOver 1: an
    // interface that sends fewer power broadcasts than awaited, or never
    // answers, then holds the queue only until the next command after the
    // reply time.
    uint16_t LenzAntwoordTijd = 0; // reply time-out in ms; 0: resend a ms after sending
    uint8_t LenzSlaOver = 0;       // 1: drop an unanswered head instead of resending it
    uint8_t LenzStilteTijd = 0;    // ms of quiet line before each transmission

    // The port's OnRxChar while the Lenz profile is selected: reads `Count`
    // bytes and runs the parser.
    void LenzOntvang(TCustomComPort* Sender, int Count);
    // What LenzOntvang does with a chunk once it is read (also without a port).
    void LenzOntvangBytes(const std::string& brok);
    // Cuts LenzInvoer into messages and acts on each whole one.
    void LenzVerwerk();
    // Appends `opdracht` (may be empty) and sends or resends the head when allowed.
    void LenzZend(const std::string& opdracht);
    // The head has been answered: drop it and send the next.
    void LenzOpdrachtKlaar();
    // The interface's version, 0 when none came within a second.
    double GetLenzVersie();
    static bool LenzXorOke(const std::string& bericht);
    static uint16_t LenzAdresWaarde(const std::string& tweeBytes);
    static std::string LenzAdresBytes(uint16_t adres);
    // True when every bit of `categorie` is set in LenzLogMasker.
    bool LenzLogAan(uint16_t categorie) const { return (LenzLogMasker & categorie) == categorie; }

    // --- serial card in a rack
    bool KaartGeinitialiseerd = false;
    bool KaartSnel = false;
    bool KaartOptie0 = true;
    bool KaartOptie1 = true;
    bool KaartOptie2 = true;
    bool KaartOptie4 = false;
    // The host asked for 19200 baud at an open, and the card has not got
    // there yet (the port runs at 9600 until the initialisation succeeds).
    // While it is set and the port still stands at 9600, the next open takes
    // it for the host's 19200 wish again. Cleared when the card reaches
    // 19200, when the host sets another rate before an open, and by
    // SetDigitaalSysteem; a host that wants to stay at 9600 clears it.
    bool KaartSnelGewenst = false;
    // Sends the configuration byte and waits for its echo; switches the port
    // to 19200 baud when KaartSnel is set and the echo came (SerieleKaart.cpp).
    bool KaartInit();

    // --- Intellibox / TWIN-Center (Intellibox.cpp)
    bool IBGevonden = false;
    bool IBXPrefix = false;
    bool IBP50XMogelijk = false;
    // Host settings: scan no rates, only IBDoelBaud; send the binary
    // locomotive command; the rate to run at (brCustom: the port's rate when
    // the detection starts).
    bool IBVasteBaud = false;
    bool IBBinaireLoc = false;
    TBaudRate IBDoelBaud = serial::brCustom;
    TBaudRate IBGevondenBaud = serial::brCustom;
    std::unique_ptr<TBytesLijst> IBAchtergehouden;
    // One transaction: exactly one of the two commands (the P50X one when
    // both are given); Antwoord gets the answer, 0x00 when none is awaited or
    // the port is closed.
    void IBOpdracht(const std::string& P50XCommand, const std::string& P50Command,
                    bool GeenAntwoord, std::string& Antwoord);
    // Finds the interface's rate and protocol mode and moves it to
    // IBDoelBaud. True only when found and the port is still open.
    bool IBZoek();
    // Sends the held-back binary locomotive commands, oldest first, while
    // the interface takes them.
    void IBStuurAchtergehouden();

    // --- DINAMO (Dinamo.cpp; frames and reports in Dinamo.h)
    //
    // Strictly question and answer: DinamoCyclus sends one frame (the head of
    // DinamoRij, or an empty frame so the DINAMO can report) and the next only
    // after a valid answer, or again when none came within DinamoAntwoordTijd.
    //
    // Running the link is the host's part: queue commands with DinamoOpdracht
    // and call DinamoCyclus over and over (a timer, or a loop of DinamoCyclus
    // and DinamoWacht, which blocks until there is something to do). The
    // component runs it itself only inside DinamoVerbind (InitSysteem).
    //
    // The DINAMO's answers carry the toggle of the frame they answer, and it
    // answers a frame that repeats the previous toggle again without carrying
    // it out a second time. So an answer whose toggle is not the one of the
    // frame in flight is a late answer to an earlier transmission: it is
    // dropped, and can neither remove a command that was never answered nor
    // pass its status or report off as news. So is a frame that arrives
    // while no answer is due.
    uint16_t DinamoAntwoordTijd = 200;
    std::string DinamoInvoer;
    std::unique_ptr<TBytesLijst> DinamoRij;
    bool DinamoHold = false;
    bool DinamoFault = false;
    uint8_t DinamoToggle = 0;
    int32_t DinamoAntwoordTot = 0; // tick; 2147483647: no answer due
    bool DinamoLeegVerstuurd = false;
    int32_t DinamoResetNietVoor = 0; // tick

    // Queues one command (0 to 3 data bytes) behind those waiting. More than
    // three bytes do not fit a frame: refused with a message, nothing queued.
    // No data queues nothing (an empty frame goes out whenever the queue is
    // empty). Refused with a message for another system.
    bool DinamoOpdracht(const std::string& data);
    // Builds and sends one frame for `data` (at most 3 bytes).
    void DinamoZend(const std::string& data);
    bool DinamoSomOke(const std::string& frame) const;
    // Reads what has arrived and handles every complete frame.
    void DinamoOntvang();
    // One step: receive, then send at most one frame. Never blocks beyond
    // the one write; nothing while the port is closed or for another system.
    void DinamoCyclus();
    // Puts the fault reset at the head of DinamoRij unless it is there.
    void DinamoResetFout();
    // The connection test: up to a second for an answer without the fault
    // bit, then a second's pause. True when it came.
    bool DinamoVerbind();
    // Blocks (no spinning, no window messages) until DinamoCyclus has work:
    // bytes have arrived, no answer is due, or the answer time has passed;
    // or until `maxMs` has passed. True when there is work.
    bool DinamoWacht(uint32_t maxMs);

    // The file the log goes to (see the top of this header).
    static std::string LogPath();

    // The port's own handlers, installed as OnBeforeOpen / OnBeforeClose.
    void VoorOpenen(TCustomComPort* Sender);
    void VoorSluiten(TCustomComPort* Sender);

  private:
    // Lets the host's window messages through, then blocks a few ms at most
    // (never past `remainingMs`), so a wait that handles messages does not
    // burn the processor.
    static void ProcessMessagesBriefly(uint32_t remainingMs);
    void PasProfielToe(uint8_t systeem);

    // Selectrix branches (Selectrix.cpp).
    bool SelectrixVerbindingOke();
    bool SelectrixNoodstop();
    void SelectrixZetAan();
    void SelectrixZetUit();
    void SelectrixStuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                           const TFuncties& Functies, std::string& Resultaat);
    void SelectrixBezetmelder(uint8_t Adres, std::string& Resultaat);
    // One ReadText of a single byte with the port's time-outs.
    std::string LeesEenByte();

    // Lenz branches (LenzQueue.cpp).
    void LenzZetAan();
    void LenzZetUit();
    void LenzUitBijSluiten();
    void LenzLaatUitgaan();
    void LenzBezetmelder(uint8_t Adres);
    void LenzStuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                      const TFuncties& Functies, uint8_t Modus, std::string& Resultaat);
    void LenzLog(uint16_t categorie, std::string_view tekst);
    bool LenzAntwoordVerlopen() const;
    void LenzWachtOpStilte();
    // Message handlers (LenzParser.cpp).
    void LenzBericht(const std::string& bericht);
    void LenzTerugmelding(const std::string& bericht);
    void LenzLocOud(const std::string& bericht);
    void LenzLocV3(const std::string& bericht);
    bool lenzVerwerkt_ = false; // LenzVerwerk is running (a handler may re-enter)

    // Intellibox branches (Intellibox.cpp).
    bool IBVerbindingOke();
    bool IBZetAan();
    void IBZetUit();
    void IBBezetmelder();
    void IBStuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                    const TFuncties& Functies, uint8_t IBStappen, bool IBOudProtocol);
    void IBVoorSluiten();
    std::string IBLeesTekst();
    bool IBWachtOpByte(uint32_t ms);
    bool IBStuurBinaireLoc(const std::string& commando);
    void IBHoudAchter(const std::string& commando);
    void IBWachtTotStil();
    bool IBWijzigBaud();

    // Märklin branches (Marklin.cpp).
    bool MarklinZetAan();
    void MarklinZetUit();
    void MarklinBezetmelder(uint8_t Adres, bool alle, std::string& Resultaat);
    // One deadline: the tick field the host sees, and beside it when the
    // component set it and the pause that produced it. A deadline never set
    // has no pause and counts as passed.
    struct MarklinTermijn {
        uint64_t gezetUs = 0;
        uint32_t pauzeMs = 0;
    };
    void MarklinZet(int32_t& veld, MarklinTermijn& termijn, uint32_t pauzeMs);
    static uint64_t MarklinResterendUs(const MarklinTermijn& termijn);
    static void MarklinWacht(const MarklinTermijn& termijn);
    void MarklinVerstuurLoc(uint8_t eerste, uint8_t tweede);
    MarklinTermijn marklinZending_, marklinLocVrij_, marklinStopVrij_;

    // Serial-card branches (SerieleKaart.cpp).
    bool KaartVerbindingOke();
    void KaartBezetmelder(uint8_t Adres, uint8_t Verzoek, bool Vlag2, std::string& Resultaat);
    void KaartVoorOpenen();
    void KaartVoorSluiten();

    TLenzAddTekst onLenzAddTekst_;

    // DINAMO: what the frame in flight carried and the answer time it was
    // sent with (a resend repeats the frame; a deadline is judged against
    // the setting that produced it).
    std::string dinamoLaatsteData_;
    uint16_t dinamoAntwoordDuur_ = 0; // 0: no frame sent yet
    bool dinamoResetGezet_ = false;   // DinamoResetNietVoor was set by a reset
    bool dinamoLeesbaar_ = false;     // DinamoWacht ended because the line was readable
    bool dinamoLeegLeesbaar_ = false; // ... and DinamoOntvang then found no bytes
    TBytesLijst& DinamoLijst();
    bool DinamoAntwoordVerwacht() const;
    bool DinamoResetToegestaan(uint32_t nu) const;
};

} // namespace command_station
