// The selected system's link of a component, for tests that look at one
// system's own state and operations.
#pragma once

#include "command_station/MivoComm.h"
#include "command_station/dinamo/DinamoLink.h"
#include "command_station/intellibox/IntelliboxLink.h"
#include "command_station/kaart/KaartLink.h"
#include "command_station/lenz/LenzLink.h"
#include "command_station/kaart/KaartMessages.h"
#include "command_station/marklin/MarklinLink.h"
#include "command_station/marklin/MarklinMessages.h"
#include "command_station/selectrix/SelectrixMessages.h"

#include <stdexcept>

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

} // namespace links
