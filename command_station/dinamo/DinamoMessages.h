// The DINAMO's frames: building them, the check byte, splitting received
// bytes into frames and reading a report. No port and no clock, so every
// rule can be tested on its own.
//
// A frame, both directions: a header (bits 0-1 the number n of data bytes,
// 0..3; bit 4 hold and bit 5 fault in frames from the DINAMO; bit 6 the
// toggle; bit 7 clear), n data bytes, and a check byte with bit 7 set that
// brings the sum of all bytes of the frame to a multiple of 128.
#pragma once

#include "command_station/MivoComm.h"

#include <cstdint>
#include <string>

namespace command_station::dinamo {

// The single data byte that asks the DINAMO to clear its fault.
constexpr uint8_t kResetCommand = 0x94;
// Most data bytes one frame can carry (the header counts them in two bits).
constexpr size_t kMaxData = 3;
// DinamoAntwoordTot while no answer is due.
constexpr int32_t kNothingDue = 2147483647;

constexpr uint8_t kCountMask = 0x03;
constexpr uint8_t kHoldBit = 0x10;
constexpr uint8_t kFaultBit = 0x20;
constexpr uint8_t kToggleBit = 0x40;

// The check byte for `bytes` (header and data): ((-sum) AND 0x7F) OR 0x80.
uint8_t CheckByte(const std::string& bytes);

// The frame for `data` (at most kMaxData bytes; longer data is the caller's
// error and throws std::length_error) with `toggle` (0 or 1) in the header.
std::string Frame(const std::string& data, uint8_t toggle);

// True when the sum of all bytes of `frame`, AND 0x7F, is 0.
bool DinamoSomOke(const std::string& frame);

enum class Cut : uint8_t {
    Incomplete, // no complete frame in the buffer yet (garbage before it is gone)
    Frame,      // `frame` holds a frame whose check byte is right
    Bad,        // a frame with a wrong check byte was taken out and dropped
};

// Takes the next frame out of `input`: bytes with bit 7 set where a header
// belongs are dropped first, then a header and its n + 1 following bytes are
// taken out once they are all there.
Cut NextFrame(std::string& input, std::string& frame);

// What a report in an answer amounts to.
struct Report {
    enum Kind : uint8_t {
        None,   // nothing to report (no data, or an occupancy row with 3 data bytes)
        Action, // raise OnDinDoeIets(action, data1, data2, 0, 0)
        Text,   // raise OnAlgTekst(aaTest, text)
    } kind = None;
    TDinAktie action = daBezetmelder;
    uint16_t data1 = 0;
    uint16_t data2 = 0;
    std::string text;
};

// The report carried by the data bytes of a received frame (0 to 3 bytes).
Report ReportOf(const std::string& data);

} // namespace command_station::dinamo
