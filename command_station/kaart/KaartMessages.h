// The serial card's bytes: its configuration byte and the feedback request.
#pragma once

#include <cstdint>
#include <string>

namespace command_station::kaart {

// The connection probe, answered with one byte.
constexpr uint8_t kProbe = 0x80;
// What a feedback read returns when fewer than two answer bytes came.
constexpr uint8_t kNoAnswer = 0xFF;

// The configuration byte: bits 0, 1, 2 and 4 from the options, bit 3 for
// 19200 baud.
uint8_t ConfigByte(bool optie0, bool optie1, bool optie2, bool snel, bool optie4);
// The two request bytes that read module `adres` (0..127); empty above 127.
std::string ReadRequest(uint8_t adres, uint8_t verzoek, bool vlag2);

} // namespace command_station::kaart
