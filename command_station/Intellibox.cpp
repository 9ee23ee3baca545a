// Intellibox and TWIN-Center. The interface speaks its own P50X protocol
// (text lines ending in CR, answered with text ending in "]", or binary
// commands answered with a one-byte reply code), the older two-byte P50
// protocol, or both mixed, at one of 2400..38400 baud. IBZoek finds the rate
// and the mode and moves the interface to the rate the host wants; every
// command then goes through IBOpdracht, which frames it for the mode found.
//
// Rules of our own, beyond the bare protocol:
// - A transaction that awaits an answer first drops whatever is still
//   waiting: a late byte of an earlier answer is never this command's answer.
// - A text answer is cut off after kIBTekstMaxBytes or kIBTekstMaxMs without
//   "]"; the cut is reported through OnIBAddTekst and the rest is dropped.
// - Binary locomotive commands that could not go out (CTS held) or that the
//   interface refused with "try again" (codes 8, 9, 10) wait in
//   IBAchtergehouden, one per locomotive address (a newer command replaces
//   the waiting one in place), at most kIBAchtergehoudenMax (the oldest is
//   dropped and reported). They go out in order before the next P50X
//   locomotive command (text or binary); while the first of them is still
//   refused, the rest and a new binary command wait behind it.
// - The mode probe's answer is counted only once the line has fallen quiet,
//   so a long answer at 2400 baud cannot spill into the next command.
// - A baud-rate change that the interface does not confirm (no "RT10" answer
//   beginning "rs-232 cts") takes the port back to the rate the interface was
//   found at, so the line keeps working.
// - An interface that speaks P50 only gets P50 only: locomotive commands in
//   their P50 form, and a feedback-module read as the connection test.
#include "command_station/Intellibox.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace command_station {

using namespace serial;

