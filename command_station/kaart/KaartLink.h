// The serial card in a rack: it starts at 9600 baud after every reset (a DTR
// pulse, which the link gives at every close), learns its configuration
// from one byte that it echoes, and moves to 19200 baud when that byte asks
// for it. After that it answers a connection probe with one byte and a
// feedback request with two, the second being the feedback byte.
#pragma once

#include "command_station/Link.h"

namespace command_station::kaart {

class KaartLink final : public Link {
  public:
    using Link::Link;
    void ApplyProfile() override;
    bool ConnectionOk() override;
    bool EmergencyStop() override { return false; }
    void Feedback(const FeedbackRequest& r, std::string& result) override;
    bool Initialise() override;
    void BeforeOpen() override;
    void BeforeClose() override;

    // Sends the configuration byte and waits for its echo; switches the port
    // to 19200 baud when KaartSnel is set and the echo came.
    bool KaartInit();

    bool KaartGeinitialiseerd = false;
    // The host asked for 19200 baud at an open, and the card has not got
    // there yet (the port runs at 9600 until the initialisation succeeds).
    // While it is set and the port still stands at 9600, the next open takes
    // it for the host's 19200 wish again. Cleared when the card reaches
    // 19200, when the host sets another rate before an open, and by
    // SetDigitaalSysteem; a host that wants to stay at 9600 clears it.
    bool KaartSnelGewenst = false;
};

} // namespace command_station::kaart
