// Lenz, receiving half: the parser (see LenzLink.h).
#include "command_station/lenz/LenzLink.h"

#include "command_station/LenzLog.h"
#include "command_station/MivoComm.h"
#include "command_station/lenz/LenzMessages.h"

#include "platform/Tick.h"

#include <clocale>

namespace command_station::lenz {

namespace {

// Headers 78 and 76 by their decimal value, as the interface's mislabelling
// is known by.
constexpr uint8_t kKop76 = 76;
constexpr uint8_t kKop78 = 78;
constexpr size_t kLengte78Als76 = 14;

uint8_t ByteAt(const std::string& s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

// The process's decimal separator, as the version line shows it.
char Scheidingsteken() {
    const lconv* lc = std::localeconv();
    if (lc && lc->decimal_point && lc->decimal_point[0] != '\0') return lc->decimal_point[0];
    return '.';
}

} // namespace

bool LenzLink::LenzLogAan(uint16_t categorie) const {
    return (com_.LenzLogMasker & categorie) == categorie;
}

void LenzLink::Log(uint16_t categorie, std::string_view tekst) {
    if (LenzLogAan(categorie)) com_.DoLenzAddTekst(std::string(tekst));
}

void LenzLink::LenzOntvang(serial::TCustomComPort*, int Count) {
    std::string chunk;
    if (Count > 0) com_.ReadText(chunk, Count);
    LenzOntvangBytes(chunk);
}

void LenzLink::LenzOntvangBytes(const std::string& chunk) {
    if (!chunk.empty()) {
        LenzInvoer += chunk;
        // A received chunk restarts the quiet time the sender waits for.
        LenzStilteTot = static_cast<int32_t>(platform::GetTickCount() + com_.LenzStilteTijd);
        if (LenzLogAan(kLenzLogReceived)) com_.DoLenzAddTekst(ReceivedText(chunk));
    }
    LenzVerwerk();
}

void LenzLink::LenzVerwerk() {
    // A handler of ours may let window messages through (a host calling
    // GetLenzVersie from OnLenzDoeIets) and so deliver the next chunk while
    // a message is half handled: that chunk is only appended, and the loop
    // below takes it.
    if (parsing_) return;
    parsing_ = true;
    struct Klaar {
        bool& vlag;
        ~Klaar() { vlag = false; }
    } klaar{parsing_};

    while (!LenzInvoer.empty()) {
        if (LenzSynchroniseren) {
            bool versie3 = LenzVersie >= 3.0;
            while (!LenzInvoer.empty() && LenzSynchroniseren) {
                uint8_t header = ByteAt(LenzInvoer, 0);
                if (IsMessageStart(header, versie3)) {
                    size_t length = MessageLength(header);
                    // The candidate stays until it is whole; everything
                    // before it is gone, so the buffer holds one candidate.
                    if (LenzInvoer.size() < length) return;
                    if (LenzXorOke(LenzInvoer.substr(0, length))) LenzSynchroniseren = false;
                }
                if (LenzSynchroniseren) {
                    LenzInvoer.erase(0, 1);
                    ++LenzVerlorenBytes;
                }
            }
            if (LenzInvoer.empty()) return;
            if (LenzLogAan(kLenzLogErrors))
                Log(kLenzLogErrors, "- Gesynchroniseerd: " + std::to_string(LenzVerlorenBytes) +
                                        " input bytes zijn verloren gegaan!");
        }

        uint8_t header = ByteAt(LenzInvoer, 0);
        bool xorControle = true;
        if (com_.LenzVervang78 && header == kKop78) {
            if (LenzInvoer.size() < kLengte78Als76) return;
            Log(kLenzLogErrors, "- Error: 78 header uit bezetmelding! (vervangen door 76)!");
            LenzInvoer[0] = static_cast<char>(kKop76);
            header = kKop76;
            xorControle = false;
        }
        size_t length = MessageLength(header);
        if (LenzInvoer.size() < length) return;
        std::string message = LenzInvoer.substr(0, length);
        if (xorControle && !LenzXorOke(message)) {
            Log(kLenzLogErrors, "- Error: XOR-byte klopt niet; start synchronisatie!");
            LenzSynchroniseren = true;
            LenzVerlorenBytes = 0;
            // Hunt on in what is already here: the answer the queue waits
            // for may sit right behind the corrupted message, and no further
            // chunk may ever come to start the hunt.
            continue;
        }
        // Taken off before acting, so nothing a handler does can make the
        // parser remove bytes it has not looked at.
        LenzInvoer.erase(0, length);
        HandleMessage(message);
    }
}

void LenzLink::HandleMessage(const std::string& message) {
    uint8_t header = ByteAt(message, 0);
    if (IsFeedbackHeader(header)) {
        HandleFeedback(message);
        return;
    }
    switch (header) {
    case 0x01: {
        std::string fout;
        switch (ByteAt(message, 1)) {
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
            Log(kLenzLogCommandOk, "- commando oke; stuur volgend...");
            if (WachtAllesAan == 0) LenzOpdrachtKlaar();
            break;
        case 5:
            fout = "- Error: commandstation reageert niet!";
            break;
        default:
            break;
        }
        if (!fout.empty()) Log(kLenzLogErrors, fout);
        break;
    }
    case 0x61:
        switch (ByteAt(message, 1)) {
        case 0x00:
            if (WachtNoodstop > 0 && --WachtNoodstop == 0) LenzOpdrachtKlaar();
            com_.DoLenzDoeIets(laNoodstop, 0x61, 0, 0, 0.0);
            Log(kLenzLogEmergencyOff, "- Emergency off");
            break;
        case 0x02:
            com_.DoLenzDoeIets(laServiceMode, 0, 0, 0, 0.0);
            break;
        case 0x01:
            if (WachtAllesAan > 0 && --WachtAllesAan == 0) LenzOpdrachtKlaar();
            com_.DoLenzDoeIets(laAllesAan, 0, 0, 0, 0.0);
            Log(kLenzLogAllOn, "- Alles aan");
            break;
        case 0x81:
            // The interface is busy: the command in flight goes again.
            LenzAntwoordTot = 1;
            LenzZend(std::string());
            break;
        case 0x82:
            Log(kLenzLogErrors, "- !!! Laatste opdracht niet ondersteunt door centrale!");
            LenzOpdrachtKlaar();
            break;
        default:
            break;
        }
        break;
    case 0x62:
    case 0x63:
        if (ByteAt(message, 1) == 0x21) {
            uint8_t v = ByteAt(message, 2);
            // The number is built from the nibbles, never parsed from text,
            // so it is right under any locale; only the log uses the
            // process's separator.
            LenzVersie = VersionValue(v);
            if (LenzLogAan(kLenzLogVersion))
                Log(kLenzLogVersion, "- versienummer: " + VersionText(v, Scheidingsteken()));
            com_.DoLenzDoeIets(laVersie, 0, 0, 0, LenzVersie);
            LenzOpdrachtKlaar();
        }
        break;
    case 0x81:
        if (ByteAt(message, 1) == 0x00) {
            com_.DoLenzDoeIets(laNoodstop, 0x81, 0, 0, 0.0);
            if (WachtNoodstop > 0 && --WachtNoodstop == 0) LenzOpdrachtKlaar();
            Log(kLenzLogHandStop, "- Noodstop op handregelaar");
        }
        break;
    case 0x83:
    case 0x84:
    case 0xA3:
    case 0xA4:
        HandleOldLoco(message);
        break;
    case 0xE3: {
        const uint16_t address = LenzAdresWaarde(message.substr(2, 2));
        if (LenzLogAan(kLenzLogHandControl))
            Log(kLenzLogHandControl,
                "- loc: " + std::to_string(address) + " op handbediening (V3)");
        com_.DoLenzDoeIets(laHandControl, address, 0, 0, 0.0);
        break;
    }
    case 0xE4:
    case 0xE5:
        HandleLocoV3(message);
        break;
    default:
        if (LenzLogAan(kLenzLogUndefined)) {
            com_.DoLenzAddTekst(UndefinedHeaderText(header));
            com_.DoLenzAddTekst(UndefinedBytesText(message));
        }
        break;
    }
}

void LenzLink::HandleFeedback(const std::string& message) {
    // Entries of (address, flags) between the header and the XOR byte; the
    // length rule guarantees whole pairs for these headers.
    for (size_t i = 1; i + 2 < message.size(); i += 2) {
        uint8_t a = ByteAt(message, i);
        uint8_t f = ByteAt(message, i + 1);
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
            if (LenzLogAan(kLenzLogFeedback))
                Log(kLenzLogFeedback, FeedbackText(static_cast<unsigned>(n), nibble, f & 0x0F));
            com_.DoLenzDoeIets(laBezetmelder, static_cast<uint16_t>(n), nibble, f & 0x0F, 0.0);
        } else if (soort == 0x20 || (soort == 0x00 && versie3)) {
            unsigned t = a * 4u + ((f & 0x10) ? 3 : 1);
            if (LenzLogAan(kLenzLogTurnout)) Log(kLenzLogTurnout, TurnoutText(a, t, f & 0x0F));
            com_.DoLenzDoeIets(laWisselFeedback, a, static_cast<uint16_t>(t), f & 0x0F, 0.0);
        } else {
            if (n == VerwachtBezetAdres) {
                VerwachtBezetAdres = -1;
                VerwachtNibble = 255;
                LenzOpdrachtKlaar();
            }
            if (LenzLogAan(kLenzLogFeedback))
                Log(kLenzLogFeedback, FeedbackTypeText(static_cast<unsigned>(n), f));
        }
    }
}

void LenzLink::HandleOldLoco(const std::string& message) {
    uint8_t header = ByteAt(message, 0);
    uint8_t l = ByteAt(message, 1);
    uint8_t f = ByteAt(message, 2);
    uint8_t g = ByteAt(message, 3);
    uint8_t s = (header == 0x84 || header == 0xA4) ? ByteAt(message, 4) : 4;
    uint8_t v = OldStep(f, s);
    f = static_cast<uint8_t>((f & 0xE0) | (v & 0x1F));
    if (header == 0xA3 || header == 0xA4) {
        if (LenzLogAan(kLenzLogHandControl))
            Log(kLenzLogHandControl, "- loc: " + std::to_string(l) + " op handbediening");
        com_.DoLenzDoeIets(laHandControl, l, 0, 0, 0.0);
        if (header == 0xA4) com_.DoLenzDoeIets(laLoc, l, f, g, 0.0);
    }
    if (l == VerwachtLocAdres) {
        VerwachtLocAdres = -1;
        LenzOpdrachtKlaar();
    }
    if (LenzLogAan(kLenzLogLoco))
        Log(kLenzLogLoco, LocoStateText("- loc: ", l, (f & 0x40) != 0, (f & 0x20) != 0, v));
}

void LenzLink::HandleLocoV3(const std::string& message) {
    if (!VerwachtLocV3.empty()) {
        uint16_t adres = LenzAdresWaarde(VerwachtLocV3);
        uint8_t m = ByteAt(message, 1) & 7;
        uint8_t f = ByteAt(message, 2);
        uint8_t g = ByteAt(message, 3);
        uint8_t snelheid = static_cast<uint8_t>(StepV3(f, m) + (f & 0x80));
        uint8_t functies = static_cast<uint8_t>((g & 0x1F) + m * 32);
        com_.DoLenzDoeIets(laLocV3, adres, snelheid, functies, 0.0);
        VerwachtLocV3.clear();
        // The light is function 0, bit 4 of the function byte: where the
        // interface reports it and where our own function command puts it.
        if (LenzLogAan(kLenzLogLoco))
            Log(kLenzLogLoco, LocoStateText("- loc (V3): ", adres, (snelheid & 0x80) != 0,
                                            (functies & 0x10) != 0, snelheid & 0x7F));
    }
    LenzOpdrachtKlaar();
}

} // namespace command_station::lenz
