#include "command_station/dinamo/DinamoMessages.h"

#include <stdexcept>

namespace command_station::dinamo {

namespace {

uint8_t U8(char c) {
    return static_cast<uint8_t>(c);
}

} // namespace

uint8_t CheckByte(const std::string& bytes) {
    unsigned sum = 0;
    for (char c : bytes)
        sum += U8(c);
    return static_cast<uint8_t>(((0u - sum) & 0x7Fu) | 0x80u);
}

std::string Frame(const std::string& data, uint8_t toggle) {
    if (data.size() > kMaxData)
        throw std::length_error("DINAMO frame: " + std::to_string(data.size()) +
                                " data bytes, at most 3 fit");
    std::string frame(1, static_cast<char>(data.size() + (toggle & 1u) * kToggleBit));
    frame += data;
    frame += static_cast<char>(CheckByte(frame));
    return frame;
}

bool DinamoSomOke(const std::string& frame) {
    unsigned sum = 0;
    for (char c : frame)
        sum += U8(c);
    return (sum & 0x7Fu) == 0;
}

Cut NextFrame(std::string& input, std::string& frame) {
    size_t garbage = 0;
    while (garbage < input.size() && (U8(input[garbage]) & 0x80u) != 0)
        ++garbage;
    input.erase(0, garbage);
    if (input.empty()) return Cut::Incomplete;
    size_t length = (U8(input[0]) & kCountMask) + 2u;
    if (input.size() < length) return Cut::Incomplete;
    frame = input.substr(0, length);
    input.erase(0, length);
    return DinamoSomOke(frame) ? Cut::Frame : Cut::Bad;
}

Report ReportOf(const std::string& data) {
    Report m;
    if (data.empty()) return m;
    uint8_t b1 = U8(data[0]);
    uint16_t b2 = data.size() > 1 ? (U8(data[1]) & 0x7Fu) : 0;
    uint8_t kind = b1 & 0x7Cu;
    if (kind == 0x04 || kind == 0x0C) {
        // Occupancy reports are one or two bytes; three cannot be one.
        if (data.size() == 3) return m;
        m.kind = Report::Action;
        m.action = daBezetmelder;
        m.data1 = static_cast<uint16_t>(b2 + 1);
        m.data2 = (b1 & 0x02u) ? 1 : 0;
    } else if ((b1 & 0x7Eu) == 0x02) {
        m.kind = Report::Action;
        m.action = daMagneet;
        m.data1 = static_cast<uint16_t>(b2 + 1);
        m.data2 = b1 & 0x01u;
    } else if ((b1 & 0x60u) == 0x40) {
        m.kind = Report::Action;
        m.action = daBlok;
        m.data1 = static_cast<uint16_t>((b1 & 0x1Fu) + 1);
        m.data2 = b2;
    } else {
        m.kind = Report::Text;
        m.text = "ontv: " + std::to_string(b1);
    }
    return m;
}

} // namespace command_station::dinamo
