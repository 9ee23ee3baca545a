// Lenz, receiving half: the interface talks on its own (feedback changes,
// locomotives taken over by hand controllers, emergency stops, power
// changes) besides answering our commands. Received chunks collect in
// LenzInvoer; the parser cuts them into messages, checks each XOR byte,
// hunts for the next message start after a corrupted one, raises
// OnLenzDoeIets, logs through OnLenzAddTekst and tells the queue when the
// command in flight has been answered.
#include "command_station/LenzProtocol.h"
#include "command_station/MivoComm.h"

#include "platform/Tick.h"

#include <clocale>

namespace command_station {

namespace {

constexpr uint16_t kLogOntvangen = 0x0001;
constexpr uint16_t kLogCommandoOke = 0x0002;
constexpr uint16_t kLogBezetmelder = 0x0004;
constexpr uint16_t kLogEmergencyOff = 0x0008;
constexpr uint16_t kLogAllesAan = 0x0010;
constexpr uint16_t kLogVersie = 0x0020;
constexpr uint16_t kLogNoodstopHand = 0x0040;
constexpr uint16_t kLogHandbediening = 0x0080;
constexpr uint16_t kLogOngedefinieerd = 0x0100;
constexpr uint16_t kLogLoc = 0x0200;
constexpr uint16_t kLogWissel = 0x0400;
constexpr uint16_t kLogFout = 0x2000;

// Headers 78 and 76 by their decimal value, as the interface's mislabelling
// is known by.
constexpr uint8_t kKop76 = 76;
constexpr uint8_t kKop78 = 78;
constexpr size_t kLengte78Als76 = 14;

uint8_t Byte(const std::string& s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

// The process's decimal separator, as the version line shows it.
char Scheidingsteken() {
    const lconv* lc = std::localeconv();
    if (lc && lc->decimal_point && lc->decimal_point[0] != '\0') return lc->decimal_point[0];
    return '.';
}

} // namespace

bool TMivoCom::LenzXorOke(const std::string& bericht) {
    return LenzXorOkeBericht(bericht);
}

uint16_t TMivoCom::LenzAdresWaarde(const std::string& tweeBytes) {
    return LenzAdresWaardeVan(tweeBytes);
}

void TMivoCom::LenzLog(uint16_t categorie, std::string_view tekst) {
    if (LenzLogAan(categorie)) DoLenzAddTekst(std::string(tekst));
}

void TMivoCom::LenzOntvang(TCustomComPort*, int Count) {
    std::string brok;
    if (Count > 0) ReadText(brok, Count);
    LenzOntvangBytes(brok);
}

void TMivoCom::LenzOntvangBytes(const std::string& brok) {
    if (!brok.empty()) {
        LenzInvoer += brok;
        // A received chunk restarts the quiet time the sender waits for.
        LenzStilteTot = static_cast<int32_t>(platform::GetTickCount() + LenzStilteTijd);
        if (LenzLogAan(kLogOntvangen)) DoLenzAddTekst(LenzOntvangenTekst(brok));
    }
    LenzVerwerk();
}

void TMivoCom::LenzVerwerk() {
    // A handler of ours may let window messages through (a host calling
    // GetLenzVersie from OnLenzDoeIets) and so deliver the next chunk while
    // a message is half handled: that chunk is only appended, and the loop
    // below takes it.
    if (lenzVerwerkt_) return;
    lenzVerwerkt_ = true;
    struct Klaar {
        bool& vlag;
        ~Klaar() { vlag = false; }
    } klaar{lenzVerwerkt_};

    while (!LenzInvoer.empty()) {
        if (LenzSynchroniseren) {
            bool versie3 = LenzVersie >= 3.0;
            while (!LenzInvoer.empty() && LenzSynchroniseren) {
                uint8_t kop = Byte(LenzInvoer, 0);
                if (LenzGeldigeKop(kop, versie3)) {
                    size_t lengte = LenzBerichtLengte(kop);
                    // The candidate stays until it is whole; everything
                    // before it is gone, so the buffer holds one candidate.
                    if (LenzInvoer.size() < lengte) return;
                    if (LenzXorOke(LenzInvoer.substr(0, lengte))) LenzSynchroniseren = false;
                }
                if (LenzSynchroniseren) {
                    LenzInvoer.erase(0, 1);
                    ++LenzVerlorenBytes;
                }
            }
            if (LenzInvoer.empty()) return;
            if (LenzLogAan(kLogFout))
                LenzLog(kLogFout, "- Gesynchroniseerd: " + std::to_string(LenzVerlorenBytes) +
                                      " input bytes zijn verloren gegaan!");
        }

        uint8_t kop = Byte(LenzInvoer, 0);
        bool xorControle = true;
        if (LenzVervang78 && kop == kKop78) {
            if (LenzInvoer.size() < kLengte78Als76) return;
            LenzLog(kLogFout, "- Error: 78 header uit bezetmelding! (vervangen door 76)!");
            LenzInvoer[0] = static_cast<char>(kKop76);
            kop = kKop76;
            xorControle = false;
        }
        size_t lengte = LenzBerichtLengte(kop);
        if (LenzInvoer.size() < lengte) return;
        std::string bericht = LenzInvoer.substr(0, lengte);
        if (xorControle && !LenzXorOke(bericht)) {
            LenzLog(kLogFout, "- Error: XOR-byte klopt niet; start synchronisatie!");
            LenzSynchroniseren = true;
            LenzVerlorenBytes = 0;
            // Hunt on in what is already here: the answer the queue waits
            // for may sit right behind the corrupted message, and no further
            // chunk may ever come to start the hunt.
            continue;
        }
        // Taken off before acting, so nothing a handler does can make the
        // parser remove bytes it has not looked at.
        LenzInvoer.erase(0, lengte);
        LenzBericht(bericht);
    }
}

void TMivoCom::LenzBericht(const std::string& bericht) {
    uint8_t kop = Byte(bericht, 0);
    switch (kop) {
    case 0x01: {
        std::string fout;
        switch (Byte(bericht, 1)) {
        case 1:
            fout = "- Error tussen de interface en de PC!";
            LenzAntwoordTot = 1;
            LenzZend(std::string());
            break;
        case 2:
            fout = "- Error tussen interface en commandstation!";
            break;
        case 3:
            fout = "- Error: onbekende opdracht!";
            break;
        case 4:
            LenzLog(kLogCommandoOke, "- commando oke; stuur volgend...");
            if (WachtAllesAan == 0) LenzOpdrachtKlaar();
            break;
        case 5:
            fout = "- Error: commandstation reageert niet!";
            break;
        default:
            break;
        }
        if (!fout.empty()) LenzLog(kLogFout, fout);
        break;
    }
    case 0x42:
    case 0x44:
    case 0x46:
    case 0x48:
    case 0x4A:
    case 0x4C:
    case 0x4E:
    case 0x50:
        LenzTerugmelding(bericht);
        break;
    case 0x61:
        switch (Byte(bericht, 1)) {
        case 0x00:
            if (WachtNoodstop > 0 && --WachtNoodstop == 0) LenzOpdrachtKlaar();
            DoLenzDoeIets(laNoodstop, 0, 0, 0, 0.0);
            LenzLog(kLogEmergencyOff, "- Emergency off");
            break;
        case 0x01:
            if (WachtAllesAan > 0 && --WachtAllesAan == 0) LenzOpdrachtKlaar();
            DoLenzDoeIets(laAllesAan, 0, 0, 0, 0.0);
            LenzLog(kLogAllesAan, "- Alles aan");
            break;
        case 0x81:
            // The interface is busy: the command in flight goes again.
            LenzAntwoordTot = 1;
            LenzZend(std::string());
            break;
        case 0x82:
            LenzLog(kLogFout, "- !!! Laatste opdracht niet ondersteunt door centrale!");
            LenzOpdrachtKlaar();
            break;
        default:
            break;
        }
        break;
    case 0x62:
    case 0x63:
        if (Byte(bericht, 1) == 0x21) {
            uint8_t v = Byte(bericht, 2);
            // The number is built from the nibbles, never parsed from text,
            // so it is right under any locale; only the log uses the
            // process's separator.
            LenzVersie = LenzVersieWaarde(v);
            if (LenzLogAan(kLogVersie))
                LenzLog(kLogVersie, "- versienummer: " + LenzVersieTekst(v, Scheidingsteken()));
            DoLenzDoeIets(laVersie, 0, 0, 0, LenzVersie);
            LenzOpdrachtKlaar();
        }
        break;
    case 0x81:
        if (Byte(bericht, 1) == 0x00) {
            DoLenzDoeIets(laNoodstop, 0, 0, 0, 0.0);
            if (WachtNoodstop > 0 && --WachtNoodstop == 0) LenzOpdrachtKlaar();
            LenzLog(kLogNoodstopHand, "- Noodstop op handregelaar");
        }
        break;
    case 0x83:
    case 0x84:
    case 0xA3:
    case 0xA4:
        LenzLocOud(bericht);
        break;
    case 0xE3:
        if (LenzLogAan(kLogHandbediening))
            LenzLog(kLogHandbediening,
                    "- loc: " + std::to_string(LenzAdresWaarde(bericht.substr(2, 2))) +
                        " op handbediening (V3)");
        break;
    case 0xE4:
    case 0xE5:
        LenzLocV3(bericht);
        break;
    default:
        if (LenzLogAan(kLogOngedefinieerd)) {
            DoLenzAddTekst(LenzOngedefinieerdKop(kop));
            DoLenzAddTekst(LenzOngedefinieerdBytes(bericht));
        }
        break;
    }
}

void TMivoCom::LenzTerugmelding(const std::string& bericht) {
    // Entries of (address, flags) between the header and the XOR byte; the
    // length rule guarantees whole pairs for these headers.
    for (size_t i = 1; i + 2 < bericht.size(); i += 2) {
        uint8_t a = Byte(bericht, i);
        uint8_t f = Byte(bericht, i + 1);
        int n = a + 1;
        bool versie3 = LenzVersie >= 3.0;
        if (n == VerwachtBezetAdres &&
            (((f & 0x60) == 0 && versie3) || (VerwachtNibble & f) == VerwachtNibble)) {
            VerwachtBezetAdres = -1;
            VerwachtNibble = 255;
            LenzOpdrachtKlaar();
        }
        uint8_t soort = f & 0x60;
        if (soort == 0x40) {
            uint8_t nibble = (f & 0x10) ? 2 : 1;
            if (LenzLogAan(kLogBezetmelder))
                LenzLog(kLogBezetmelder,
                        LenzBezetmelderTekst(static_cast<unsigned>(n), nibble, f & 0x0F));
            DoLenzDoeIets(laBezetmelder, static_cast<uint16_t>(n), nibble, f & 0x0F, 0.0);
        } else if (soort == 0x20 || (soort == 0x00 && versie3)) {
            unsigned t = a * 4u + ((f & 0x10) ? 3 : 1);
            if (LenzLogAan(kLogWissel)) LenzLog(kLogWissel, LenzWisselTekst(a, t, f & 0x0F));
            DoLenzDoeIets(laWisselFeedback, a, static_cast<uint16_t>(t), f & 0x0F, 0.0);
        } else {
            if (n == VerwachtBezetAdres) {
                VerwachtBezetAdres = -1;
                VerwachtNibble = 255;
                LenzOpdrachtKlaar();
            }
            if (LenzLogAan(kLogBezetmelder))
                LenzLog(kLogBezetmelder, LenzFeedbackTypeTekst(static_cast<unsigned>(n), f));
        }
    }
}

void TMivoCom::LenzLocOud(const std::string& bericht) {
    uint8_t kop = Byte(bericht, 0);
    uint8_t l = Byte(bericht, 1);
    uint8_t f = Byte(bericht, 2);
    uint8_t g = Byte(bericht, 3);
    uint8_t s = (kop == 0x84 || kop == 0xA4) ? Byte(bericht, 4) : 4;
    uint8_t v = LenzStapOud(f, s);
    f = static_cast<uint8_t>((f & 0xE0) | (v & 0x1F));
    if (kop == 0xA3 || kop == 0xA4) {
        if (LenzLogAan(kLogHandbediening))
            LenzLog(kLogHandbediening, "- loc: " + std::to_string(l) + " op handbediening");
        if (kop == 0xA4) DoLenzDoeIets(laLoc, l, f, g, 0.0);
    }
    if (l == VerwachtLocAdres) {
        VerwachtLocAdres = -1;
        LenzOpdrachtKlaar();
    }
    if (LenzLogAan(kLogLoc))
        LenzLog(kLogLoc, LenzLocTekst("- loc: ", l, (f & 0x40) != 0, (f & 0x20) != 0, v));
}

void TMivoCom::LenzLocV3(const std::string& bericht) {
    if (!VerwachtLocV3.empty()) {
        uint16_t adres = LenzAdresWaarde(VerwachtLocV3);
        uint8_t m = Byte(bericht, 1) & 7;
        uint8_t f = Byte(bericht, 2);
        uint8_t g = Byte(bericht, 3);
        uint8_t snelheid = static_cast<uint8_t>(LenzStapV3(f, m) + (f & 0x80));
        uint8_t functies = static_cast<uint8_t>((g & 0x1F) + m * 32);
        DoLenzDoeIets(laLocV3, adres, snelheid, functies, 0.0);
        VerwachtLocV3.clear();
        // The light is function 0, bit 4 of the function byte: where the
        // interface reports it and where our own function command puts it.
        if (LenzLogAan(kLogLoc))
            LenzLog(kLogLoc, LenzLocTekst("- loc (V3): ", adres, (snelheid & 0x80) != 0,
                                          (functies & 0x10) != 0, snelheid & 0x7F));
    }
    LenzOpdrachtKlaar();
}

} // namespace command_station
