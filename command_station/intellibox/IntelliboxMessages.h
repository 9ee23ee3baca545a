// The Intellibox / TWIN-Center messages: command bytes, speed values,
// framing for the mode found, reply texts and rate texts. Nothing here
// touches a port; the transactions are the link's (IntelliboxLink.h).
#pragma once

#include "command_station/Link.h"
#include "serial/ComTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace command_station::intellibox {

using serial::TBaudRate;

// P50X binary command bytes.
constexpr uint8_t kProbe = 0xC4;
constexpr uint8_t kPowerOn = 0xA7;
constexpr uint8_t kPowerOff = 0xA6;
constexpr uint8_t kSensor = 0x99;
// The sensor-status read of one module (plus the module number): answers
// 0x00 and the module's two bytes, or an error code alone.
constexpr uint8_t kSensorStatus = 0x98;
constexpr uint8_t kLoco = 0x80;
// Wrappers that carry a P50 command inside P50X: one byte, longer.
constexpr uint8_t kP50Short = 0xC6;
constexpr uint8_t kP50Long = 0xC7;
// P50 commands.
constexpr uint8_t kP50PowerOn = 0x60;
constexpr uint8_t kP50PowerOff = 0x61;
// P50 read of one feedback module (plus the module number); answers 2 bytes.
constexpr uint8_t kP50ReadModule = 0xC0;
// Feedback modules both reads reach.
constexpr uint8_t kModuleMax = 31;

// A text answer is read until "]" arrives or the line stays quiet for 250 ms.
// Real answers are a line or two; an interface (or line noise) that keeps
// sending without "]" is cut off after this many bytes or this long.
constexpr size_t kTextMaxBytes = 256;
constexpr uint32_t kTextMaxMs = 2000;

// Held-back binary locomotive commands beyond this many are dropped, the
// oldest first (one entry per locomotive address).
constexpr size_t kHeldBackMax = 32;

// The mode probe's answer counts only once the line has been quiet this
// long, and never waits longer than the bound for that.
constexpr uint32_t kQuietMs = 50;
constexpr uint32_t kQuietMaxMs = 1000;

// The speed value sent for `snelheid` (already clamped to `stappen`) with
// `stappen` as the highest speed step: rows for 15, 27, 28 and 31 steps, the
// 14-step row for any other number. A step past the 32 entries of a row
// gives 0, like the unlisted entries inside a row.
uint8_t SpeedValue(uint8_t stappen, uint8_t snelheid);

// The text locomotive command, e.g. "L3,48,1,0,0,0,0,0" (address, speed
// value, light, forward, functions 1..4).
std::string TextLoco(uint16_t adres, uint8_t waarde, bool licht, bool vooruit,
                       const TFuncties& functies);

// The five bytes of the binary locomotive command.
std::string BinaryLoco(uint16_t adres, uint8_t waarde, bool licht, bool vooruit,
                              const TFuncties& functies);

// The P50 locomotive command: speed (+16 with light), then the address's low
// byte.
std::string P50Loco(uint16_t adres, uint8_t snelheid, bool licht);

// What goes on the line for one transaction. With a P50X command: text
// commands (first byte below 0x80) get CR appended and expect a text answer,
// and in mixed mode (`xPrefix`) an "x" goes in front. Otherwise the P50
// command goes bare in mixed mode, else wrapped in 0xC6 (one byte) or 0xC7
// (longer); P50 commands never expect an answer.
struct Transmission {
    std::string bytes;
    bool text = false;        // the answer is text ending in "]"
    bool noAnswer = false; // nothing to wait for
};
Transmission MakeTransmission(const std::string& p50x, const std::string& p50, bool geenAntwoord,
                        bool xPrefix);

// The text for a P50X reply code (the first byte of `antwoord`); empty for no
// answer and for code 0.
std::string IBFoutTekst(const std::string& antwoord);

// Rate texts: "24", "48", "96", "192", "384" (hundreds, any other rate
// "24"), and the full "2400" .. "38400" (any other rate "??").
std::string RateText(TBaudRate rate);
std::string FullRateText(TBaudRate rate);

// The rate tried after `kandidaat` while scanning, or brCustom when the scan
// is over: 4800 after the first attempt, then 9600, 19200, 38400.
TBaudRate NextRate(TBaudRate kandidaat, bool eerstePoging);

// The locomotive address of a binary locomotive command.
uint16_t LocoAddress(const std::string& commando);

} // namespace command_station::intellibox
