#include "command_station/marklin/MarklinMessages.h"

#include <algorithm>

namespace command_station::marklin {

namespace {

constexpr uint8_t kReadUpTo = 128;
constexpr uint8_t kReadOne = 192;
constexpr uint8_t kLight = 16;
constexpr uint8_t kFunctions = 64;
constexpr uint8_t kHighestModule = 31;

} // namespace

uint8_t LocoByte(uint8_t snelheid, bool licht) {
    return static_cast<uint8_t>(snelheid + (licht ? kLight : 0));
}

std::string SendText(uint8_t eerste, uint8_t tweede) {
    std::string t = "Adres: " + std::to_string(tweede) + " stuur echt: " + std::to_string(eerste);
    if (eerste >= kFunctions) t += " (functies)";
    return t;
}

std::string ReadRequest(uint8_t adres, bool alle, int& antwoordBytes) {
    antwoordBytes = 0;
    if (adres < 1 || adres > kHighestModule) return {};
    antwoordBytes = alle ? 2 * adres : 2;
    return std::string(1, static_cast<char>((alle ? kReadUpTo : kReadOne) + adres));
}

void HoldBack(ByteQueue& lijst, uint8_t eerste, uint8_t tweede) {
    std::string command{static_cast<char>(eerste), static_cast<char>(tweede)};
    auto sameAddress = [&](const std::string& w) {
        return w.size() == 2 && static_cast<uint8_t>(w[1]) == tweede;
    };
    auto it = std::find_if(lijst.begin(), lijst.end(), sameAddress);
    if (it != lijst.end())
        *it = command;
    else
        lijst.push_back(command);
}

} // namespace command_station::marklin
