// The Märklin interface's bytes: one- and two-byte commands, and the
// feedback read answered with two bytes per module.
#pragma once

#include "command_station/Link.h"

#include <cstdint>
#include <string>

namespace command_station::marklin {

constexpr uint8_t kPowerOn = 0x60;
constexpr uint8_t kPowerOff = 0x61;

// The speed byte of a locomotive command: speed, plus 16 for the light.
uint8_t LocoByte(uint8_t snelheid, bool licht);
// The text raised when a locomotive command really goes out, e.g.
// "Adres: 24 stuur echt: 23", with " (functies)" for a first byte of 64 up.
std::string SendText(uint8_t eerste, uint8_t tweede);
// The feedback request for module `adres` (1..31): 128 + n reads modules
// 1..n (`alle`), 192 + n module n alone. Empty for any other address;
// `antwoordBytes` is the number of answer bytes the interface sends.
std::string ReadRequest(uint8_t adres, bool alle, int& antwoordBytes);
// Files a locomotive command in the hold-back list: it replaces a command for
// the same address (its second byte) still waiting, in that one's place, or
// joins the end. The list thus never holds more than one command per address.
void HoldBack(ByteQueue& lijst, uint8_t eerste, uint8_t tweede);

} // namespace command_station::marklin
