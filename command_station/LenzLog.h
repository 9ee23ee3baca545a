// The classes of Lenz log text: the bits of LenzLogMasker, and the names
// front ends give them. A log line goes to OnLenzAddTekst only while every
// bit of its class is set in the mask.
#pragma once

#include <array>
#include <cstdint>

namespace command_station {

enum : uint16_t {
    kLenzLogReceived = 0x0001,     // every received chunk
    kLenzLogCommandOk = 0x0002,    // "commando oke" reports
    kLenzLogFeedback = 0x0004,     // feedback entries
    kLenzLogEmergencyOff = 0x0008, // emergency-off broadcasts
    kLenzLogAllOn = 0x0010,        // all-on broadcasts
    kLenzLogVersion = 0x0020,      // the interface's version
    kLenzLogHandStop = 0x0040,     // emergency stop at a hand controller
    kLenzLogHandControl = 0x0080,  // locomotives taken over by hand
    kLenzLogUndefined = 0x0100,    // messages with an unknown header
    kLenzLogLoco = 0x0200,         // locomotive states
    kLenzLogTurnout = 0x0400,      // turnout feedback
    kLenzLogSent = 0x0800,         // what the component sends, in words
    kLenzLogNumbers = 0x1000,      // what the component sends, in numbers
    kLenzLogErrors = 0x2000,       // errors, resends, resynchronisation
    kLenzLogAll = 0x3FFF,
};

struct LenzLogCategory {
    const char* name;
    uint16_t bits;
};

inline constexpr std::array<LenzLogCategory, 15> kLenzLogCategories{{
    {"received", kLenzLogReceived},
    {"ok", kLenzLogCommandOk},
    {"feedback", kLenzLogFeedback},
    {"emergency", kLenzLogEmergencyOff},
    {"allon", kLenzLogAllOn},
    {"version", kLenzLogVersion},
    {"handstop", kLenzLogHandStop},
    {"hand", kLenzLogHandControl},
    {"undefined", kLenzLogUndefined},
    {"loco", kLenzLogLoco},
    {"turnout", kLenzLogTurnout},
    {"sent", kLenzLogSent},
    {"numbers", kLenzLogNumbers},
    {"errors", kLenzLogErrors},
    {"all", kLenzLogAll},
}};

} // namespace command_station
