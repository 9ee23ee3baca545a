#include "command_station/kaart/KaartMessages.h"

namespace command_station::kaart {

namespace {
constexpr uint8_t kHighestModule = 127;
} // namespace

uint8_t ConfigByte(bool optie0, bool optie1, bool optie2, bool snel, bool optie4) {
    return static_cast<uint8_t>((optie0 ? 0x01 : 0) | (optie1 ? 0x02 : 0) | (optie2 ? 0x04 : 0) |
                                (snel ? 0x08 : 0) | (optie4 ? 0x10 : 0));
}

std::string ReadRequest(uint8_t adres, uint8_t verzoek, bool vlag2) {
    if (adres > kHighestModule) return {};
    bool high = adres >= 64;
    auto first = static_cast<uint8_t>(0x80 + (high ? adres - 64 : adres));
    auto second = static_cast<uint8_t>(verzoek + (vlag2 ? 0x40 : 0x50) + (high ? 0x20 : 0));
    return std::string{static_cast<char>(first), static_cast<char>(second)};
}

} // namespace command_station::kaart
