#include "command_station/intellibox/IntelliboxMessages.h"

#include <array>

namespace command_station::intellibox {

using namespace serial;

namespace {

constexpr uint8_t kCR = 0x0D;

// Speed rows, indexed by the speed step.
using SpeedRow = std::array<uint8_t, 32>;

constexpr SpeedRow kSpeeds14 = {0, 2, 10, 19, 29, 38, 48, 57, 67, 76, 86, 95, 105, 114, 124};
constexpr SpeedRow kSpeeds27 = {0,  2,  8,  13, 17, 22, 26, 31, 35, 40,  44,  49,  53,  58,
                         62, 67, 71, 76, 80, 85, 89, 94, 98, 103, 107, 112, 116, 121};
constexpr SpeedRow kSpeeds28 = {0,  2,  7,  11, 16, 20, 25, 29, 34,  38,  43,  47,  52,  56, 61,
                         65, 70, 74, 79, 83, 88, 92, 97, 101, 106, 110, 115, 119, 124};
constexpr SpeedRow kSpeeds15 = {0, 2, 8, 17, 26, 35, 44, 53, 62, 71, 80, 89, 98, 107, 116, 125};

constexpr SpeedRow Speeds31() {
    SpeedRow r{0, 2, 8};
    for (size_t i = 3; i < r.size(); ++i)
        r[i] = static_cast<uint8_t>(12 + 4 * (i - 3));
    return r;
}
constexpr SpeedRow kSpeeds31 = Speeds31();
static_assert(kSpeeds31[31] == 124);

} // namespace

uint8_t SpeedValue(uint8_t stappen, uint8_t snelheid) {
    const SpeedRow* row = &kSpeeds14;
    switch (stappen) {
    case 15:
        row = &kSpeeds15;
        break;
    case 27:
        row = &kSpeeds27;
        break;
    case 28:
        row = &kSpeeds28;
        break;
    case 31:
        row = &kSpeeds31;
        break;
    default:
        break;
    }
    return snelheid < row->size() ? (*row)[snelheid] : 0;
}

std::string TextLoco(uint16_t adres, uint8_t waarde, bool licht, bool vooruit,
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

std::string BinaryLoco(uint16_t adres, uint8_t waarde, bool licht, bool vooruit,
                              const TFuncties& functies) {
    unsigned flags = 0xC0;
    if (vooruit) flags += 0x20;
    if (licht) flags += 0x10;
    for (size_t i = 0; i < functies.size(); ++i)
        if (functies[i]) flags += 1u << i;
    return std::string{static_cast<char>(kLoco), static_cast<char>(adres & 0xFF),
                       static_cast<char>(adres >> 8), static_cast<char>(waarde),
                       static_cast<char>(flags)};
}

std::string P50Loco(uint16_t adres, uint8_t snelheid, bool licht) {
    uint8_t first = static_cast<uint8_t>(snelheid + (licht ? 16 : 0));
    return std::string{static_cast<char>(first), static_cast<char>(adres & 0xFF)};
}

Transmission MakeTransmission(const std::string& p50x, const std::string& p50, bool geenAntwoord,
                        bool xPrefix) {
    Transmission z;
    if (!p50x.empty()) {
        z.bytes = p50x;
        z.noAnswer = geenAntwoord;
        if (static_cast<uint8_t>(p50x[0]) < 0x80) {
            z.bytes += static_cast<char>(kCR);
            z.text = true;
        }
        if (xPrefix) z.bytes.insert(0, 1, 'x');
        return z;
    }
    z.bytes = p50;
    z.noAnswer = true;
    if (!xPrefix && !p50.empty())
        z.bytes.insert(0, 1, static_cast<char>(p50.size() == 1 ? kP50Short : kP50Long));
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

std::string RateText(TBaudRate rate) {
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

std::string FullRateText(TBaudRate rate) {
    switch (rate) {
    case br2400:
    case br4800:
    case br9600:
    case br19200:
    case br38400:
        return RateText(rate) + "00";
    default:
        return "??";
    }
}

TBaudRate NextRate(TBaudRate kandidaat, bool eerstePoging) {
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

uint16_t LocoAddress(const std::string& commando) {
    if (commando.size() < 3) return 0;
    return static_cast<uint16_t>(static_cast<uint8_t>(commando[1]) |
                                 (static_cast<uint8_t>(commando[2]) << 8));
}

} // namespace command_station::intellibox
