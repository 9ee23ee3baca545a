// Selectrix requests: two bytes each, an address (+ 0x80 to write) and a
// value (0x20, a filler, to read).
#pragma once

#include <cstdint>
#include <string>

namespace command_station::selectrix {

// Address 127 is the central unit's own register: track power, and the
// address the connection probe reads.
constexpr uint8_t kCentralUnit = 127;
// The highest address a feedback read may ask for.
constexpr uint8_t kHighestDevice = 111;

// The two request bytes that read SX address `adres`.
std::string ReadRequest(uint8_t adres);
// The two request bytes that write `waarde` to `adres`: address + 0x80, kept
// to eight bits, then the value.
std::string WriteRequest(uint16_t adres, uint8_t waarde);
// A locomotive's data byte: speed (not masked), 0x20 backward, 0x40 light,
// 0x80 function 1, added and kept to eight bits.
uint8_t LocoByte(uint8_t snelheid, bool licht, bool vooruit, bool functie1);

} // namespace command_station::selectrix
