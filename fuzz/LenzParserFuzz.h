// One fuzz input through the Lenz receive path: the parser, the completions
// it triggers in the command queue, and its log texts. Shared by the fuzz
// target and by the test that replays the committed corpus.
//
// Input: byte 0 chooses the set-up (bit 0: every log category on, else none;
// bit 1: header 78 read as 76; bit 2: version 3.6 known from the start;
// bits 3..7: chunk size 1..32), the rest is the received stream, cut into
// chunks of that size. After the stream a run of valid messages follows; the
// parser must be back in sync by its last message.
#pragma once

#include "command_station/MivoComm.h"
#include "command_station/lenz/LenzLink.h"
#include "command_station/lenz/LenzMessages.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace lenz_fuzz {

// A message none of whose misaligned starts passes as a message itself, so a
// run of it realigns the parser wherever garbage left it.
inline const std::string& Staart() {
    static const std::string bericht = [] {
        std::string s{'\x42', '\x05', '\x53'};
        return s + static_cast<char>(command_station::lenz::Xor(s));
    }();
    return bericht;
}

// Returns false when an invariant broke (the caller aborts).
inline bool EenInvoer(const uint8_t* data, size_t size) {
    using namespace command_station;
    if (size == 0) return true;
    uint8_t opzet = data[0];
    TMivoCom com;
    com.SetDigitaalSysteem(dsLenz);
    lenz::LenzLink& link = *com.LinkAs<lenz::LenzLink>();
    size_t regels = 0;
    com.SetOnLenzAddTekst([&](const std::string& t) { regels += t.size(); });
    com.LenzLogMasker = (opzet & 1) ? 0xFFFF : 0;
    com.LenzVervang78 = (opzet & 2) != 0;
    if (opzet & 4) link.LenzVersie = 3.6;
    int staartGezien = 0;
    com.OnLenzDoeIets = [&](TLenzAktie a, uint16_t d1, uint16_t d2, uint8_t d3, double) {
        if (a == laBezetmelder && d1 == 6 && d2 == 2 && d3 == 3) ++staartGezien;
    };
    // Commands in the queue, so completions and resends have work (the port
    // is closed: nothing goes out, everything stays queued).
    for (const std::string& c :
         {std::string("\x21\x81", 2), std::string("\x42\x05\x80", 3),
          std::string("\xE3\x00\xC3\xE8", 4), std::string("\x80", 1), std::string("\xA1\x03", 2)})
        link.LenzRij.push_back(c);
    link.VerwachtBezetAdres = 6;
    link.VerwachtNibble = 0;
    link.VerwachtLocV3 = std::string("\xC3\xE8");
    link.WachtAllesAan = 2;

    size_t brok = 1 + (opzet >> 3);
    for (size_t i = 1; i < size; i += brok) {
        link.Received(
            std::string(reinterpret_cast<const char*>(data + i), std::min(brok, size - i)));
        if (link.LenzInvoer.size() >= 17) return false;
    }
    std::string staart;
    for (int i = 0; i < 6; ++i)
        staart += Staart();
    staartGezien = 0;
    link.Received(staart);
    return link.LenzInvoer.empty() && !link.LenzSynchroniseren && staartGezien >= 1;
}

} // namespace lenz_fuzz