namespace {

constexpr uint8_t kCR = 0x0D;

// Speed rows, indexed by the speed step.
using TRij = std::array<uint8_t, 32>;

constexpr TRij kRij14 = {0, 2, 10, 19, 29, 38, 48, 57, 67, 76, 86, 95, 105, 114, 124};
constexpr TRij kRij27 = {0,  2,  8,  13, 17, 22, 26, 31, 35, 40,  44,  49,  53,  58,
                         62, 67, 71, 76, 80, 85, 89, 94, 98, 103, 107, 112, 116, 121};
constexpr TRij kRij28 = {0,  2,  7,  11, 16, 20, 25, 29, 34,  38,  43,  47,  52,  56, 61,
                         65, 70, 74, 79, 83, 88, 92, 97, 101, 106, 110, 115, 119, 124};
constexpr TRij kRij15 = {0, 2, 8, 17, 26, 35, 44, 53, 62, 71, 80, 89, 98, 107, 116, 125};

constexpr TRij Rij31() {
    TRij r{0, 2, 8};
    for (size_t i = 3; i < r.size(); ++i)
        r[i] = static_cast<uint8_t>(12 + 4 * (i - 3));
    return r;
}
constexpr TRij kRij31 = Rij31();
static_assert(kRij31[31] == 124);

// Waits for the trailing byte of a two-byte answer to the probe.
constexpr uint16_t kRestMs = 50;
// How long the binary answer and the P50 connection test may take.
constexpr uint16_t kBinairAntwoordMs = 500;
constexpr uint16_t kTekstStilteMs = 250;
constexpr uint32_t kRT10BinnenMs = 2300;
constexpr uint32_t kRT10PauzeMs = 300;

std::string Byte(uint8_t b) {
    return std::string(1, static_cast<char>(b));
}

std::string Klein(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

// ---------------------------------------------------------------- pure parts

uint8_t IBSnelheidWaarde(uint8_t stappen, uint8_t snelheid) {
    const TRij* rij = &kRij14;
    switch (stappen) {
    case 15:
        rij = &kRij15;
        break;
    case 27:
        rij = &kRij27;
        break;
    case 28:
        rij = &kRij28;
        break;
    case 31:
        rij = &kRij31;
        break;
    default:
        break;
    }
    return snelheid < rij->size() ? (*rij)[snelheid] : 0;
}

std::string IBTekstLoc(uint16_t adres, uint8_t waarde, bool licht, bool vooruit,
                       const TFuncties& functies) {
    std::string t = "L";
    t += std::to_string(adres);
    t += ',';
    t += std::to_string(waarde);
    t += licht ? ",1," : ",0,";
    t += vooruit ? '1' : '0';
    for (bool f : functies)
        t += f ? ",1" : ",0";
    return t;
}

std::string IBBinaireLocBytes(uint16_t adres, uint8_t waarde, bool licht, bool vooruit,
                              const TFuncties& functies) {
    unsigned vlaggen = 0xC0;
    if (vooruit) vlaggen += 0x20;
    if (licht) vlaggen += 0x10;
    for (size_t i = 0; i < functies.size(); ++i)
        if (functies[i]) vlaggen += 1u << i;
    return std::string{static_cast<char>(kIBLoc), static_cast<char>(adres & 0xFF),
                       static_cast<char>(adres >> 8), static_cast<char>(waarde),
                       static_cast<char>(vlaggen)};
}

std::string IBP50Loc(uint16_t adres, uint8_t snelheid, bool licht) {
    uint8_t eerste = static_cast<uint8_t>(snelheid + (licht ? 16 : 0));
    return std::string{static_cast<char>(eerste), static_cast<char>(adres & 0xFF)};
}

IBZending IBMaakZending(const std::string& p50x, const std::string& p50, bool geenAntwoord,
                        bool xPrefix) {
    IBZending z;
    if (!p50x.empty()) {
        z.bytes = p50x;
        z.geenAntwoord = geenAntwoord;
        if (static_cast<uint8_t>(p50x[0]) < 0x80) {
            z.bytes += static_cast<char>(kCR);
            z.tekst = true;
        }
        if (xPrefix) z.bytes.insert(0, 1, 'x');
        return z;
    }
    z.bytes = p50;
    z.geenAntwoord = true;
    if (!xPrefix && !p50.empty())
        z.bytes.insert(0, 1, static_cast<char>(p50.size() == 1 ? kIBP50Kort : kIBP50Lang));
    return z;
}

std::string IBFoutTekst(const std::string& antwoord) {
    if (antwoord.empty()) return "";
    uint8_t code = static_cast<uint8_t>(antwoord[0]);
    switch (code) {
    case 0:
        return "";
    case 2:
        return "Illegale parameter waarde!";
    case 6:
        return "De power is uit!";
    case 8:
        return "Geen ruimte over in Lok cmd buffer, probeer opnieuw!";
    case 9:
        return "De FIFO buffer voor wisselcommando's is vol, probeer opnieuw!";
    case 10:
        return "Geen loc status beschikbaar (loc is niet in een slot)!";
    case 11:
        return "Geen 'slot' beschikbaar!";
    case 12:
        return "Locnr is ongeldig bij het protocol!";
    case 13:
        return "Loc wordt bestuurd door ander apparaat!";
    case 14:
        return "Ongeldig wisseladres in combinatie met het protocol!";
    case 16:
        return "De IC2 FIFO buffer is vol!";
    case 64:
        return "De FIFO buffer voor wisselcommando's is voor 75% gevuld!";
    case 65:
        return "Commando geaccepteerd, doch IB is in 'Halt' mode!";
    case 66:
        return "Commando geaccepteerd, doch van IB is 'Power Off'!";
    default:
        return "Nog niet gedefinieerd! (nr:" + std::to_string(code) + ")";
    }
}

std::string IBBaudTekst(TBaudRate rate) {
    switch (rate) {
    case br4800:
        return "48";
    case br9600:
        return "96";
    case br19200:
        return "192";
    case br38400:
        return "384";
    default:
        return "24";
    }
}

std::string IBBaudVolTekst(TBaudRate rate) {
    switch (rate) {
    case br2400:
    case br4800:
    case br9600:
    case br19200:
    case br38400:
        return IBBaudTekst(rate) + "00";
    default:
        return "??";
    }
}

TBaudRate IBVolgendeBaud(TBaudRate kandidaat, bool eerstePoging) {
    if (eerstePoging) return br4800;
    switch (kandidaat) {
    case br4800:
        return br9600;
    case br9600:
        return br19200;
    case br19200:
        return br38400;
    default:
        return brCustom; // 38400 (or a rate outside the scan) was the last
    }
}

uint16_t IBLocAdres(const std::string& commando) {
    if (commando.size() < 3) return 0;
    return static_cast<uint16_t>(static_cast<uint8_t>(commando[1]) |
                                 (static_cast<uint8_t>(commando[2]) << 8));
}

// ---------------------------------------------------------------- the transaction

void TMivoCom::IBOpdracht(const std::string& P50XCommand, const std::string& P50Command,
                          bool GeenAntwoord, std::string& Antwoord) {
    if (!Connected()) {
        Antwoord = Byte(0);
        return;
    }
    IBZending z = IBMaakZending(P50XCommand, P50Command, GeenAntwoord, IBXPrefix);
    if (!z.geenAntwoord) PurgeBuffers(true, false);
    VerstuurBytes(z.bytes);
    if (z.geenAntwoord) {
        Antwoord = Byte(0);
        return;
    }
    if (z.tekst) {
        Antwoord = IBLeesTekst();
        return;
    }
    Antwoord.clear();
    if (IBWachtOpByte(kBinairAntwoordMs)) ReadText(Antwoord, 1);
}

// A binary answer is one byte, so the line turning readable is all there is
// to wait for: block on the device without counting the input queue around
// it (that takes four driver calls per command).
bool TMivoCom::IBWachtOpByte(uint32_t ms) {
    ComDevice* device = Device();
    if (!Connected() || !device) return false;
    platform::Deadline grens = platform::Deadline::After(ms);
    for (;;) {
        uint32_t rest = grens.Remaining();
        bool ready = false;
        if (device->WaitReadable(static_cast<int>(rest), ready) != 0)
            return WachtOpInvoer(1, static_cast<uint16_t>(std::min<uint32_t>(rest, 0xFFFF)));
        if (ready) return true;
        if (rest == 0 || grens.Reached()) return false;
    }
}

std::string TMivoCom::IBLeesTekst() {
    std::string antwoord;
    platform::Deadline grens = platform::Deadline::After(kIBTekstMaxMs);
    for (;;) {
        if (!WachtOpInvoer(1, kTekstStilteMs)) return antwoord;
        std::string b;
        if (ReadText(b, 1) != 1) return antwoord;
        if (b[0] == ']') return antwoord;
        antwoord += b;
        if (antwoord.size() >= kIBTekstMaxBytes || grens.Reached()) {
            DoIBAddTekst("<fout> antwoord afgebroken na " + std::to_string(antwoord.size()) +
                         " bytes zonder ']'");
            if (Connected()) PurgeBuffers(true, false);
            return antwoord;
        }
    }
}

// ---------------------------------------------------------------- detection

void TMivoCom::IBWachtTotStil() {
    if (!Connected()) return;
    int n = PendingInputCount();
    if (n <= 0) return;
    platform::Deadline grens = platform::Deadline::After(kIBStilteMaxMs);
    for (;;) {
        uint32_t rest = grens.Remaining();
        if (rest == 0 || n >= 0xFFFF) return;
        uint16_t wacht = static_cast<uint16_t>(std::min(kIBStilteMs, rest));
        if (!WachtOpInvoer(static_cast<uint16_t>(n + 1), wacht)) return;
        n = PendingInputCount();
    }
}

bool TMivoCom::IBZoek() {
    if (!Connected() || !CtsVrij()) return false;
    if (IBDoelBaud == brCustom) IBDoelBaud = BaudRate();
    SetBaudRate(IBVasteBaud ? IBDoelBaud : br2400);
    IBXPrefix = true;
    IBP50XMogelijk = true;
    TBaudRate kandidaat = BaudRate();

    // A long break resets the interface's receiver, whatever rate it runs at.
    PurgeBuffers(true, true);
    platform::Sleep(210);
    if (Connected()) SetBreakState(true);
    platform::Sleep(1020);
    if (Connected()) SetBreakState(false);
    platform::Sleep(610);

    bool gevonden = false;
    for (bool eerste = true; Connected(); eerste = false) {
        if (!eerste) {
            DoIBAddTekst("Check baudrate " + IBBaudVolTekst(kandidaat));
            if (!Connected()) break;
            SetBaudRate(kandidaat);
        }
        PurgeBuffers(true, true);
        VerstuurBytes(Byte(kIBProbe));
        WachtOpInvoer(2, 200);
        int n = Connected() ? PendingInputCount() : 0;
        bool opgegeven = false;
        if (n == 1) {
            IBXPrefix = false;
            std::string genegeerd;
            IBOpdracht("ZzA0", "", false, genegeerd);
            IBXPrefix = true;
            gevonden = true;
        } else if (n == 2) {
            gevonden = true;
        } else {
            TBaudRate volgende = IBVasteBaud ? brCustom : IBVolgendeBaud(kandidaat, eerste);
            opgegeven = volgende == brCustom;
            if (!opgegeven) kandidaat = volgende;
            if (!IBVasteBaud) platform::Sleep(100);
        }
        // Also after a find: the probe's answer must not count in the mode
        // probe below.
        if (Connected()) PurgeBuffers(true, true);
        if (gevonden || opgegeven) break;
    }

    if (!gevonden) {
        DoIBAddTekst(IBVasteBaud ? "<FOUT> de instelde baudrate is ongeldig!"
                                 : "<FOUT> geen geldige baudrate gevonden!");
        return false;
    }
    if (!Connected()) return false;

    IBGevondenBaud = kandidaat;
    DoIBAddTekst("Gevonden baudrate: " + IBBaudTekst(kandidaat) + "00");
    if (!Connected()) return false;

    // Mode probe: a mixed-mode interface answers "X" CR with two or three
    // bytes, a P50X-only one with a longer text, a P50-only one not at all.
    // When four bytes came, the answer may still be arriving: count it once
    // the line is quiet. Fewer after 200 ms are counted as they are.
    VerstuurBytes(std::string{'X', static_cast<char>(kCR)});
    if (WachtOpInvoer(4, 200)) IBWachtTotStil();
    int n = Connected() ? PendingInputCount() : 0;
    if (n == 2 || n == 3) {
        DoIBAddTekst("mixed mode");
        IBXPrefix = true;
        IBP50XMogelijk = true;
        if (Connected()) PurgeBuffers(true, true);
    } else if (n >= 4 && n <= 99) {
        DoIBAddTekst("alleen IB eigen protocol (P50X) mode");
        IBXPrefix = false;
        if (Connected()) PurgeBuffers(true, false);
    } else {
        DoIBAddTekst("alleen oud Marklin protocol; geen IB gevonden!");
        IBP50XMogelijk = false;
        if (Connected()) PurgeBuffers(true, false);
    }

    if (IBP50XMogelijk && Connected()) IBWijzigBaud();
    return Connected();
}

// Moves the interface to IBDoelBaud when it runs at another rate, then checks
// the line with "RT10". Returns whether the line answered.
bool TMivoCom::IBWijzigBaud() {
    bool wijzig = IBDoelBaud != BaudRate();
    if (wijzig) {
        DoIBAddTekst("- Wijzig baudrate naar " + IBBaudTekst(IBDoelBaud) + "00!");
        std::string antwoord;
        std::string commando = "B";
        commando += IBBaudTekst(IBDoelBaud);
        commando += "00";
        IBOpdracht(commando, "", false, antwoord);
        DoIBAddTekst(antwoord);
        if (!Connected()) return false;
        SetBaudRate(IBDoelBaud);
    }
    platform::Deadline grens = platform::Deadline::After(kRT10BinnenMs);
    platform::Sleep(kRT10PauzeMs);
    bool bevestigd = false;
    while (!grens.Reached() && Connected()) {
        std::string antwoord;
        IBOpdracht("RT10", "", false, antwoord);
        if (Klein(antwoord).rfind("rs-232 cts", 0) == 0) {
            bevestigd = true;
            if (!grens.Reached()) DoIBAddTekst(antwoord);
            break;
        }
    }
    if (!bevestigd && wijzig && Connected()) {
        // The interface did not follow; it still runs at the rate it was
        // found at, so the port goes back there.
        DoIBAddTekst("<fout> baudrate niet gewijzigd, terug naar " +
                     IBBaudVolTekst(IBGevondenBaud) + " baud");
        SetBaudRate(IBGevondenBaud);
    }
    return bevestigd;
}

// ---------------------------------------------------------------- operations

bool TMivoCom::IBVerbindingOke() {
    if (!IBGevonden) InitSysteem();
    if (!IBGevonden || !Connected()) return false;
    PurgeBuffers(true, true);
    if (!IBP50XMogelijk) {
        // A P50 interface answers the read of feedback module 1 with two
        // bytes; any answer counts.
        VerstuurBytes(Byte(kP50LeesModule + 1));
        bool antwoord = WachtOpInvoer(1, kBinairAntwoordMs);
        WachtOpInvoer(2, kRestMs);
        if (Connected()) PurgeBuffers(true, false);
        return antwoord;
    }
    std::string antwoord;
    IBOpdracht(Byte(kIBProbe), "", false, antwoord);
    // The probe is answered with two bytes; the second must not pass for the
    // answer to the next command.
    if (!antwoord.empty() && WachtOpInvoer(1, kRestMs)) PurgeBuffers(true, false);
    return antwoord.size() == 1 && antwoord[0] == 0;
}

bool TMivoCom::IBZetAan() {
    if (!CtsVrij()) return false;
    std::string antwoord;
    if (IBP50XMogelijk) {
        IBOpdracht(Byte(kIBPowerOn), "", false, antwoord);
        if (!antwoord.empty() && antwoord[0] != 0) {
            platform::Host().ShowMessage(IBFoutTekst(antwoord));
            return true;
        }
    } else if (!SysteemAan) {
        IBOpdracht("", Byte(kP50PowerOn), true, antwoord);
    }
    SysteemAan = true;
    return true;
}

void TMivoCom::IBZetUit() {
    if (IBGevonden && CtsVrij()) {
        std::string antwoord;
        if (IBP50XMogelijk) {
            IBOpdracht(Byte(kIBPowerOff), "", false, antwoord);
            if (!antwoord.empty() && antwoord[0] != 0) {
                DoIBAddTekst("<fout> systeemuitzetten: " + IBFoutTekst(antwoord));
                return;
            }
        } else if (SysteemAan) {
            SysteemAan = false;
            IBOpdracht("", Byte(kP50PowerOff), true, antwoord);
        }
    }
    SysteemAan = false;
}

void TMivoCom::IBBezetmelder() {
    if (!IBP50XMogelijk) return;
    std::string antwoord;
    IBOpdracht(Byte(kIBSensor), "", false, antwoord);
}

void TMivoCom::IBStuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                          const TFuncties& Functies, uint8_t IBStappen, bool IBOudProtocol) {
    if (Snelheid > IBStappen) Snelheid = IBStappen;
    std::string antwoord;
    if (IBOudProtocol || (IBGevonden && !IBP50XMogelijk)) {
        IBOpdracht("", IBP50Loc(Adres, Snelheid, Licht), true, antwoord);
        return;
    }
    uint8_t waarde = IBSnelheidWaarde(IBStappen, Snelheid);
    // Commands still waiting go first, whichever form this one takes.
    IBStuurAchtergehouden();
    if (!IBBinaireLoc) {
        IBOpdracht(IBTekstLoc(Adres, waarde, Licht, Vooruit, Functies), "", false, antwoord);
        DoIBAddTekst("Loc: " + antwoord);
        return;
    }
    std::string commando = IBBinaireLocBytes(Adres, waarde, Licht, Vooruit, Functies);
    if ((IBAchtergehouden && !IBAchtergehouden->empty()) || !CtsVrij()) {
        IBHoudAchter(commando);
        return;
    }
    if (!IBStuurBinaireLoc(commando)) IBHoudAchter(commando);
}

// Sends one binary locomotive command; false when the interface asks to try
// again later.
bool TMivoCom::IBStuurBinaireLoc(const std::string& commando) {
    std::string antwoord;
    IBOpdracht(commando, "", false, antwoord);
    if (antwoord.empty() || antwoord[0] == 0) return true;
    DoIBAddTekst("<fout> loc: " + std::to_string(platform::GetTickCount()) + " / " +
                 IBFoutTekst(antwoord));
    uint8_t code = static_cast<uint8_t>(antwoord[0]);
    return code != 8 && code != 9 && code != 10;
}

void TMivoCom::IBHoudAchter(const std::string& commando) {
    if (!IBAchtergehouden) IBAchtergehouden = std::make_unique<TBytesLijst>();
    TBytesLijst& lijst = *IBAchtergehouden;
    uint16_t adres = IBLocAdres(commando);
    for (std::string& wachtend : lijst) {
        if (IBLocAdres(wachtend) == adres) {
            wachtend = commando;
            return;
        }
    }
    lijst.push_back(commando);
    if (lijst.size() > kIBAchtergehoudenMax) {
        DoIBAddTekst("<fout> loc: opdracht voor adres " +
                     std::to_string(IBLocAdres(lijst.front())) + " vervalt");
        lijst.pop_front();
    }
}

void TMivoCom::IBStuurAchtergehouden() {
    while (IBAchtergehouden && !IBAchtergehouden->empty() && Connected() && CtsVrij()) {
        std::string commando = IBAchtergehouden->front();
        if (!IBStuurBinaireLoc(commando)) return; // still refused: it stays first
        // A log handler may have touched the list meanwhile; drop only what
        // was sent.
        if (IBAchtergehouden && !IBAchtergehouden->empty() && IBAchtergehouden->front() == commando)
            IBAchtergehouden->pop_front();
    }
}

void TMivoCom::IBVoorSluiten() {
    if (!IBGevonden || IBVasteBaud || IBGevondenBaud == BaudRate() || !CtsVrij()) return;
    std::string rate = IBBaudVolTekst(IBGevondenBaud);
    DoIBAddTekst("- Weer terugzetten naar " + rate + " baud");
    if (rate == "??") return;
    std::string antwoord;
    std::string commando = "B";
    commando += rate;
    IBOpdracht(commando, "", false, antwoord);
    DoIBAddTekst("Resultaat: " + antwoord);
}

} // namespace command_station
