#include "command_station/selectrix/SelectrixMessages.h"

namespace command_station::selectrix {

namespace {
constexpr uint8_t kReadFiller = 0x20;
} // namespace

std::string ReadRequest(uint8_t adres) {
    return std::string{static_cast<char>(adres), static_cast<char>(kReadFiller)};
}

std::string WriteRequest(uint16_t adres, uint8_t waarde) {
    return std::string{static_cast<char>(static_cast<uint8_t>(adres + 0x80)),
                       static_cast<char>(waarde)};
}

uint8_t LocoByte(uint8_t snelheid, bool licht, bool vooruit, bool functie1) {
    unsigned b = snelheid;
    if (!vooruit) b += 0x20;
    if (licht) b += 0x40;
    if (functie1) b += 0x80;
    return static_cast<uint8_t>(b);
}

} // namespace command_station::selectrix
