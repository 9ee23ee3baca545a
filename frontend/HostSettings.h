// The settings the component leaves to its host, with the defaults every
// front end offers, and the one place that hands them to the component.
#pragma once

#include <array>
#include <cstdint>

namespace command_station {
class TMivoCom;
}

namespace frontend {

struct HostSettings {
    uint16_t lenzReplyMs = 500;
    int lenzSkip = 1;    // 1 drops an unanswered command, 0 resends it
    int lenzQuietMs = 0; // 0..255
    bool ibFixed = false;
    long ibBaud = 0; // 0: the rate the port has
    bool ibBinary = false;
    uint16_t marklinLocPause = 60;
    uint16_t marklinStopPause = 90;
    uint16_t marklinBytePause = 10;
    bool marklinFast = false;
    bool kaartFast = false;
    std::array<bool, 4> kaartOptions{true, true, true, false}; // options 0, 1, 2 and 4
    uint16_t dinamoAnswerMs = 200;
};

// Puts the settings into the component's fields; the front ends call it
// after SetDigitaalSysteem and before the port opens. An Intellibox rate of 0
// (or one the serial layer does not know) leaves the component's own.
void ApplyHostSettings(command_station::TMivoCom& com, const HostSettings& settings);

} // namespace frontend
