// The serial card in a rack: it starts at 9600 baud after every reset (a DTR
// pulse, which the component gives at every close), learns its
// configuration from one byte that it echoes, and moves to 19200 baud when
// that byte asks for it. After that it answers a connection probe with one
// byte and a feedback request with two, the second being the feedback byte.
#include "command_station/MivoComm.h"

#include "platform/Host.h"
#include "platform/Tick.h"

#include <algorithm>

namespace command_station {

using namespace serial;

namespace {

constexpr uint32_t kOpstartMs = 1000;
constexpr uint32_t kResetPulsMs = 250;
constexpr uint32_t kProbeMs = 250;
constexpr uint8_t kProbe = 0x80;
constexpr uint8_t kHoogsteModule = 127;
constexpr uint8_t kGeenAntwoord = 0xFF;

} // namespace

// ---------------------------------------------------------------- pure helpers

uint8_t KaartConfigByte(bool optie0, bool optie1, bool optie2, bool snel, bool optie4) {
    return static_cast<uint8_t>((optie0 ? 0x01 : 0) | (optie1 ? 0x02 : 0) | (optie2 ? 0x04 : 0) |
                                (snel ? 0x08 : 0) | (optie4 ? 0x10 : 0));
}

std::string KaartBezetVerzoek(uint8_t adres, uint8_t verzoek, bool vlag2) {
    if (adres > kHoogsteModule) return {};
    bool hoog = adres >= 64;
    auto eerste = static_cast<uint8_t>(0x80 + (hoog ? adres - 64 : adres));
    auto tweede = static_cast<uint8_t>(verzoek + (vlag2 ? 0x40 : 0x50) + (hoog ? 0x20 : 0));
    return std::string{static_cast<char>(eerste), static_cast<char>(tweede)};
}

// ---------------------------------------------------------------- open and close

void TMivoCom::KaartVoorOpenen() {
    bool kaart = DigitaalSysteem == dsSerieleKaart;
    // A failed initialisation leaves the port at 9600; without the kept wish
    // the card would stay slow at every later open.
    bool snel = kaart && (BaudRate() == br19200 || (KaartSnelGewenst && BaudRate() == br9600));
    if (snel) {
        // The card starts at 9600 baud; its initialisation switches it up.
        SetBaudRate(br9600);
    }
    KaartSnel = snel;
    KaartSnelGewenst = snel;
}

void TMivoCom::KaartVoorSluiten() {
    // A DTR pulse resets the card, so the next open starts at 9600 baud.
    SetDTRLine(false);
    platform::Sleep(kResetPulsMs);
    SetDTRLine(true);
}

// ---------------------------------------------------------------- initialisation

bool TMivoCom::KaartInit() {
    if (!Connected()) return false; // nothing to echo, and no port to ask
    // The card needs a second after its reset; the host stays responsive.
    platform::Deadline opstart = platform::Deadline::After(kOpstartMs);
    while (!opstart.Reached())
        ProcessMessagesBriefly(opstart.Remaining());
    if (!Connected()) return false; // the host closed the port meanwhile

    uint8_t config = KaartConfigByte(KaartOptie0, KaartOptie1, KaartOptie2, KaartSnel, KaartOptie4);
    PurgeBuffers(true, true);
    VerstuurBytes(std::string(1, static_cast<char>(config)));
    std::string echo;
    ReadText(echo, 1);
    if (echo.size() != 1 || static_cast<uint8_t>(echo[0]) != config) return false;
    if (KaartSnel) {
        SetBaudRate(br19200);
        KaartSnelGewenst = false; // the port itself carries the wish now
    }
    return true;
}

// ---------------------------------------------------------------- operations

bool TMivoCom::KaartVerbindingOke() {
    if (!KaartGeinitialiseerd) InitSysteem();
    if (!KaartGeinitialiseerd) return false;
    PurgeBuffers(true, true);
    VerstuurBytes(std::string(1, static_cast<char>(kProbe)));
    platform::Deadline deadline = platform::Deadline::After(kProbeMs);
    for (;;) {
        uint32_t before = platform::GetTickCount();
        if (!LeesEenByte().empty()) return true;
        if (deadline.Reached()) return false;
        // A read normally blocks for its time-out; time-outs that make it
        // return at once must not turn this into a spin.
        if (platform::GetTickCount() == before) platform::Sleep(1);
    }
}

void TMivoCom::KaartBezetmelder(uint8_t Adres, uint8_t Verzoek, bool Vlag2,
                                std::string& Resultaat) {
    std::string verzoek = KaartBezetVerzoek(Adres, Verzoek, Vlag2);
    if (verzoek.empty()) return;
    PurgeBuffers(true, false);
    VerstuurBytes(verzoek);
    std::string antwoord;
    ReadText(antwoord, 2);
    Resultaat = antwoord.size() == 2 ? antwoord.substr(1)
                                     : std::string(1, static_cast<char>(kGeenAntwoord));
}

} // namespace command_station
