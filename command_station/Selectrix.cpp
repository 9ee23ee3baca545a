// Selectrix: the PC interface is a plain byte pipe to the SX bus. Every
// operation is one two-byte request, and for reads one answer byte; the
// component keeps no image of the bus and no state between calls apart from
// SysteemAan.
#include "command_station/MivoComm.h"

#include "platform/Tick.h"

namespace command_station {

namespace {

// Address 127 is the central unit's own register: track power, and the
// address the connection probe reads.
constexpr uint8_t kCentrale = 127;
constexpr uint8_t kLeesVuller = 0x20;
constexpr uint8_t kHoogsteApparaat = 111;
constexpr uint32_t kProbeMs = 250;

} // namespace

std::string SelectrixLeesVerzoek(uint8_t adres) {
    return std::string{static_cast<char>(adres), static_cast<char>(kLeesVuller)};
}

std::string SelectrixSchrijfVerzoek(uint16_t adres, uint8_t waarde) {
    return std::string{static_cast<char>(static_cast<uint8_t>(adres + 0x80)),
                       static_cast<char>(waarde)};
}

uint8_t SelectrixLocByte(uint8_t snelheid, bool licht, bool vooruit, bool functie1) {
    unsigned b = snelheid;
    if (!vooruit) b += 0x20;
    if (licht) b += 0x40;
    if (functie1) b += 0x80;
    return static_cast<uint8_t>(b);
}

std::string TMivoCom::LeesEenByte() {
    std::string answer;
    ReadText(answer, 1);
    return answer;
}

bool TMivoCom::SelectrixVerbindingOke() {
    PurgeBuffers(true, true);
    VerstuurBytes(SelectrixLeesVerzoek(kCentrale));
    platform::Deadline deadline = platform::Deadline::After(kProbeMs);
    for (;;) {
        uint32_t before = platform::GetTickCount();
        if (!LeesEenByte().empty()) return true;
        if (deadline.Reached()) return false;
        // Each attempt normally blocks for the read time-out; a host that
        // set time-outs making reads return at once must not turn this into
        // a spin.
        if (platform::GetTickCount() == before) platform::Sleep(1);
    }
}

bool TMivoCom::SelectrixNoodstop() {
    PurgeBuffers(true, false);
    VerstuurBytes(SelectrixLeesVerzoek(kCentrale));
    std::string answer = LeesEenByte();
    return answer.empty() || answer[0] == 0;
}

void TMivoCom::SelectrixZetAan() {
    VerstuurBytes(SelectrixSchrijfVerzoek(kCentrale, 0xFF));
}

void TMivoCom::SelectrixZetUit() {
    VerstuurBytes(SelectrixSchrijfVerzoek(kCentrale, 0x00));
}

void TMivoCom::SelectrixStuurLoc(uint16_t Adres, uint8_t Snelheid, bool Licht, bool Vooruit,
                                 const TFuncties& Functies, std::string& Resultaat) {
    // Functions 2..4 have no place in a Selectrix locomotive byte.
    uint8_t data = SelectrixLocByte(Snelheid, Licht, Vooruit, Functies[0]);
    VerstuurBytes(SelectrixSchrijfVerzoek(Adres, data));
    Resultaat.assign(1, static_cast<char>(data));
}

void TMivoCom::SelectrixBezetmelder(uint8_t Adres, std::string& Resultaat) {
    if (Adres > kHoogsteApparaat) return;
    // A late answer to an earlier read must not pass for this one.
    PurgeBuffers(true, false);
    VerstuurBytes(SelectrixLeesVerzoek(Adres));
    Resultaat = LeesEenByte();
}

} // namespace command_station
