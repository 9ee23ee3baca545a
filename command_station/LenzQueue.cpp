// Lenz, sending half: every command goes through one ordered queue. Only
// the head is on the line; it stays there until the parser reports its
// answer (LenzOpdrachtKlaar) and goes again when no answer came in time.
// Each transmission computes the XOR byte afresh, may wait for a quiet line
// first, and records what answer completes the command.
//
// Deadlines. A reply deadline has passed once the tick counter is beyond
// it, not while it stands on it: with LenzAntwoordTijd 0 a command is
// resent by any call a millisecond or more after its transmission, but the
// second request that GetBezetmelder queues in the same millisecond waits
// for the first to be answered. No deadline ever lasts longer than the
// setting that made it: one that lies further ahead than the setting (a
// field never set, a setting lowered since) counts as passed.
#include "command_station/LenzProtocol.h"
#include "command_station/MivoComm.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>

namespace command_station {

namespace {

constexpr uint16_t kLogUit = 0x0800;
constexpr uint16_t kLogGetallen = 0x1000;
constexpr uint16_t kLogFout = 0x2000;

const std::string kZetAan("\x21\x81", 2);
const std::string kZetUit("\x80", 1);
const std::string kVersieVraag("\x21\x21", 2);

constexpr uint32_t kVersieWachtMs = 1000;
// The power-off before a close: at most this long for the driver to send
// it, then a pause for the last bytes on the wire (two bytes take 2 ms at
// 9600 baud) and for the other end to read them.
constexpr uint32_t kUitgaanMaxMs = 250;
constexpr uint32_t kNaUitgaanMs = 10;

uint8_t ByteOf(const std::string& s, size_t i) {
    return i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

// A deadline on the tick counter as the field holds it. The values 0 and 1
// mean "none" and "resend at once", so a tick that lands on them moves a
// millisecond or two earlier, never later.
int32_t AlsTermijn(uint32_t tick) {
    if (tick == 0 || tick == 1) tick = 0xFFFFFFFFu;
    return static_cast<int32_t>(tick);
}

std::string Woord(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s;
}

} // namespace

std::string TMivoCom::LenzAdresBytes(uint16_t adres) {
    return LenzAdresBytesVan(adres);
}

bool TMivoCom::LenzAntwoordVerlopen() const {
    if (LenzAntwoordTot == 0 || LenzAntwoordTot == 1) return true;
    uint32_t nu = platform::GetTickCount();
    uint32_t termijn = static_cast<uint32_t>(LenzAntwoordTot);
    if (static_cast<int32_t>(nu - termijn) > 0) return true;
    return termijn - nu > LenzAntwoordTijd;
}

void TMivoCom::LenzWachtOpStilte() {
    uint32_t tot = static_cast<uint32_t>(LenzStilteTot);
    int32_t vooruit = static_cast<int32_t>(tot - platform::GetTickCount());
    if (vooruit <= 0 || vooruit > LenzStilteTijd) return;
    LenzLog(kLogFout, "- wacht minimaal " + std::to_string(LenzStilteTijd) + " msec op io-stilte");
    // No window messages here: no chunk may be handled between the wait and
    // the transmission it clears.
    platform::Deadline stilte{tot};
    while (!stilte.Reached())
        platform::Sleep(stilte.Remaining());
}

void TMivoCom::LenzZend(const std::string& opdracht) {
    if (!LenzRij) LenzRij = std::make_unique<TBytesLijst>();
    TBytesLijst& rij = *LenzRij;
    if (!opdracht.empty()) rij.push_back(opdracht);

    bool termijn = LenzAntwoordTot != 0 && LenzAntwoordTot != 1;
    if (LenzSlaOver == 1 && termijn && LenzAntwoordVerlopen()) {
        LenzLog(kLogFout, "- !!! geen reactie terug; verstuur volgende");
        if (!rij.empty()) rij.pop_front();
        LenzAntwoordTot = 0;
    }

    if (!Connected() || rij.empty() || !LenzAntwoordVerlopen()) return;
    const std::string kop = rij.front();
    uint8_t eerste = ByteOf(kop, 0);
    bool versie3 = LenzVersie >= 3.0;

    if (LenzAntwoordTot != 0) {
        std::string soort = "??";
        if (eerste == 0xB3 || eerste == 0xB4)
            soort = "locomotiefopdracht";
        else if (eerste == 0x52)
            soort = "wisselopdracht";
        else if (eerste == 0xE3 && versie3)
            soort = "locomotief statusopvraging (v3)";
        LenzLog(kLogFout, "- !!! " + soort + " geen reactie; stuur opnieuw !!!");
    }

    VerwachtBezetAdres = -1;
    VerwachtNibble = 255;
    VerwachtLocAdres = -1;
    VerwachtLocV3.clear();
    WachtAllesAan = 0;
    WachtNoodstop = 0;
    if (eerste == 0x42) {
        VerwachtBezetAdres = static_cast<int16_t>(ByteOf(kop, 1) + 1);
        VerwachtNibble = ByteOf(kop, 2) == 0x80 ? 0 : 16;
    } else if (eerste == 0xA1 || eerste == 0xA2) {
        VerwachtLocAdres = ByteOf(kop, 1);
    } else if (kop == kZetAan) {
        WachtAllesAan = versie3 ? 2 : 4;
    } else if (kop == kZetUit) {
        WachtNoodstop = versie3 ? 2 : 4;
    } else if (eerste == 0xE3 && versie3 && kop.size() >= 4) {
        VerwachtLocV3 = kop.substr(2, 2);
    }

    uint8_t x = LenzXor(kop);
    std::string regel = kop + static_cast<char>(x);
    std::string getallen = LenzLogAan(kLogGetallen) ? LenzGetallenTekst(kop, x) : std::string();

    LenzWachtOpStilte();
    VerstuurBytes(regel);
    uint32_t nu = platform::GetTickCount();
    LenzStilteTot = static_cast<int32_t>(nu + LenzStilteTijd);
    LenzAntwoordTot = AlsTermijn(nu + LenzAntwoordTijd);
    LenzLog(kLogGetallen, "- uit (getallen): " + getallen);
}

void TMivoCom::LenzOpdrachtKlaar() {
    LenzAntwoordTot = 0;
    if (LenzRij && !LenzRij->empty()) LenzRij->pop_front();
    if (LenzRij && !LenzRij->empty()) LenzZend(std::string());
}

// ---------------------------------------------------------------- operations

void TMivoCom::LenzZetAan() {
    if (SysteemAan) return;
    LenzZend(kZetAan);
    LenzLog(kLogUit, "- uit: zet systeem aan");
}

void TMivoCom::LenzZetUit() {
    if (!SysteemAan) return;
    LenzZend(kZetUit);
    LenzLog(kLogUit, "- uit: zet systeem uit");
}

void TMivoCom::LenzUitBijSluiten() {
    // Closing must leave the layout off. Queued behind an unanswered head
    // the power-off would never reach the line before the port goes (and a
    // resend of a power-on head would even switch the layout on), so it
    // jumps the queue, and power-ons still waiting are void.
    if (!LenzRij) LenzRij = std::make_unique<TBytesLijst>();
    TBytesLijst& rij = *LenzRij;
    rij.erase(std::remove(rij.begin(), rij.end(), kZetAan), rij.end());
    rij.push_front(kZetUit);
    // Whatever was in flight goes again after the next open.
    LenzAntwoordTot = 0;
    LenzZend(std::string());
    LenzLog(kLogUit, "- uit: zet systeem uit");
    SysteemAan = false;
    LenzLaatUitgaan();
}

void TMivoCom::LenzLaatUitgaan() {
    // Closing discards both driver queues once the event thread stops, so
    // the power-off must have left the driver first: wait (bounded) until
    // its output queue is empty, then for the bytes' time on the wire and
    // for the peer to take them.
    serial::ComDevice* device = Device();
    platform::Deadline leeg = platform::Deadline::After(kUitgaanMaxMs);
    uint32_t wachtend = 0;
    while (device && device->OutputPending(wachtend) == 0 && wachtend > 0 && !leeg.Reached())
        platform::Sleep(1);
    platform::Sleep(kNaUitgaanMs);
}

void TMivoCom::LenzBezetmelder(uint8_t Adres) {
    if (Adres < 1 || Adres > 128) return;
    uint8_t a = static_cast<uint8_t>(Adres - 1);
    LenzZend(Woord({0x42, a, 0x80}));
    LenzLog(kLogUit, "- uit (opvragen bezetmelder): " + std::to_string(Adres) + " lower nibble");
    LenzZend(Woord({0x42, a, 0x81}));
    LenzLog(kLogUit, "- uit (opvragen bezetmelder): " + std::to_string(Adres) + " upper nibble");
}

void TMivoCom::LenzStuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                            const TFuncties& Functies, uint8_t Modus, std::string& Resultaat) {
    uint8_t functies = 0;
    for (unsigned i = 0; i < 4; ++i)
        if (Functies[i]) functies |= static_cast<uint8_t>(1u << i);
    uint8_t b = LenzSnelheidsCode(Modus, Snelheid);
    // Step modes outside 1..8 have no header; nothing goes out for them.
    if (Modus >= 1 && Modus <= 8) {
        if (LenzVersie < 3.0 || Adres <= 99) {
            uint8_t kop = Modus <= 3 ? 0xB3 : 0xB4;
            std::string opdracht{static_cast<char>(kop), static_cast<char>(Adres % 256),
                                 static_cast<char>(b + (Licht ? 0x20 : 0) + (Vooruit ? 0x40 : 0)),
                                 static_cast<char>(functies)};
            // 0xB4 announces four data bytes: the step mode follows, 0, 1
            // and 2 for 14, 27 and 28 steps, and 3 for the 128 steps of
            // modes 4 and 8, which would otherwise leave the message short.
            if (kop == 0xB4)
                opdracht += static_cast<char>(Modus == 4 || Modus == 8 ? 3 : Modus - 5);
            LenzZend(opdracht);
            Resultaat = opdracht;
        } else {
            std::string opdracht{'\xE4', static_cast<char>(0x10 + (Modus - 1) % 4)};
            opdracht += LenzAdresBytes(Adres);
            opdracht += static_cast<char>(b + (Vooruit ? 0x80 : 0));
            LenzZend(opdracht);
            Resultaat = opdracht;
            std::string functie{'\xE4', '\x20'};
            functie += LenzAdresBytes(Adres);
            functie += static_cast<char>(functies | (Licht ? 0x10 : 0));
            LenzZend(functie);
        }
    }
    LenzLog(kLogUit, LenzStuurLocTekst(Adres, Snelheid, Vooruit, Licht));
}

double TMivoCom::GetLenzVersie() {
    LenzVersie = 0.0;
    if (DigitaalSysteem != dsLenz) {
        platform::Host().ShowMessage("GetLenzVersie is alleen van toepassing bij Lenz!");
        return 0.0;
    }
    if (!Connected()) return 0.0;
    LenzZend(kVersieVraag);
    LenzLog(kLogUit, "- uit: opvragen versienummer");
    // The answer reaches the parser through the port's deliveries, which
    // run only while window messages are let through.
    platform::Deadline klaar = platform::Deadline::After(kVersieWachtMs);
    for (;;) {
        platform::Host().ProcessMessages();
        if (LenzVersie != 0.0) break;
        uint32_t over = klaar.Remaining();
        if (over == 0) break;
        platform::MainQueue().WaitForWork(std::min<uint32_t>(over, 5));
    }
    return LenzVersie;
}

} // namespace command_station
