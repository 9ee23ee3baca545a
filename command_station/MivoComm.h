// The command-station component: a serial port that speaks the byte
// protocols of six model-railway command stations. The host picks a port and
// a system with SetDigitaalSysteem; the operations then speak that system's
// protocol, one synchronous transaction on the caller's thread each.
//
// The shared model (fields, port profiles, events, dispatch, the helpers and
// the file log) lives in MivoComm.cpp; every protocol has its own source
// (Selectrix.cpp, ...). Wrong use (an operation for another system, a system
// number the component does not know) is answered with a fixed modal message
// and a neutral result; errors of the serial layer (EComPort) and of the file
// log are never caught here.
//
// File log: LogNaarBestand appends to $QUORRIN_VASKEL_LOG when that is set,
// else to $XDG_STATE_HOME/quorrin/vaskel.log, else to
// ~/.local/state/quorrin/vaskel.log. The quorrin folder is created 0700 and
// must be the user's own and closed to others, so nobody else can plant a
// link where the log is written; the file itself is never followed through a
// link, never truncated, and created 0600 when missing.
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

    // --- Märklin
    uint16_t MarklinLocPauze = 60;
    uint16_t MarklinStopPauze = 90;
    uint16_t MarklinBytePauze = 10;
    bool MarklinSnel = false;
    int32_t MarklinVolgendeZending = 0; // tick
    std::unique_ptr<TBytesLijst> MarklinAchtergehouden;

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

    // --- Intellibox / TWIN-Center
    bool IBGevonden = false;
    bool IBP50XMogelijk = false;
    bool IBVasteBaud = false;
    bool IBBinaireLoc = false;
    TBaudRate IBDoelBaud = serial::brCustom;
    TBaudRate IBGevondenBaud = serial::brCustom;
    std::unique_ptr<TBytesLijst> IBAchtergehouden;

    // --- DINAMO
    uint16_t DinamoAntwoordTijd = 200;
    std::string DinamoInvoer;
    std::unique_ptr<TBytesLijst> DinamoRij;

    // The file the log goes to (see the top of this header).
    static std::string LogPath();

    // The port's own handlers, installed as OnBeforeOpen / OnBeforeClose.
    void VoorOpenen(TCustomComPort* Sender);
    void VoorSluiten(TCustomComPort* Sender);

  private:
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

    TLenzAddTekst onLenzAddTekst_;
};

} // namespace command_station
