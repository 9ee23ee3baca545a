// Märklin: the interface takes one- and two-byte commands and answers only
// feedback reads. It paces the PC in two ways: it holds CTS while it is busy,
// and it needs fixed gaps between commands (MarklinBytePauze between any two
// transmissions, MarklinLocPauze after a locomotive command and after power
// off, MarklinStopPauze as a second gap after power off, and 500 ms after
// power on before the first locomotive command).
//
// Deadlines. Each deadline is kept twice: as the tick field the host sees
// (MarklinVolgendeZending, MarklinLocVrijNa, MarklinStopVrijNa) and, beside
// it, as a bounded deadline on the monotonic microsecond clock, bounded by
// the pause that produced it. So a deadline never set counts as passed (a
// tick field that starts at 0 would otherwise lie ahead for half of the
// counter's turn), no wait lasts longer than its pause, and a gap is never
// shorter than its pause through the tick's rounding. Every wait sleeps;
// none lets window messages through.
//
// Held-back locomotive commands. A command that cannot go at once (power
// off, CTS held, the gap after the previous one still running) waits in
// MarklinAchtergehouden, and while the list is not empty every new command
// joins it, so commands keep their order. A newer command for an address
// replaces the one still waiting for it (in that one's place): the
// interface only needs the last wish per locomotive, and the list can never
// hold more than one command per address (at most 256). The oldest waiting
// command goes out as soon as power is on, CTS is free and the gap has
// passed: with the next locomotive command at the latest, or earlier in the
// host's idle step. One goes out per MarklinLocPauze. Power off keeps the
// list: after power on the last wishes still go out.
#pragma once

#include "command_station/Link.h"

namespace command_station::marklin {

class MarklinLink final : public Link {
  public:
    using Link::Link;
    void ApplyProfile() override;
    bool ConnectionOk() override { return CheckCTS(); }
    bool EmergencyStop() override { return !CheckCTS(); }
    bool PowerOn() override;
    void PowerOff() override;
    void Loco(const LocoCommand& c, std::string& result) override;
    void Feedback(const FeedbackRequest& r, std::string& result) override;
    bool LocoTextNamesDirection() const override { return false; }
    void Transmit(const std::string& bytes) override;
    void IdleStep() override { MarklinVerstuurAchtergehouden(); }
    bool Pending() const override { return !MarklinAchtergehouden.empty(); }
    // Held-back commands go out, each after its gap, while power stays on,
    // for at most two seconds.
    void Drain(const std::function<bool()>& stop) override;

    // The interface lets us send (CTS) within one second; lets window
    // messages through while it waits.
    bool CheckCTS();
    // Sends or holds back one locomotive command (speed byte, address).
    void MarklinZendLoc(uint8_t eerste, uint8_t tweede);
    // Sends the oldest held-back locomotive command when it is due (power
    // on, CTS free, the gap after the last one passed); at most one per call.
    // True when one went out. With `wachten` it sleeps out a running gap
    // first (never longer than the pause) instead of leaving the command for
    // the next call.
    bool MarklinVerstuurAchtergehouden(bool wachten = false);

    // Ticks: when the next transmission, locomotive command or power-off
    // may go.
    int32_t MarklinVolgendeZending = 0;
    int32_t MarklinLocVrijNa = 0;
    int32_t MarklinStopVrijNa = 0;
    ByteQueue MarklinAchtergehouden;

  private:
    // The moment a gap ends on the microsecond clock, and its pause (0: never
    // set, which has passed).
    struct Gap {
        uint64_t endUs = 0;
        uint64_t pauseUs = 0;
    };
    void Set(int32_t& field, Gap& gap, uint32_t pauseMs);
    static uint64_t RemainingUs(const Gap& gap);
    static void Await(const Gap& gap);
    void SendLoco(uint8_t eerste, uint8_t tweede);

    Gap nextTransmission_, locoFree_, stopFree_;
};

} // namespace command_station::marklin
