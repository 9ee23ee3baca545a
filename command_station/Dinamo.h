// The DINAMO link's pure parts: frames, the check byte, splitting received
// bytes into frames, reading a report and judging a deadline. No port and no
// clock, so every rule can be tested on its own; TMivoCom (Dinamo.cpp) uses
// them for the link itself.
//
// A frame, both directions: a header (bits 0-1 the number n of data bytes,
// 0..3; bit 4 hold and bit 5 fault in frames from the DINAMO; bit 6 the
// toggle; bit 7 clear), n data bytes, and a check byte with bit 7 set that
// brings the sum of all bytes of the frame to a multiple of 128.
#pragma once

#include "command_station/MivoComm.h"

#include <cstdint>
#include <string>

namespace command_station {

// The single data byte that asks the DINAMO to clear its fault.
constexpr uint8_t kDinamoResetOpdracht = 0x94;
// Most data bytes one frame can carry (the header counts them in two bits).
constexpr size_t kDinamoMaxData = 3;
// DinamoAntwoordTot while no answer is due.
constexpr int32_t kDinamoNietsVerwacht = 2147483647;

constexpr uint8_t kDinamoAantalMasker = 0x03;
constexpr uint8_t kDinamoHoldBit = 0x10;
constexpr uint8_t kDinamoFaultBit = 0x20;
constexpr uint8_t kDinamoToggleBit = 0x40;

// The check byte for `bytes` (header and data): ((-sum) AND 0x7F) OR 0x80.
uint8_t DinamoControleByte(const std::string& bytes);

// The frame for `data` (at most kDinamoMaxData bytes; longer data is the
// caller's error and throws std::length_error) with `toggle` (0 or 1) in the
// header.
std::string DinamoFrame(const std::string& data, uint8_t toggle);

// True when the sum of all bytes of `frame`, AND 0x7F, is 0.
bool DinamoSomOke(const std::string& frame);

enum class TDinamoSnede : uint8_t {
    Onvolledig, // no complete frame in the buffer yet (garbage before it is gone)
    Frame,      // `frame` holds a frame whose check byte is right
    Fout,       // a frame with a wrong check byte was taken out and dropped
};

// Takes the next frame out of `invoer`: bytes with bit 7 set where a header
// belongs are dropped first, then a header and its n + 1 following bytes are
// taken out once they are all there.
TDinamoSnede DinamoVolgendFrame(std::string& invoer, std::string& frame);

// What a report in an answer amounts to.
struct TDinamoMelding {
    enum Soort : uint8_t {
        Geen,  // nothing to report (no data, or an occupancy row with 3 data bytes)
        Actie, // raise OnDinDoeIets(aktie, data1, data2, 0, 0)
        Tekst, // raise OnAlgTekst(aaTest, tekst)
    } soort = Geen;
    TDinAktie aktie = daBezetmelder;
    uint16_t data1 = 0;
    uint16_t data2 = 0;
    std::string tekst;
};

// The report carried by the data bytes of a received frame (0 to 3 bytes).
TDinamoMelding DinamoMeldingVan(const std::string& data);

// Deadlines on the tick counter. `deadline` was set to a tick + `duur` ms.
// A deadline more than `duur` ahead of `nu` cannot have been set by that
// setting (it was never set, or set a counter turn ago) and counts as passed,
// so no wait ever lasts longer than the setting that produced it.
bool DinamoVerstreken(uint32_t nu, int32_t deadline, uint32_t duur);
// Milliseconds still to wait, 0 once DinamoVerstreken.
uint32_t DinamoResterend(uint32_t nu, int32_t deadline, uint32_t duur);

} // namespace command_station
