// Intellibox and TWIN-Center. The interface speaks its own P50X protocol
// (text lines ending in CR, answered with text ending in "]", or binary
// commands answered with a one-byte reply code), the older two-byte P50
// protocol, or both mixed, at one of 2400..38400 baud. IBZoek finds the rate
// and the mode and moves the interface to the rate the host wants; every
// command then goes through IBOpdracht, which frames it for the mode found.
//
// Rules of our own, beyond the bare protocol:
// - A transaction that awaits an answer first drops whatever is still
//   waiting: a late byte of an earlier answer is never this command's answer.
// - A text answer is cut off after kTextMaxBytes or kTextMaxMs without "]";
//   the cut is reported through OnIBAddTekst and the rest is dropped.
// - Binary locomotive commands that could not go out (CTS held) or that the
//   interface refused with "try again" (codes 8, 9, 10) wait in
//   IBAchtergehouden, one per locomotive address (a newer command replaces
//   the waiting one in place), at most kHeldBackMax (the oldest is dropped
//   and reported). They go out in order before the next P50X locomotive
//   command (text or binary); while the first of them is still refused, the
//   rest and a new binary command wait behind it.
// - The mode probe's answer is counted only once the line has fallen quiet,
//   so a long answer at 2400 baud cannot spill into the next command.
// - A baud-rate change that the interface does not confirm (no "RT10" answer
//   beginning "rs-232 cts") takes the port back to the rate the interface was
//   found at, so the line keeps working.
// - An interface that speaks P50 only gets P50 only: locomotive commands in
//   their P50 form, and a feedback-module read as the connection test.
#pragma once

#include "command_station/Link.h"
#include "serial/ComTypes.h"

namespace command_station::intellibox {

class IntelliboxLink final : public Link {
  public:
    using Link::Link;
    void ApplyProfile() override;
    bool ConnectionOk() override;
    bool EmergencyStop() override { return false; }
    bool PowerOn() override;
    void PowerOff() override;
    void Loco(const LocoCommand& c, std::string& result) override;
    void Feedback(const FeedbackRequest& r, std::string& result) override;
    bool Initialise() override;
    void BeforeOpen() override { IBGevonden = false; }
    void BeforeClose() override;
    void IdleStep() override { IBStuurAchtergehouden(); }
    bool Pending() const override { return !IBAchtergehouden.empty(); }
    void Drain(const std::function<bool()>&) override { IBStuurAchtergehouden(); }

    // One transaction: exactly one of the two commands (the P50X one when
    // both are given); Antwoord gets the answer, 0x00 when none is awaited or
    // the port is closed.
    void IBOpdracht(const std::string& P50XCommand, const std::string& P50Command,
                    bool GeenAntwoord, std::string& Antwoord);
    // Finds the interface's rate and protocol mode and moves it to
    // IBDoelBaud. True only when found and the port is still open.
    bool IBZoek();
    // Sends the held-back binary locomotive commands, oldest first, while
    // the interface takes them.
    void IBStuurAchtergehouden();
    // The 16 inputs of feedback module 1..kModuleMax (input 1 in bit 15):
    // the sensor-status read where the interface speaks P50X, else the P50
    // module read. 0 when they came, the interface's reply code when it
    // refused, -1 when no (whole) answer came or the port is closed.
    int ReadModule(uint8_t module, uint16_t& inputs);

    bool IBGevonden = false;
    bool IBXPrefix = false;
    bool IBP50XMogelijk = false;
    serial::TBaudRate IBGevondenBaud = serial::brCustom;
    ByteQueue IBAchtergehouden;

  private:
    std::string ReadText();
    bool AwaitByte(uint32_t ms);
    bool SendBinaryLoco(const std::string& command);
    void HoldBack(const std::string& command);
    void AwaitQuiet();
    bool ChangeRate();
    void RestoreRate();
};

} // namespace command_station::intellibox
