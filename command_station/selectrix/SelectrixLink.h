// Selectrix: the PC interface is a plain byte pipe to the SX bus. Every
// operation is one two-byte request, and for reads one answer byte; the
// link keeps no image of the bus and no state between calls (SysteemAan is
// the component's).
#pragma once

#include "command_station/Link.h"

namespace command_station::selectrix {

class SelectrixLink final : public Link {
  public:
    using Link::Link;
    void ApplyProfile() override;
    bool ConnectionOk() override;
    bool EmergencyStop() override;
    bool PowerOn() override;
    void PowerOff() override;
    void Loco(const LocoCommand& c, std::string& result) override;
    void Feedback(const FeedbackRequest& r, std::string& result) override;
    // SelectrixFunctieDecoder: writes `waarde` to `adres`.
    void FunctieDecoder(uint8_t adres, uint8_t waarde);
};

} // namespace command_station::selectrix
