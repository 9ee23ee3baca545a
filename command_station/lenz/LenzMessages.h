// The Lenz messages: message framing, the XOR byte, address
// and speed encodings, and the texts of the Lenz log. No port, no state:
// the link (LenzLink.h) and the tests call these.
//
// A Lenz message is a header byte whose low nibble counts the data bytes,
// the data, and an XOR byte over everything before it.
#pragma once

#include <cstdint>
#include <string>

namespace command_station::lenz {

// Length of a whole message that starts with `header`: 2..17 bytes.
inline size_t MessageLength(uint8_t header) {
    return static_cast<size_t>(header & 0x0F) + 2;
}

// XOR of every byte of `bytes` (0 for an empty string).
uint8_t Xor(const std::string& bytes);

// True when the XOR of all bytes but the last equals the last byte (false
// for an empty string).
bool LenzXorOke(const std::string& bericht);

// Headers the parser accepts as a message start while it hunts after a
// corrupted message; version 3 interfaces add 0x50, 0xE3, 0xE4 and 0xE5.
bool IsMessageStart(uint8_t header, bool versie3);

// Feedback broadcasts: 0x42 to 0x4E by twos carry one to seven address/data
// pairs; 0x50 (eight pairs) comes from version 3 interfaces only.
bool IsFeedbackHeader(uint8_t header);

// The two-byte locomotive address form: up to 99 the bytes 0x00, address;
// from 100 up 0xC0 + address div 256, address mod 256.
std::string LenzAdresBytes(uint16_t adres);
// Its inverse; 0 for a string whose length is not 2.
uint16_t LenzAdresWaarde(const std::string& tweeBytes);

// Speed step of a locomotive state message from before version 3: speed
// code `code` (5 bits) in step mode `stappen` (0 = 14 steps). Codes that
// mean stop or emergency stop (0, 1, 16, 17) report step 0.
uint8_t OldStep(uint8_t code, uint8_t stappen);
// Speed step of a version-3 state message: speed code `code` (7 bits) in
// mode `modus` (byte 2 AND 7). Stop and emergency-stop codes report 0.
uint8_t StepV3(uint8_t code, uint8_t modus);
// Speed code the locomotive command carries for speed `snelheid` in step
// mode `modus` (1..8). Speeds above a mode's top step send the top step.
uint8_t SpeedCode(uint8_t modus, uint8_t snelheid);

// The version number from the version byte: high nibble, then the low
// nibble's decimal digits as the fraction (0x36 -> 3.6, 0x3C -> 3.12).
double VersionValue(uint8_t versieByte);
// The same number as the log writes it, with `scheidingsteken` as the
// decimal separator: "3,6" with a comma, and "3" for 0x30.
std::string VersionText(uint8_t versieByte, char scheidingsteken);

// ---------------------------------------------------------------- log lines

// "- ontvangen: " and each byte as a blank and its decimal value.
std::string ReceivedText(const std::string& brok);
// Feedback-module entry: "- bezetmeldadres: N 5x 6x 7- 8-".
std::string FeedbackText(unsigned adres, uint8_t nibble, uint8_t ingangen);
// Turnout entry: "- wisseladres: A T<pos> T+1<pos>" (R when set, A when clear).
std::string TurnoutText(unsigned adres, unsigned eersteWissel, uint8_t standen);
// Undefined feedback type: "!! - Feedbacktype: 11 op adres N niet gedefinieerd!".
std::string FeedbackTypeText(unsigned adres, uint8_t vlag);
// Locomotive state: "- loc: L / vooruit / licht aan / snelheid: v".
std::string LocoStateText(const std::string& prefix, unsigned adres, bool vooruit, bool licht,
                         unsigned stap);
// Undefined header: the two lines "- headertype H niet gedefinieerd!" and
// "  ontvangen: b1 b2 ...".
std::string UndefinedHeaderText(uint8_t header);
std::string UndefinedBytesText(const std::string& bericht);
// The bytes of a command and its XOR byte in decimal: "66 0 128 194".
std::string NumbersText(const std::string& opdracht, uint8_t xorByte);
// "- uit (stuurloc): A / snelheid: s / vooruit / licht aan".
std::string SentLocoText(uint16_t adres, uint8_t snelheid, bool vooruit, bool licht);

} // namespace command_station::lenz
