// The selected system's link of a component, for tests that look at one
// system's own state and operations.
#pragma once

#include "command_station/MivoComm.h"
#include "command_station/dinamo/DinamoLink.h"
#include "command_station/intellibox/IntelliboxLink.h"
#include "command_station/kaart/KaartLink.h"
#include "command_station/lenz/LenzLink.h"
#include "command_station/lenz/LenzMessages.h"
#include "command_station/kaart/KaartMessages.h"
#include "command_station/marklin/MarklinLink.h"
#include "command_station/marklin/MarklinMessages.h"
#include "command_station/selectrix/SelectrixMessages.h"

#include <stdexcept>
#include <string>

namespace links {

template <class L> L& Of(command_station::TMivoCom& com) {
    L* link = com.LinkAs<L>();
    if (!link) throw std::logic_error("another system is selected");
    return *link;
}
inline command_station::lenz::LenzLink& Lenz(command_station::TMivoCom& com) {
    return Of<command_station::lenz::LenzLink>(com);
}
inline command_station::dinamo::DinamoLink& Dinamo(command_station::TMivoCom& com) {
    return Of<command_station::dinamo::DinamoLink>(com);
}
inline command_station::intellibox::IntelliboxLink& IB(command_station::TMivoCom& com) {
    return Of<command_station::intellibox::IntelliboxLink>(com);
}
inline command_station::marklin::MarklinLink& Marklin(command_station::TMivoCom& com) {
    return Of<command_station::marklin::MarklinLink>(com);
}
inline command_station::kaart::KaartLink& Kaart(command_station::TMivoCom& com) {
    return Of<command_station::kaart::KaartLink>(com);
}

// The Lenz interface tells its version, as it answers the version request
// (3.6 comes as the byte 0x36): the parser takes it from the line.
inline void TellLenzVersion(command_station::TMivoCom& com, double versie) {
    const int tenths = static_cast<int>(versie * 10 + 0.5);
    std::string answer{char(0x63), char(0x21), char(((tenths / 10) << 4) | (tenths % 10)), char(0)};
    answer += static_cast<char>(command_station::lenz::Xor(answer));
    Lenz(com).LenzOntvangBytes(answer);
}

} // namespace links
