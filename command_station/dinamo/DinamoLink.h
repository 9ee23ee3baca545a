// DINAMO: a 9600 baud line with odd parity carrying short framed packets,
// strictly question and answer: DinamoCyclus sends one frame (the head of
// DinamoRij, or an empty frame so the DINAMO can report) and the next only
// after a valid answer, or again when none came within DinamoAntwoordTijd.
// Each answer carries the hold and fault bits and may carry one report
// (occupancy, magnet or block).
//
// Running the link is the host's part (TMivoCom::DinamoOpdracht,
// DinamoCyclus, DinamoWacht, or the idle step); the link runs itself only
// inside DinamoVerbind (InitSysteem).
//
// The DINAMO's answers carry the toggle of the frame they answer, and it
// answers a frame that repeats the previous toggle again without carrying
// it out a second time. So an answer whose toggle is not the one of the
// frame in flight is a late answer to an earlier transmission: it is
// dropped, and can neither remove a command that was never answered nor
// pass its status or report off as news. So is a frame that arrives while
// no answer is due.
#pragma once

#include "command_station/Link.h"

namespace command_station::dinamo {

class DinamoLink final : public Link {
  public:
    using Link::Link;
    void ApplyProfile() override;
    bool ConnectionOk() override { return true; }
    bool EmergencyStop() override;
    bool Initialise() override;
    void Received(const std::string& bytes) override;
    void IdleStep() override { DinamoCyclus(); }
    bool Pending() const override { return !DinamoRij.empty(); }

    // See TMivoCom::DinamoOpdracht.
    bool DinamoOpdracht(const std::string& data);
    // Builds and sends one frame for `data` (at most 3 bytes).
    void DinamoZend(const std::string& data);
    // Reads what has arrived and handles every complete frame.
    void DinamoOntvang();
    // One step: receive, then send at most one frame. Never blocks beyond
    // the one write; nothing while the port is closed.
    void DinamoCyclus();
    // Puts the fault reset at the head of DinamoRij unless it is there.
    void DinamoResetFout();
    // The connection test: up to a second for an answer without the fault
    // bit, then a second's pause. True when it came.
    bool DinamoVerbind();
    // Blocks (no spinning, no window messages) until DinamoCyclus has work:
    // bytes have arrived, no answer is due, or the answer time has passed;
    // or until `maxMs` has passed. True when there is work.
    bool DinamoWacht(uint32_t maxMs);

    std::string DinamoInvoer;
    ByteQueue DinamoRij;
    bool DinamoHold = false;
    bool DinamoFault = false;
    uint8_t DinamoToggle = 0;
    int32_t DinamoAntwoordTot = 0; // tick; 2147483647: no answer due
    bool DinamoLeegVerstuurd = false;
    int32_t DinamoResetNietVoor = 0; // tick

  private:
    bool AnswerDue() const;
    bool ResetAllowed(uint32_t now) const;

    // What the frame in flight carried and the answer time it was sent with
    // (a resend repeats the frame; a deadline is judged against the setting
    // that produced it).
    std::string lastData_;
    uint16_t answerMs_ = 0;        // 0: no frame sent yet
    bool resetSet_ = false;        // DinamoResetNietVoor was set by a reset
    bool readable_ = false;        // DinamoWacht ended because the line was readable
    bool readableEmpty_ = false;   // ... and DinamoOntvang then found no bytes
};

} // namespace command_station::dinamo
